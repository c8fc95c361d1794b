#pragma once
// Waiting on the event loop: how every wait of the updater lets the window work meanwhile.
// Needs no window system, so the publisher's tool waits the same way.
#include <functional>
#include <memory>

// Thrown by every wait once the window has been unloaded, so that a handler
// blocked in a network wait unwinds without touching the window again.
// Deliberately not a std::exception: routines that catch their own errors must let it pass.
struct RunEnded {};

// Processes the events that are pending now and returns at once.
void DoEvents();

// Blocks until at least one event arrives, then processes what is pending.
// Waits are built on this, so they cost no CPU while nothing happens.
void WaitForEvents();

// Runs task on the event loop's thread at its next event pass, waking a wait for events.
// Safe to call from any thread: how work done elsewhere hands its result to the window.
void PostToEventLoop(std::function<void()> task);

// The event loop of a program that shows no window of the platform's own (the publisher's
// tool, a window over other controls), for as long as this object lives.
class EventLoop {
public:
  EventLoop(int& argc, char** argv);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

private:
  struct Impl;
  std::unique_ptr<Impl> m;
};
