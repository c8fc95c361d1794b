#pragma once
// Other processes: finding the ones that run a given program, and ending them.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A process held from the moment it was found (a pidfd on Linux, a process handle on
// Windows): ending it can never reach another process that got its id since.
class RunningProcess {
public:
  explicit RunningProcess(std::intptr_t handle) : m_handle(handle) {}
  ~RunningProcess();
  RunningProcess(const RunningProcess&) = delete;
  RunningProcess& operator=(const RunningProcess&) = delete;
  std::intptr_t Handle() const { return m_handle; }

private:
  std::intptr_t m_handle;
};

// The processes whose executable is the file at path ("\" read as a folder separator),
// including ones still running a copy that has since been replaced or removed.
std::vector<std::unique_ptr<RunningProcess>> ProcessesRunning(const std::string& path);

// Ends a process: on Linux it is asked to stop (SIGTERM) and, still there after graceMs,
// killed; on Windows it is terminated with exit code 1. Waits on the event loop, never
// spinning. True once the process is gone.
bool EndProcess(RunningProcess& process, int graceMs);
