// An in-memory file system, standard output and standard error for tests,
// with fault injection at every operation; also the tool's process as the
// tests see it: its clock (virtual), its locks, its interruptions, and its
// life (the Lifeline, shared with the service double).
//
// Names are matched exactly. A name with a directory part ("C:\svc\x.exe")
// needs that directory to be added first; a bare name lies in the current
// directory, which always exists.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fault_plan.h"
#include "platform/clock.h"
#include "platform/file_and_process.h"
#include "platform/file_security.h"
#include "platform/interrupts.h"
#include "platform/locks.h"

namespace usqz::platform::fake {

enum class FileOp {
  FileExists,  // cannot fail; counted only
  RemoveFile,
  MoveNoReplace,
  CreateNewFile,
  WriteBytes,
  CloseFile,
  OpenStdout,
  WriteStdout,
  WriteStderr,
  ReadFileHead,
  ProbeDeletable,
  ReplaceFile,
  FileIdentity,
  OpenToActivate,
  OpenToRead,
  ReadHead,
  RenameOpenFile,
  FlushFile,
  TryLock,
  ReleaseLock,  // cannot fail; counted only
  Pause,        // cannot fail; counted only
  ProbeMovable,
  CreatePrivateFile,
  Inspect,
  FinalPath,    // cannot fail; counted only
  ReadAt,
  CreateRunnableFile,
  ClearReadOnly,
};

// An entry of a file's access list, or one its folder passes on to files:
// SYSTEM, Administrators and TrustedInstaller, who may always do anything,
// have none.
struct Access {
  std::u16string account;
  bool changes = false;    // write, delete, its rights or owner; else read and run only
  bool inherited = false;  // on a file: from its folder, and changes with it
  friend bool operator==(const Access&, const Access&) = default;
};

// Who always may do anything, in the doubles as on Windows.
bool changesFreely(const std::u16string& account);

enum class StdoutKind { Console, Redirected, Missing };

class FakeFileAndProcess final : public FileAndProcess,
                                 public FileSecurity,
                                 public Clock,
                                 public Locks,
                                 public Interrupts {
 public:
  explicit FakeFileAndProcess(VirtualClock& clock) : clock_(clock) { faults_.setLifeline(&lifeline_); }

  // -- setting the scene --
  void setCommandLine(std::u16string whole);
  void setArguments(std::vector<std::u16string> arguments);
  // Nothing: the platform could not read the path whole.
  void setOwnExecutablePath(std::optional<std::u16string> path) { ownPath_ = std::move(path); }
  void addDirectory(std::u16string path);
  void putFile(const std::u16string& name, std::string bytes);
  void setReadOnly(const std::u16string& name, bool readOnly = true);
  // Held open by another process that shares nothing with others.
  void setLocked(const std::u16string& name, bool locked = true);
  void setStdout(StdoutKind kind) { stdoutKind_ = kind; }
  // The machine types the system runs (x64 Windows: x64 and x86).
  void setRunnableMachines(std::vector<std::uint16_t> machines) { machines_ = std::move(machines); }
  // A folder's short (8.3) name, e.g. C:\PROGRA~1 for C:\Program Files.
  void setShortName(std::u16string shortName, std::u16string longName) {
    shortNames_[std::move(shortName)] = std::move(longName);
  }
  // Another spelling of a folder that the system resolves to `real` (a
  // substituted drive, a junction).
  void setAlias(std::u16string alias, std::u16string real) { aliases_[std::move(alias)] = std::move(real); }
  // Who besides the administrators owns or may write a file or a folder.
  // A folder's writers may do anything to it and to what it holds.
  void setForeign(const std::u16string& path, std::u16string owner, std::vector<std::u16string> writers = {});
  // A folder's rights one by one: who may add to it (as Users may to C:\),
  // who may delete or rename it or change its rights, and who may delete
  // or rename what it holds.
  void setFolderRights(const std::u16string& path, std::vector<std::u16string> writers,
                       std::vector<std::u16string> renamers, std::vector<std::u16string> childDeleters);
  // What a folder passes on to the files in it; a file that inherits
  // (every file put here does, unless given protected rights) has these
  // entries for as long as they are its folder's.
  void setPassedOn(const std::u16string& folder, std::vector<Access> entries);
  // A file's own entries, and whether they are protected (it inherits
  // nothing then).
  void setAccess(const std::u16string& name, std::vector<Access> explicitEntries, bool isProtected = false);
  // Everything that grants a right to the file: its own entries, then
  // what it inherits.
  std::vector<Access> accessOf(const std::u16string& name) const;
  // Whether `account` may read and run it.
  bool mayRead(const std::u16string& name, const std::u16string& account) const;
  // Who besides SYSTEM, Administrators and TrustedInstaller may change it.
  std::vector<std::u16string> changers(const std::u16string& name) const;
  bool readOnly(const std::u16string& name) const { return files_.at(name).readOnly; }
  // The file's name is a symbolic link (to what it holds), or one of
  // `links` hard links to it.
  void makeLink(const std::u16string& name) { files_.at(name).link = true; }
  // New contents under the same identity (a file changed in place and its
  // times set back).
  void overwrite(const std::u16string& name, std::string bytes) { files_.at(name).bytes = std::move(bytes); }
  // Another process writes new contents in place, as it may unless the
  // file is held for activation or locked: whether it could.
  bool rewrite(const std::u16string& name, std::string bytes);
  void setHardLinks(const std::u16string& name, std::uint32_t links) { files_.at(name).links = links; }
  // Created by createPrivateFile, and not changed since.
  bool isPrivate(const std::u16string& name) const {
    const auto it = files_.find(name);
    return it != files_.end() && it->second.isPrivate;
  }
  // Created by createPrivateFile or createRunnableFile, and not changed
  // since.
  bool madeByTool(const std::u16string& name) const {
    const auto it = files_.find(name);
    return it != files_.end() && (it->second.isPrivate || it->second.isRunnable);
  }
  void setEnvironment(std::u16string name, std::u16string value) { environment_[std::move(name)] = std::move(value); }
  // Another run holds this lock.
  void holdLockElsewhere(std::u16string name) { locksElsewhere_.insert(std::move(name)); }
  FaultPlan<FileOp>& faults() { return faults_; }
  Lifeline& lifeline() { return lifeline_; }
  // The tool's process died: the system closes its files and lets go of
  // its locks (abandoned), and the next process starts afresh.
  void afterDeath();

  // -- looking at the outcome --
  std::optional<std::string> contents(const std::u16string& name) const;
  std::vector<std::u16string> fileNames() const;
  std::size_t openFiles() const { return open_.size() + openByIndex_.size(); }
  std::size_t locksHeld() const { return locks_.size(); }
  // A name, in order, for each lock this process has asked for.
  const std::vector<std::u16string>& locksAskedFor() const { return locksAskedFor_; }
  // Each write that reached standard output, as one entry.
  const std::vector<std::string>& stdoutWrites() const { return stdoutWrites_; }
  std::string stdoutBytes() const;
  const std::string& stderrBytes() const { return stderr_; }
  unsigned calls(FileOp operation) const { return faults_.calls(operation); }
  // A file's index, which it keeps across moves (0: no file there), and
  // the bytes the tool has read of it, wherever it was, even once it is
  // gone (the system's own reads, a signature check's, not counted).
  std::uint64_t fileIndex(const std::u16string& name) const;
  std::uint64_t bytesRead(std::uint64_t index) const;
  // What the system reads of an open file on its own (a signature check):
  // the whole file, not counted as the tool's.
  std::optional<std::string> systemReads(FileHandle file) const;
  std::vector<std::uint32_t> pauses() const { return pauses_; }

  // -- FileAndProcess --
  CommandLine commandLine() override { return commandLine_; }
  std::optional<std::u16string> ownExecutablePath() override { return ownPath_; }
  bool fileExists(std::u16string_view name) override;
  OsError removeFile(std::u16string_view name) override;
  OsError moveNoReplace(std::u16string_view from, std::u16string_view to) override;
  FileHead readFileHead(std::u16string_view name, std::size_t maxBytes) override;
  OsError probeDeletable(std::u16string_view name) override;
  OsError probeMovable(std::u16string_view name) override;
  // Aliases and short names given above resolved.
  std::u16string finalPath(std::u16string_view path) override;
  FileOpenResult createPrivateFile(std::u16string_view name) override;
  // As Windows gives them: the model's own entries with their rights to
  // change taken out, inheriting from the folder as the model does; an
  // entry the folder passes on with a right to change becomes an explicit
  // one without it.
  FileOpenResult createRunnableFile(std::u16string_view name, std::u16string_view model) override;
  // Refused while another process holds the file sharing nothing.
  OsError clearReadOnly(std::u16string_view name) override;
  // %NAME% replaced from setEnvironment; unknown names stay as they are.
  std::u16string expandEnvironment(std::u16string_view text) override;
  // Names are matched exactly here, in upper case; a short name given with
  // setShortName is made long, as the system does, only where the path
  // exists.
  std::u16string comparablePath(std::u16string_view path) override;
  std::u16string upperCase(std::u16string_view text) override;
  std::vector<std::uint16_t> runnableMachines() override { return machines_; }
  std::u16string systemDirectory() override { return u"C:\\Windows\\System32"; }
  // A file held for activation may only be read by others: removing,
  // moving, replacing or writing it fails with a sharing violation.
  FileOpenResult openToActivate(std::u16string_view name) override;
  FileOpenResult openToRead(std::u16string_view name) override;
  FileHead readHead(FileHandle file, std::size_t maxBytes) override;
  FileHead readAt(FileHandle file, std::uint64_t offset, std::size_t maxBytes) override;
  OsError renameOpenFile(FileHandle file, std::u16string_view to) override;
  OsError replaceFile(std::u16string_view from, std::u16string_view to) override;
  FileIdentityResult fileIdentity(std::u16string_view name) override;
  // As createPrivateFile, but not private: anything at the name fails it.
  FileOpenResult createNewFile(std::u16string_view name) override;
  OsError writeBytes(FileHandle file, std::string_view bytes) override;
  OsError flushFile(FileHandle file) override;
  OsError closeFile(FileHandle file) override;
  StdoutOpenResult openStdout() override;
  OsError writeStdout(std::string_view bytes) override;
  OsError writeStderr(std::string_view bytes) override;
  // Ansi: Windows-1252 for the Latin-1 range; ConsoleOutput and Oem: code
  // page 850 for the letters Portuguese uses. Anything else becomes '?'.
  std::string toNarrow(std::u16string_view text, CodePage codePage) override;

  // -- FileSecurity --
  FileFacts inspect(std::u16string_view path) override;
  // inspect, then readFileHead when it is a plain file, each with its own
  // faults.
  InspectedFile inspectAndRead(std::u16string_view path, std::size_t maxBytes) override {
    InspectedFile inspected{inspect(path), {}};
    if (inspected.facts.error == kOk && inspected.facts.kind == FileKind::File) {
      inspected.head = readFileHead(path, maxBytes);
    }
    return inspected;
  }

  // -- Clock --
  void pause(std::uint32_t milliseconds) override;
  std::uint64_t monotonicMilliseconds() override { return clock_.now(); }
  std::int64_t wallClockSeconds() override { return 1'796'774'400 + static_cast<std::int64_t>(clock_.now() / 1000); }
  std::int64_t bootedAtSeconds() override { return 1'796'774'400 + static_cast<std::int64_t>(clock_.bootedAt() / 1000); }

  // -- Locks: abandoned once a process that held them died --
  LockResult tryLock(std::u16string_view name) override;
  void releaseLock(LockHandle lock) override;

  // -- Interrupts, kept by the lifeline --
  void defer() override { lifeline_.defer(); }
  void allow() override { lifeline_.allow(); }
  bool arrived() override { return lifeline_.arrived(); }

 private:
  struct File {
    std::string bytes;
    bool readOnly = false;
    bool locked = false;
    // Its identity: the index stays with the file across moves.
    std::uint64_t index = 0;
    std::uint64_t lastWrite = 0;
    bool link = false;
    std::uint32_t links = 1;
    bool isPrivate = false;
    bool isRunnable = false;
    std::vector<Access> access;  // its own entries
    bool inherits = true;
    std::u16string foreignOwner;
    std::vector<std::u16string> foreignWriters;
  };
  struct Foreign {
    std::u16string owner;
    std::vector<std::u16string> writers;
    std::vector<std::u16string> renamers;
    std::vector<std::u16string> childDeleters;
  };

  File& newFile(const std::u16string& name);
  FileOpenResult openExisting(std::u16string_view name, bool hold);
  FileHead readFrom(FileOp operation, FileHandle file, std::uint64_t offset, std::size_t maxBytes);
  // The name of the file a handle is open on, wherever it is now.
  const std::u16string* nameOf(FileHandle file) const;
  bool held(const std::u16string& name) const;

  OsError checkDirectoryOf(const std::u16string& name) const;

  VirtualClock& clock_;
  FaultPlan<FileOp> faults_;
  CommandLine commandLine_{false, u"UpdateServiceQZ.exe", {}};
  std::optional<std::u16string> ownPath_ = u"C:\\svc\\UpdateServiceQZ.exe";
  std::set<std::u16string> directories_;
  std::map<std::u16string, File> files_;
  std::map<FileHandle, std::u16string> open_;
  // Handles opened on existing files, by the file's index; and the indexes
  // of files held for activation.
  std::map<FileHandle, std::uint64_t> openByIndex_;
  std::map<FileHandle, std::uint64_t> heldByIndex_;
  std::uintptr_t nextHandle_ = 0x100;
  StdoutKind stdoutKind_ = StdoutKind::Redirected;
  std::vector<std::string> stdoutWrites_;
  std::string stderr_;
  std::vector<std::uint32_t> pauses_;
  std::map<std::u16string, std::u16string> environment_;
  std::set<std::u16string> locksElsewhere_;
  std::map<LockHandle, std::u16string> locks_;
  std::set<std::u16string> abandoned_;
  std::map<std::u16string, std::u16string> shortNames_;
  std::map<std::u16string, std::u16string> aliases_;
  std::map<std::u16string, Foreign> foreignFolders_;
  std::map<std::u16string, std::vector<Access>> passedOn_;
  std::vector<std::uint16_t> machines_ = {0x8664, 0x014C};
  std::vector<std::u16string> locksAskedFor_;
  std::uint64_t nextIndex_ = 0x1000;
  std::map<std::uint64_t, std::uint64_t> bytesRead_;
  Lifeline lifeline_;
};

}  // namespace usqz::platform::fake
