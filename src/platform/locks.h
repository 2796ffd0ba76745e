// Machine-wide locks by name, not waited for. A lock lives while a process
// holds it and is let go when that process ends, however it ends; a lock
// let go that way is said to be abandoned, which tells the next holder that
// a run died while it held it. Portable header.
#pragma once

#include <string_view>

#include "file_and_process.h"

namespace usqz::platform {

struct LockResult {
  LockHandle handle;           // set when this process now holds the lock
  bool heldElsewhere = false;  // another process holds it
  bool abandoned = false;      // held now, let go by a process that died
  OsError error = kOk;         // the lock could not even be asked for
};

class Locks {
 public:
  virtual ~Locks() = default;

  // Created, when it does not exist, so that only administrators and the
  // system may open it: a lock any user could create first would let any
  // user block every update. One that exists but cannot be opened fails
  // with kErrorAccessDenied.
  virtual LockResult tryLock(std::u16string_view name) = 0;
  virtual void releaseLock(LockHandle lock) = 0;
};

}  // namespace usqz::platform
