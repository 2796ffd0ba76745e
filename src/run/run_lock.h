// One run per set of executables at a time: a machine-wide lock named after
// the executable the run swaps, taken before the run touches anything and
// held to its end, so that two overlapping runs (a scheduled task and an
// operator, say, or two service names that map to the same files) cannot
// swap files under each other.
#pragma once

#include <string>
#include <string_view>

#include "platform/file_and_process.h"
#include "platform/locks.h"

namespace usqz {

// The lock's object name for the current executable's final path (every
// spelling of it resolved: short names, substituted drives, junctions),
// already in upper case (Windows compares paths without regard to case). A path runs
// to thousands of characters and holds backslashes: the object name
// carries a hash of it, in the Global namespace so that runs in other
// sessions see it too.
std::u16string runLockName(std::u16string_view upperCasePath);

// Holds the lock, if it was had, until the owner goes.
class RunLock {
 public:
  RunLock(platform::Locks& locks, platform::FileAndProcess& files, std::u16string_view pathCurrentBin);
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  ~RunLock();

  bool held() const { return static_cast<bool>(result_.handle); }
  bool heldElsewhere() const { return result_.heldElsewhere; }
  platform::OsError error() const { return result_.error; }

 private:
  platform::Locks& locks_;
  platform::LockResult result_;
};

}  // namespace usqz
