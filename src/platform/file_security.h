// Who may write a file or a folder, and what it is: the tool runs elevated
// and acts on files in its own folder, so each of them is input from
// whoever could have written it. Portable header: win32/ reads owners and
// access lists, posix/ owners and modes; the tests bring their own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "file_and_process.h"

namespace usqz::platform {

enum class FileKind {
  File,       // a plain file
  Directory,  // a plain folder
  Link,       // a symbolic link, a junction or any other reparse point
};

// A name as it is, never followed through a link.
struct FileFacts {
  OsError error = kOk;  // kErrorFileNotFound when there is nothing at the name
  FileKind kind = FileKind::File;
  std::uint32_t links = 1;  // hard links to a file
  // The owner, when it is none of SYSTEM, Administrators, TrustedInstaller
  // and the account this process runs as; empty when it is one of them.
  std::u16string foreignOwner;
  // Everyone else who may write, append, delete or change its rights or
  // owner (for a folder: create, delete or rename what is in it), by name.
  std::vector<std::u16string> foreignWriters;
  // Of those, who may delete or rename it, or change its rights or owner:
  // what matters of a folder above the tool's (adding a folder to C:\ is
  // everyone's right, and harmless).
  std::vector<std::u16string> foreignRenamers;
  // For a folder: who may delete or rename what it holds, whatever its
  // own rights.
  std::vector<std::u16string> foreignChildDeleters;

  // Only an administrator (or this account) could have written it.
  bool trusted() const { return error == kOk && foreignOwner.empty() && foreignWriters.empty(); }
};

// What a file is and what it holds, through the same handle.
struct InspectedFile {
  FileFacts facts;  // facts.error: nothing could be opened at the name
  FileHead head;    // read only when facts say a plain file
};

class FileSecurity {
 public:
  virtual ~FileSecurity() = default;

  virtual FileFacts inspect(std::u16string_view path) = 0;
  // inspect, and the first `maxBytes` of the very file judged: one handle
  // opened on the name itself (never through a link), that no other
  // process may write through while it is open.
  virtual InspectedFile inspectAndRead(std::u16string_view path, std::size_t maxBytes) = 0;
};

}  // namespace usqz::platform
