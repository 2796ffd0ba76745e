// File and process operations on POSIX systems, for native builds and tests
// of the tool on Linux. UTF-8 stands for every code page; errno values are
// given the Windows codes that mean the same where one fits.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform/text.h"
#include "../native.h"

namespace usqz::platform {

namespace {

OsError fromErrno(int error) {
  switch (error) {
    case 0: return kOk;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ETXTBSY:
    case EBUSY: return kErrorSharingViolation;
    case ENOSPC: return 101;  // shown as "Disk full"
    case EEXIST: return kErrorAlreadyExists;
    case ENAMETOOLONG: return 206;
    case EPIPE: return 232;
    default: return static_cast<OsError>(error);
  }
}

OsError lastErrno() { return fromErrno(errno); }

// A rename is on disk once its folder is.
OsError syncFolderOf(std::u16string_view name) {
  const auto last = name.find_last_of(u'/');
  const std::string folder = last == std::u16string_view::npos ? "." : toUtf8(name.substr(0, last + 1));
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return lastErrno();
  const OsError error = ::fsync(fd) == 0 ? kOk : lastErrno();
  ::close(fd);
  return error;
}

std::string nativeName(std::u16string_view name) { return toUtf8(name); }

OsError writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      return fromErrno(error);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return kOk;
}

// The descriptor travels as fd + 1, since 0 is "no file".
FileHandle toHandle(int fd) { return FileHandle(static_cast<std::uintptr_t>(fd) + 1); }
int toFd(FileHandle handle) { return static_cast<int>(handle.value()) - 1; }

FileHead readHeadOf(int fd, std::size_t maxBytes) {
  FileHead head;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
    head.error = lastErrno();
    return head;
  }
  head.size = static_cast<std::uint64_t>(info.st_size);
  head.bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(head.size, maxBytes)));
  std::size_t filled = 0;
  while (filled < head.bytes.size()) {
    const ssize_t got = ::read(fd, head.bytes.data() + filled, head.bytes.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) head.error = lastErrno();
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  head.bytes.resize(filled);
  return head;
}

class PosixFileAndProcess final : public FileAndProcess {
 public:
  PosixFileAndProcess(int argc, char* argv[]) {
    for (int i = 0; i < argc; ++i) arguments_.push_back(fromUtf8(argv[i]));
  }

  CommandLine commandLine() override {
    CommandLine result;
    result.isSplit = true;
    result.arguments = arguments_;
    return result;
  }

