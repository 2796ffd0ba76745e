// Who may write a file or a folder on POSIX systems: its owner, and its
// group and everyone else when the mode lets them write.
#include <grp.h>
#include <pwd.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/text.h"
#include "../native.h"

namespace usqz::platform {

namespace {

class PosixFileSecurity final : public FileSecurity {
 public:
  FileFacts inspect(std::u16string_view path) override {
    FileFacts facts;
    struct stat info {};
    if (::lstat(toUtf8(path).c_str(), &info) != 0) {
      facts.error = errno == ENOENT || errno == ENOTDIR ? kErrorFileNotFound : kErrorAccessDenied;
      return facts;
    }
    facts.kind = S_ISLNK(info.st_mode) ? FileKind::Link : S_ISDIR(info.st_mode) ? FileKind::Directory : FileKind::File;
    facts.links = static_cast<std::uint32_t>(info.st_nlink);
    if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
      const struct passwd* user = ::getpwuid(info.st_uid);
      facts.foreignOwner = fromUtf8(user != nullptr ? user->pw_name : std::to_string(info.st_uid));
    }
    if ((info.st_mode & S_IWGRP) != 0 && info.st_gid != 0) {
      const struct group* group = ::getgrgid(info.st_gid);
      facts.foreignWriters.push_back(fromUtf8(group != nullptr ? group->gr_name : std::to_string(info.st_gid)));
    }
    if ((info.st_mode & S_IWOTH) != 0) facts.foreignWriters.push_back(u"Everyone");
    // Writing a folder is deleting and renaming what it holds, unless it
    // is sticky; a name is renamed through its folder, judged there.
    if (S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) == 0) facts.foreignChildDeleters = facts.foreignWriters;
    return facts;
  }

  InspectedFile inspectAndRead(std::u16string_view path, std::size_t maxBytes) override {
    InspectedFile inspected;
    const int file = ::open(toUtf8(path).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (file < 0) {
      const int error = errno;
      inspected.facts.error = error == ENOENT || error == ENOTDIR ? kErrorFileNotFound : kErrorAccessDenied;
      if (error == ELOOP) {
        inspected.facts.error = kOk;
        inspected.facts.kind = FileKind::Link;
      }
      return inspected;
    }
    struct stat info {};
    if (::fstat(file, &info) == 0 && !S_ISREG(info.st_mode)) {
      inspected.facts.kind = S_ISDIR(info.st_mode) ? FileKind::Directory : FileKind::Link;
      ::close(file);
      return inspected;
    }
    inspected.facts = inspect(path);
    auto& head = inspected.head;
    head.size = static_cast<std::uint64_t>(info.st_size);
    head.bytes.resize(std::min<std::size_t>(static_cast<std::size_t>(info.st_size), maxBytes));
    std::size_t filled = 0;
    while (filled < head.bytes.size()) {
      const auto got = ::read(file, head.bytes.data() + filled, head.bytes.size() - filled);
      if (got <= 0) break;
      filled += static_cast<std::size_t>(got);
    }
    head.bytes.resize(filled);
    ::close(file);
    return inspected;
  }
};

}  // namespace

std::unique_ptr<FileSecurity> makeNativeFileSecurity() { return std::make_unique<PosixFileSecurity>(); }

}  // namespace usqz::platform
