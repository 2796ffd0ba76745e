// Run locks on POSIX systems: a lock file in the temporary folder stands
// for the named object, locked with flock, which the system lets go when
// its holder dies. Whether a dead holder let it go cannot be told here.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "../native.h"
#include "platform/text.h"

namespace usqz::platform {

namespace {

class PosixLocks final : public Locks {
 public:
  LockResult tryLock(std::u16string_view name) override {
    std::string file = toUtf8(name);
    for (char& c : file) {
      if (c == '\\' || c == '/') c = '-';
    }
    const int fd = ::open(("/tmp/" + file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return {{}, false, false, errno == EACCES ? kErrorAccessDenied : static_cast<OsError>(errno)};
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      return {LockHandle(static_cast<std::uintptr_t>(fd) + 1), false, false, kOk};
    }
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) return {{}, true, false, kOk};
    return {{}, false, false, static_cast<OsError>(error)};
  }

  void releaseLock(LockHandle lock) override {
    if (lock) ::close(static_cast<int>(lock.value()) - 1);
  }
};

}  // namespace

std::unique_ptr<Locks> makeNativeLocks() { return std::make_unique<PosixLocks>(); }

}  // namespace usqz::platform