  std::optional<std::u16string> ownExecutablePath() override {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0) return arguments_.empty() ? std::u16string() : arguments_[0];
    // readlink cuts what does not fit without a word.
    if (static_cast<std::size_t>(length) >= sizeof path) return std::nullopt;
    return fromUtf8(std::string_view(path, static_cast<std::size_t>(length)));
  }

  bool fileExists(std::u16string_view name) override {
    const auto path = nativeName(name);
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return !S_ISDIR(info.st_mode);
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG) return false;
    // Like a directory listing: the entry itself may still be seen.
    return ::lstat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) && !S_ISLNK(info.st_mode);
  }

  OsError removeFile(std::u16string_view name) override {
    return ::unlink(nativeName(name).c_str()) == 0 ? kOk : lastErrno();
  }

  OsError moveNoReplace(std::u16string_view from, std::u16string_view to) override {
    const auto source = nativeName(from);
    const auto target = nativeName(to);
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return kOk;
    const int error = errno;
    if (error != EINVAL && error != ENOSYS) return fromErrno(error);
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing
    // target just the same.
    if (::link(source.c_str(), target.c_str()) != 0) return lastErrno();
    if (::unlink(source.c_str()) != 0) {
      const OsError unlinkError = lastErrno();
      ::unlink(target.c_str());
      return unlinkError;
    }
    return kOk;
  }

  FileHead readFileHead(std::u16string_view name, std::size_t maxBytes) override {
    const int fd = ::open(nativeName(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      FileHead head;
      head.error = lastErrno();
      return head;
    }
    auto head = readHeadOf(fd, maxBytes);
    ::close(fd);
    return head;
  }

  // No sharing modes here: held means open, as far as POSIX goes.
  FileOpenResult openToActivate(std::u16string_view name) override { return openToRead(name); }

  FileOpenResult openToRead(std::u16string_view name) override {
    const int fd = ::open(nativeName(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {{}, lastErrno()};
    return {toHandle(fd), kOk};
  }

  FileHead readHead(FileHandle file, std::size_t maxBytes) override { return readHeadOf(toFd(file), maxBytes); }

  FileHead readAt(FileHandle file, std::uint64_t offset, std::size_t maxBytes) override {
    FileHead head;
    head.bytes.resize(maxBytes);
    std::size_t filled = 0;
    while (filled < maxBytes) {
      const ssize_t got = ::pread(toFd(file), head.bytes.data() + filled, maxBytes - filled,
                                  static_cast<off_t>(offset + filled));
      if (got < 0) {
        if (errno == EINTR) continue;
        head.error = lastErrno();
        break;
      }
      if (got == 0) break;
      filled += static_cast<std::size_t>(got);
    }
    head.bytes.resize(filled);
    return head;
  }

  // The open file's own name, as the system has it now, renamed.
  OsError renameOpenFile(FileHandle file, std::u16string_view to) override {
    char current[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(toFd(file));
    const ssize_t length = ::readlink(link.c_str(), current, sizeof current - 1);
    if (length < 0) return lastErrno();
    current[length] = '\0';
    return moveNoReplace(fromUtf8(current), to);
  }

  OsError probeDeletable(std::u16string_view name) override {
    const auto path = nativeName(name);
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return lastErrno();
    if (S_ISDIR(info.st_mode)) return kErrorDirectory;
    // Deleting takes write access to the folder.
    const auto slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    return ::access(folder.c_str(), W_OK | X_OK) == 0 ? kOk : lastErrno();
  }

  // No process holds a file against a rename here.
  OsError probeMovable(std::u16string_view name) override {
    struct stat info {};
    return ::lstat(nativeName(name).c_str(), &info) == 0 ? kOk : lastErrno();
  }

  OsError replaceFile(std::u16string_view from, std::u16string_view to) override {
    if (::rename(nativeName(from).c_str(), nativeName(to).c_str()) != 0) return lastErrno();
    return syncFolderOf(to);
  }

  FileIdentityResult fileIdentity(std::u16string_view name) override {
    struct stat info{};
    if (::stat(nativeName(name).c_str(), &info) != 0) return {{}, lastErrno()};
    FileIdentity identity;
    identity.volume = static_cast<std::uint32_t>(info.st_dev);
    identity.index = static_cast<std::uint64_t>(info.st_ino);
    identity.size = static_cast<std::uint64_t>(info.st_size);
    identity.lastWrite = static_cast<std::uint64_t>(info.st_mtim.tv_sec) * 1'000'000'000u +
                         static_cast<std::uint64_t>(info.st_mtim.tv_nsec);
    return {identity, kOk};
  }

  std::u16string expandEnvironment(std::u16string_view text) override { return std::u16string(text); }

  // POSIX names are case-sensitive: only the full path is made.
  std::u16string comparablePath(std::u16string_view path) override {
    char resolved[PATH_MAX];
    if (::realpath(nativeName(path).c_str(), resolved) == nullptr) return std::u16string(path);
    return fromUtf8(resolved);
  }

  std::u16string upperCase(std::u16string_view text) override { return toAsciiUpper(text); }

  std::u16string systemDirectory() override { return u"/usr/bin"; }

  std::u16string finalPath(std::u16string_view path) override {
    char resolved[PATH_MAX];
    const auto name = nativeName(path);
    if (::realpath(name.c_str(), resolved) != nullptr) return fromUtf8(resolved);
    const auto slash = name.find_last_of('/');
    if (slash == std::string::npos) return std::u16string(path);
    const std::string folder = slash == 0 ? "/" : name.substr(0, slash);
    if (::realpath(folder.c_str(), resolved) == nullptr) return std::u16string(path);
    std::string joined = resolved;
    if (joined.back() != '/') joined += '/';
    return fromUtf8(joined + name.substr(slash + 1));
  }

  // Windows programs do not run here: the build's own processor stands in.
  std::vector<std::uint16_t> runnableMachines() override {
#if defined(__x86_64__)
    return {0x8664, 0x014C};
#elif defined(__aarch64__)
    return {0xAA64};
#else
    return {};
#endif
  }

  FileOpenResult createNewFile(std::u16string_view name) override {
    const int fd = ::open(nativeName(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return {{}, errno == EEXIST ? kErrorFileExists : lastErrno()};
    return {toHandle(fd), kOk};
  }

  FileOpenResult createPrivateFile(std::u16string_view name) override {
    const int fd = ::open(nativeName(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return {{}, errno == EEXIST ? kErrorFileExists : lastErrno()};
    return {toHandle(fd), kOk};
  }

  // Read and run as the model may be by its group and others, written by
  // its owner alone; with no model, as a program usually is.
  FileOpenResult createRunnableFile(std::u16string_view name, std::u16string_view model) override {
    struct stat info {};
    const mode_t mode = ::stat(nativeName(model).c_str(), &info) == 0 ? ((info.st_mode & 0555) | 0200) : 0755;
    const int fd = ::open(nativeName(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return {{}, errno == EEXIST ? kErrorFileExists : lastErrno()};
    return {toHandle(fd), kOk};
  }

  // No such attribute here: whoever may write the folder may replace or
  // remove the file.
  OsError clearReadOnly(std::u16string_view name) override {
    struct stat info {};
    return ::lstat(nativeName(name).c_str(), &info) == 0 ? kOk : lastErrno();
  }

  OsError writeBytes(FileHandle file, std::string_view bytes) override { return writeAll(toFd(file), bytes); }

  OsError flushFile(FileHandle file) override { return ::fsync(toFd(file)) == 0 ? kOk : lastErrno(); }

  OsError closeFile(FileHandle file) override { return ::close(toFd(file)) == 0 ? kOk : lastErrno(); }

  StdoutOpenResult openStdout() override {
    if (::fcntl(STDOUT_FILENO, F_GETFD) < 0) return {105, false};
    return {kOk, ::isatty(STDOUT_FILENO) != 0};
  }

  OsError writeStdout(std::string_view bytes) override { return writeAll(STDOUT_FILENO, bytes); }
  OsError writeStderr(std::string_view bytes) override { return writeAll(STDERR_FILENO, bytes); }

  std::string toNarrow(std::u16string_view text, CodePage) override { return toUtf8(text); }

 private:
  std::vector<std::u16string> arguments_;
};

}  // namespace

// Nothing to do: libraries are found through the system's own paths only.
void hardenProcess() {}

std::unique_ptr<FileAndProcess> makeNativeFileAndProcess(int argc, char* argv[]) {
  return std::make_unique<PosixFileAndProcess>(argc, argv);
}

}  // namespace usqz::platform
