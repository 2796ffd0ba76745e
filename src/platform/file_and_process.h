// The file system, standard output and the process's surroundings, as the
// tool needs them. This header is portable: implementations live in win32/
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

enum class ProcessState {
  Exited,   // gone, or no process has that id
  Running,  // still there when the wait ended
  Unknown,  // could not be told (the error says why)
};

struct ProcessStateResult {
  ProcessState state = ProcessState::Unknown;
  OsError error = kOk;
};

struct LockResult {
  LockHandle handle;          // set when this process now holds the lock
  bool heldElsewhere = false;  // another process holds it
  OsError error = kOk;         // the lock could not even be asked for
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

  // Environment variables in `text` (%NAME%) replaced by their values.
  virtual std::u16string expandEnvironment(std::u16string_view text) = 0;
  // `path` as the file system names it: full, long names for short ones
  // where the path exists, in upper case by the system's rules, so that two
  // names of one file compare equal.
  virtual std::u16string comparablePath(std::u16string_view path) = 0;
  // `text` in upper case by the system's rules.
  virtual std::u16string upperCase(std::u16string_view text) = 0;

  // Waits up to `waitMs` for the process to end.
  virtual ProcessStateResult waitForProcessExit(std::uint32_t processId, std::uint32_t waitMs) = 0;
  virtual OsError terminateProcess(std::uint32_t processId) = 0;

  // A machine-wide lock by name, not waited for: held here, held by another
  // process, or not to be had. Released by releaseLock or when the process
  // ends, however it ends.
  virtual LockResult tryLock(std::u16string_view name) = 0;
  virtual void releaseLock(LockHandle lock) = 0;

  // Write access, others may only read while it is open, truncated if it
  // exists, ordinary attributes.
  virtual FileOpenResult createTextFile(std::u16string_view name) = 0;
  virtual OsError writeBytes(FileHandle file, std::string_view bytes) = 0;
  virtual OsError closeFile(FileHandle file) = 0;

  virtual StdoutOpenResult openStdout() = 0;
  virtual OsError writeStdout(std::string_view bytes) = 0;
  // Unbuffered; only for the report of an error that escapes every handler.
  virtual OsError writeStderr(std::string_view bytes) = 0;

  // No flags and no default character of the tool's own: characters without
  // an exact mapping become the code page's best fit or default character.
  virtual std::string toNarrow(std::u16string_view text, CodePage codePage) = 0;

  virtual void pause(std::uint32_t milliseconds) = 0;
  // Milliseconds on a clock that never goes back; only differences count.
  virtual std::uint64_t monotonicMilliseconds() = 0;
};

}  // namespace usqz::platform
