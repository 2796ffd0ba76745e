// The file system, standard output and the process's surroundings (command
// line, own path, environment), as the tool needs them; time, processes,
// locks and interruptions have interfaces of their own. This header is portable: implementations live in win32/
// (the real platform) and posix/ (Linux builds); the tests bring in-memory
// doubles of their own.
//
// Conventions for every operation that can fail: it returns the OS error code
// of the failure (0 on success), taken right after the failing call, so that
// no later platform call can overwrite it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "handle.h"

namespace usqz::platform {

using OsError = std::uint32_t;

// Codes the tool relies on, with the values the Windows API gives them.
inline constexpr OsError kOk = 0;
inline constexpr OsError kErrorFileNotFound = 2;
inline constexpr OsError kErrorPathNotFound = 3;
inline constexpr OsError kErrorTooManyOpenFiles = 4;
inline constexpr OsError kErrorAccessDenied = 5;
inline constexpr OsError kErrorInvalidHandle = 6;
inline constexpr OsError kErrorSharingViolation = 32;
inline constexpr OsError kErrorDiskFull = 112;
inline constexpr OsError kErrorInvalidName = 123;
inline constexpr OsError kErrorAlreadyExists = 183;
inline constexpr OsError kErrorFileExists = 80;
inline constexpr OsError kErrorCallNotImplemented = 120;
inline constexpr OsError kErrorDirectory = 267;  // a directory where a file is wanted

struct FileOpenResult {
  FileHandle handle;
  OsError error = kOk;
};

struct StdoutOpenResult {
  OsError error = kOk;     // non-zero: no usable handle
  bool isConsole = false;  // a character device rather than a file or a pipe
};

// The first bytes of a file, and its whole size.
struct FileHead {
  std::string bytes;
  std::uint64_t size = 0;
  OsError error = kOk;
};

// What tells one file from another across renames: the volume and the
// file's index on it, with the size and the last write to catch a file
// replaced under the same index.
struct FileIdentity {
  std::uint32_t volume = 0;
  std::uint64_t index = 0;
  std::uint64_t size = 0;
  std::uint64_t lastWrite = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

struct FileIdentityResult {
  FileIdentity identity;
  OsError error = kOk;
};

// Which narrow encoding a text is written in.
enum class CodePage {
  ConsoleOutput,  // standard output on a console
  Ansi,           // standard output redirected, and the result file
  Oem,            // the report of an escaped error on standard error
};

// The command line as the platform hands it over: either whole, for the tool
// to split by its own rules, or already split into arguments.
struct CommandLine {
  bool isSplit = false;
  std::u16string whole;
  std::vector<std::u16string> arguments;  // when split: argument 0 first
};

class FileAndProcess {
 public:
  virtual ~FileAndProcess() = default;

  virtual CommandLine commandLine() = 0;
  // Full path of the tool's own executable, however long; nothing when it
  // cannot be read whole (a cut path would name another folder).
  virtual std::optional<std::u16string> ownExecutablePath() = 0;

  // True for an existing file; a directory never counts as one.
  virtual bool fileExists(std::u16string_view name) = 0;
  virtual OsError removeFile(std::u16string_view name) = 0;
  // Never replaces an existing target: the move fails and both files stay.
  virtual OsError moveNoReplace(std::u16string_view from, std::u16string_view to) = 0;
  // Reads up to `maxBytes` from the start of a file, opened so that no other
  // process may hold it open for writing meanwhile: a file still being
  // written fails with a sharing violation.
  virtual FileHead readFileHead(std::u16string_view name, std::size_t maxBytes) = 0;
  // Whether `name` is a file this process could delete now: 0 when it is,
  // the error a deletion would meet otherwise (kErrorFileNotFound when there
  // is nothing, kErrorDirectory for a directory).
  virtual OsError probeDeletable(std::u16string_view name) = 0;
  // Whether the file at `name` could be renamed now: 0 when it could, a
  // sharing violation while another process holds it without sharing its
  // deletion.
  virtual OsError probeMovable(std::u16string_view name) = 0;

