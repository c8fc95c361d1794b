#pragma once
// Waiting on the event loop: how every wait of the updater lets the window work meanwhile.
// Needs no window system, so the publisher's tool waits the same way.

// Thrown by every wait once the window has been unloaded, so that a handler
// blocked in a network wait unwinds without touching the window again.
// Deliberately not a std::exception: routines that catch their own errors must let it pass.
struct RunEnded {};

// Processes the events that are pending now and returns at once.
void DoEvents();

// Blocks until at least one event arrives, then processes what is pending.
// Waits are built on this, so they cost no CPU while nothing happens.
void WaitForEvents();
