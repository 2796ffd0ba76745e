// One run per service at a time: a machine-wide lock named after the
// service, taken before the run touches anything and held to its end, so
// that two overlapping runs (a scheduled task and an operator, say) cannot
// swap files under each other.
#pragma once

#include <string>
#include <string_view>

#include "platform/file_and_process.h"

namespace usqz {

// The lock's object name for a service name already in upper case (the
// manager compares names without regard to case). Any character may stand
// in a service name, a backslash included, and names run to 256 characters:
// the object name carries a hash of it, in the Global namespace so that
// runs in other sessions see it too.
std::u16string runLockName(std::u16string_view upperCaseServiceName);

// Holds the lock, if it was had, until the owner goes.
class RunLock {
 public:
  RunLock(platform::FileAndProcess& os, std::u16string_view serviceName);
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  ~RunLock();

  bool held() const { return static_cast<bool>(result_.handle); }
  bool heldElsewhere() const { return result_.heldElsewhere; }
  platform::OsError error() const { return result_.error; }

 private:
  platform::FileAndProcess& os_;
  platform::LockResult result_;
};

}  // namespace usqz