  // The new version, held so that no other process may change, replace,
  // rename or delete it until it is closed: read and delete access, others
  // may only read.
  virtual FileOpenResult openToActivate(std::u16string_view name) = 0;
  // Read access; others may read and rename it, not write to it.
  virtual FileOpenResult openToRead(std::u16string_view name) = 0;
  // Up to `maxBytes` from the start of an open file, and its whole size.
  virtual FileHead readHead(FileHandle file, std::size_t maxBytes) = 0;
  // Up to `maxBytes` from `offset` of an open file (fewer at its end).
  virtual FileHead readAt(FileHandle file, std::uint64_t offset, std::size_t maxBytes) = 0;
  // Renames the open file itself, never replacing an existing target: the
  // file checked through the handle is the file that moves.
  virtual OsError renameOpenFile(FileHandle file, std::u16string_view to) = 0;
  // Puts `from` in place of `to` in one step, replacing it, and on disk
  // before it returns.
  virtual OsError replaceFile(std::u16string_view from, std::u16string_view to) = 0;
  virtual FileIdentityResult fileIdentity(std::u16string_view name) = 0;

  // Environment variables in `text` (%NAME%) replaced by their values.
  virtual std::u16string expandEnvironment(std::u16string_view text) = 0;
  // `path` as the file system names it: full, long names for short ones
  // where the path exists, in upper case by the system's rules, so that two
  // names of one file compare equal.
  virtual std::u16string comparablePath(std::u16string_view path) = 0;
  // The machine types (as PE/COFF headers name them) of the programs this
  // system runs; none when it cannot tell.
  virtual std::vector<std::uint16_t> runnableMachines() = 0;
  // The system's own programs' folder (System32), with no delimiter at the
  // end.
  virtual std::u16string systemDirectory() = 0;
  // `text` in upper case by the system's rules.
  virtual std::u16string upperCase(std::u16string_view text) = 0;
  // The path the system resolves `path` to once every link, junction,
  // substituted drive and short name on the way is followed (its folder's,
  // when the file itself is missing): one name for every spelling of a
  // file. `path` as it is when its folder cannot be resolved.
  virtual std::u16string finalPath(std::u16string_view path) = 0;

  // A file that did not exist: whatever stands at the name (a file, a link,
  // a folder) fails it with kErrorFileExists and is left as it is. Write
  // access, others may only read while it is open, ordinary attributes,
  // and the rights its folder passes on, as any file created there.
  virtual FileOpenResult createNewFile(std::u16string_view name) = 0;
  // A file that did not exist: whatever stands at the name (a file, a link,
  // a folder) fails it with kErrorFileExists and is left as it is. Write
  // access, nobody else may open it meanwhile, and only SYSTEM,
  // Administrators and its owner may ever read or change it.
  virtual FileOpenResult createPrivateFile(std::u16string_view name) = 0;
  // A file that did not exist, as createPrivateFile, owned by
  // Administrators, that whoever may read and run `model` may read and run
  // too: its explicit entries copied, the ones it inherits left to inherit
  // from the folder (none when its entries are protected); with nothing at
  // `model`, what the folder passes on to its files. Every right to change
  // it (write, append, attributes, delete, rights, owner) is kept for
  // SYSTEM, Administrators and TrustedInstaller alone: taken out of any
  // entry for anyone else, and an entry the folder would pass on with such
  // a right becomes an explicit one without it (the file then inherits
  // nothing). A service that runs as NetworkService or a virtual account
  // can still read the executable that replaces its own.
  virtual FileOpenResult createRunnableFile(std::u16string_view name, std::u16string_view model) = 0;
  // Takes the read-only attribute off a file, which Windows refuses to
  // replace or delete while it has it; kOk when it had none.
  virtual OsError clearReadOnly(std::u16string_view name) = 0;
  virtual OsError writeBytes(FileHandle file, std::string_view bytes) = 0;
  // What was written reaches the disk before it returns.
  virtual OsError flushFile(FileHandle file) = 0;
  virtual OsError closeFile(FileHandle file) = 0;

  virtual StdoutOpenResult openStdout() = 0;
  virtual OsError writeStdout(std::string_view bytes) = 0;
  // Unbuffered; only for the report of an error that escapes every handler.
  virtual OsError writeStderr(std::string_view bytes) = 0;

  // No flags and no default character of the tool's own: characters without
  // an exact mapping become the code page's best fit or default character.
  virtual std::string toNarrow(std::u16string_view text, CodePage codePage) = 0;

};

// Owns an open file; a failure of the close that this makes is not seen.
using OwnedFileHandle = OwnedHandle<FileHandle, FileAndProcess, &FileAndProcess::closeFile>;

}  // namespace usqz::platform
