// Processes the run waits on and, in a rollback, ends. A process is known
// by a handle opened once, when first seen: once a process has exited its
// id may be given to another, and a process reopened later by its id may be
// an unrelated one. Portable header.
#pragma once

#include <cstdint>

#include "file_and_process.h"

namespace usqz::platform {

enum class ProcessState {
  Exited,   // gone
  Running,  // still there when the wait ended
  Unknown,  // could not be told (the error says why)
};

struct ProcessStateResult {
  ProcessState state = ProcessState::Unknown;
  OsError error = kOk;
};

struct ProcessOpenResult {
  ProcessHandle handle;
  // No process has that id any more (kErrorInvalidParameter).
  bool gone = false;
  OsError error = kOk;
};

inline constexpr OsError kErrorInvalidParameter = 87;

class Processes {
 public:
  virtual ~Processes() = default;

  // With the rights to wait on it, end it and ask about it, nothing more.
  virtual ProcessOpenResult openProcess(std::uint32_t processId) = 0;
  // Waits up to `waitMs` for the process to end.
  virtual ProcessStateResult waitForExit(ProcessHandle process, std::uint32_t waitMs) = 0;
  // Ends it, and waits a moment for the system to let go of its files.
  virtual OsError terminate(ProcessHandle process) = 0;
  virtual void closeProcess(ProcessHandle process) = 0;
  // When the process was created, in the system's own units: with its id,
  // what tells it from a later process given the same id. 0 when it cannot
  // be told.
  virtual std::uint64_t creationTime(ProcessHandle process) = 0;
  virtual std::uint32_t currentProcessId() = 0;
  // A number from the system's random generator, for a name nobody else
  // can guess ahead of the run (and plant a link at).
  virtual std::uint64_t unpredictableNumber() = 0;
};

// Owns a process handle.
using OwnedProcessHandle = OwnedHandle<ProcessHandle, Processes, &Processes::closeProcess>;

}  // namespace usqz::platform
