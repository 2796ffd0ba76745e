#include "fake_file_and_process.h"

#include <algorithm>

#include "platform/text.h"

namespace usqz::platform::fake {

namespace {

std::size_t lastDelimiter(const std::u16string& name) { return name.find_last_of(u"\\/"); }

// Code page 850 for the letters Portuguese writes with, enough to tell it
// from Windows-1252 in tests.
char cp850(char16_t c) {
  switch (c) {
    case u'Ç': return '\x80';
    case u'ü': return '\x81';
    case u'é': return '\x82';
    case u'â': return '\x83';
    case u'à': return '\x85';
    case u'ç': return '\x87';
    case u'ê': return '\x88';
    case u'É': return '\x90';
    case u'ô': return '\x93';
    case u'á': return '\xA0';
    case u'í': return '\xA1';
    case u'ó': return '\xA2';
    case u'ú': return '\xA3';
    case u'Á': return '\xB5';
    case u'ã': return '\xC6';
    case u'Ã': return '\xC7';
    case u'õ': return '\xE4';
    case u'Õ': return '\xE5';
    default: return '?';
  }
}

}  // namespace

void FakeFileAndProcess::setCommandLine(std::u16string whole) { commandLine_ = {false, std::move(whole), {}}; }

void FakeFileAndProcess::setArguments(std::vector<std::u16string> arguments) {
  commandLine_ = {true, {}, std::move(arguments)};
}

void FakeFileAndProcess::addDirectory(std::u16string path) {
  while (!path.empty() && (path.back() == u'\\' || path.back() == u'/')) path.pop_back();
  directories_.insert(std::move(path));
}

FakeFileAndProcess::File& FakeFileAndProcess::newFile(const std::u16string& name) {
  File& file = files_[name] = File{};
  file.index = ++nextIndex_;
  file.lastWrite = clock_.now();
  return file;
}

void FakeFileAndProcess::putFile(const std::u16string& name, std::string bytes) { newFile(name).bytes = std::move(bytes); }

void FakeFileAndProcess::afterDeath() {
  open_.clear();
  openByIndex_.clear();
  heldByIndex_.clear();
  for (const auto& [handle, name] : locks_) abandoned_.insert(name);
  locks_.clear();
  lifeline_.revive();
}

void FakeFileAndProcess::setReadOnly(const std::u16string& name, bool readOnly) { files_.at(name).readOnly = readOnly; }

void FakeFileAndProcess::setLocked(const std::u16string& name, bool locked) { files_.at(name).locked = locked; }

std::optional<std::string> FakeFileAndProcess::contents(const std::u16string& name) const {
  const auto it = files_.find(name);
  if (it == files_.end()) return std::nullopt;
  return it->second.bytes;
}

std::vector<std::u16string> FakeFileAndProcess::fileNames() const {
  std::vector<std::u16string> names;
  for (const auto& [name, file] : files_) names.push_back(name);
  return names;
}

std::string FakeFileAndProcess::stdoutBytes() const {
  std::string all;
  for (const auto& write : stdoutWrites_) all += write;
  return all;
}

OsError FakeFileAndProcess::checkDirectoryOf(const std::u16string& name) const {
  const auto last = lastDelimiter(name);
  if (last == std::u16string::npos) return kOk;
  return directories_.count(name.substr(0, last)) != 0 ? kOk : kErrorPathNotFound;
}

bool FakeFileAndProcess::fileExists(std::u16string_view name) {
  faults_.onCall(FileOp::FileExists);
  return files_.count(std::u16string(name)) != 0;
}

OsError FakeFileAndProcess::removeFile(std::u16string_view name) {
  if (const auto error = faults_.onCall(FileOp::RemoveFile)) return error;
  const auto it = files_.find(std::u16string(name));
  if (it == files_.end()) {
    if (directories_.count(std::u16string(name)) != 0) return kErrorAccessDenied;
    return checkDirectoryOf(std::u16string(name)) != kOk ? kErrorPathNotFound : kErrorFileNotFound;
  }
  if (it->second.locked || held(it->first)) return kErrorSharingViolation;
  if (it->second.readOnly) return kErrorAccessDenied;
  files_.erase(it);
  return kOk;
}

OsError FakeFileAndProcess::moveNoReplace(std::u16string_view from, std::u16string_view to) {
  if (const auto error = faults_.onCall(FileOp::MoveNoReplace)) return error;
  const std::u16string source(from);
  const std::u16string target(to);
  const auto it = files_.find(source);
  if (it == files_.end()) return checkDirectoryOf(source) != kOk ? kErrorPathNotFound : kErrorFileNotFound;
  if (files_.count(target) != 0 || directories_.count(target) != 0) return kErrorAlreadyExists;
  if (const auto error = checkDirectoryOf(target)) return error;
  if (it->second.locked || held(source)) return kErrorSharingViolation;
  auto file = std::move(it->second);
  files_.erase(it);
  files_[target] = std::move(file);
  return kOk;
}

FileHead FakeFileAndProcess::readFileHead(std::u16string_view name, std::size_t maxBytes) {
  FileHead head;
  if (const auto error = faults_.onCall(FileOp::ReadFileHead)) {
    head.error = error;
    return head;
  }
  const auto it = files_.find(std::u16string(name));
  if (it == files_.end()) {
    head.error = checkDirectoryOf(std::u16string(name)) != kOk ? kErrorPathNotFound : kErrorFileNotFound;
  } else if (it->second.locked) {
    head.error = kErrorSharingViolation;
  } else {
    head.size = it->second.bytes.size();
    head.bytes = it->second.bytes.substr(0, maxBytes);
    bytesRead_[it->second.index] += head.bytes.size();
  }
  return head;
}

OsError FakeFileAndProcess::probeDeletable(std::u16string_view name) {
  if (const auto error = faults_.onCall(FileOp::ProbeDeletable)) return error;
  const std::u16string path(name);
  if (directories_.count(path) != 0) return kErrorDirectory;
  const auto it = files_.find(path);
  if (it == files_.end()) return checkDirectoryOf(path) != kOk ? kErrorPathNotFound : kErrorFileNotFound;
  if (it->second.locked || held(path)) return kErrorSharingViolation;
  if (it->second.readOnly) return kErrorAccessDenied;
  return kOk;
}

OsError FakeFileAndProcess::probeMovable(std::u16string_view name) {
  if (const auto error = faults_.onCall(FileOp::ProbeMovable)) return error;
  const std::u16string path(name);
  const auto it = files_.find(path);
  if (it == files_.end()) return checkDirectoryOf(path) != kOk ? kErrorPathNotFound : kErrorFileNotFound;
  if (it->second.locked || held(path)) return kErrorSharingViolation;
  return kOk;
}

std::u16string FakeFileAndProcess::finalPath(std::u16string_view path) {
  faults_.onCall(FileOp::FinalPath);
  std::u16string resolved(path);
  for (const auto* names : {&shortNames_, &aliases_}) {
    for (const auto& [alias, real] : *names) {
      if (resolved.rfind(alias, 0) == 0) resolved = real + resolved.substr(alias.size());
    }
  }
  return resolved;
}

FileOpenResult FakeFileAndProcess::createPrivateFile(std::u16string_view name) {
  if (const auto error = faults_.onCall(FileOp::CreatePrivateFile)) return {{}, error};
  const std::u16string path(name);
  if (const auto error = checkDirectoryOf(path)) return {{}, error};
  if (files_.count(path) != 0 || directories_.count(path) != 0) return {{}, kErrorFileExists};
  auto& file = newFile(path);
  file.isPrivate = true;
  file.inherits = false;
  const FileHandle handle(nextHandle_++);
  open_[handle] = path;
  return {handle, kOk};
}

bool changesFreely(const std::u16string& account) {
  return account == u"NT AUTHORITY\\SYSTEM" || account == u"BUILTIN\\Administrators" ||
         account == u"NT SERVICE\\TrustedInstaller";
}

namespace {

std::u16string folderOf(const std::u16string& name) {
  const auto last = lastDelimiter(name);
  return last == std::u16string::npos ? std::u16string() : name.substr(0, last);
}

// An entry as a runnable file gets it: read and run only, unless it is
// one of those who may always change anything.
Access trimmed(Access entry) {
  if (!changesFreely(entry.account)) entry.changes = false;
  entry.inherited = false;
  return entry;
}

}  // namespace

FileOpenResult FakeFileAndProcess::createRunnableFile(std::u16string_view name, std::u16string_view model) {
  if (const auto error = faults_.onCall(FileOp::CreateRunnableFile)) return {{}, error};
  const std::u16string path(name);
  if (const auto error = checkDirectoryOf(path)) return {{}, error};
  if (files_.count(path) != 0 || directories_.count(path) != 0) return {{}, kErrorFileExists};
  std::vector<Access> entries;
  bool inherits = true;
  if (const auto it = files_.find(std::u16string(model)); it != files_.end()) {
    for (const auto& entry : it->second.access) entries.push_back(trimmed(entry));
    inherits = it->second.inherits;
  }
  if (inherits) {
    const auto passed = passedOn_.find(folderOf(path));
    if (passed != passedOn_.end()) {
      bool changes = false;
      for (const auto& entry : passed->second) changes = changes || (entry.changes && !changesFreely(entry.account));
      if (changes) {
        inherits = false;
        for (const auto& entry : passed->second) entries.push_back(trimmed(entry));
      }
    }
  }
  auto& file = newFile(path);
  file.isRunnable = true;
  file.access = std::move(entries);
  file.inherits = inherits;
  const FileHandle handle(nextHandle_++);
  open_[handle] = path;
  return {handle, kOk};
}

OsError FakeFileAndProcess::clearReadOnly(std::u16string_view name) {
  if (const auto error = faults_.onCall(FileOp::ClearReadOnly)) return error;
  const auto it = files_.find(std::u16string(name));
  if (it == files_.end()) return checkDirectoryOf(std::u16string(name)) != kOk ? kErrorPathNotFound : kErrorFileNotFound;
  if (it->second.locked) return kErrorSharingViolation;
  it->second.readOnly = false;
  return kOk;
}

bool FakeFileAndProcess::rewrite(const std::u16string& name, std::string bytes) {
  const auto it = files_.find(name);
  if (it == files_.end() || it->second.locked || held(name)) return false;
  it->second.bytes = std::move(bytes);
  it->second.lastWrite = clock_.now();
  return true;
}

void FakeFileAndProcess::setPassedOn(const std::u16string& folder, std::vector<Access> entries) {
  auto path = folder;
  while (!path.empty() && path.back() == u'\\') path.pop_back();
  passedOn_[path] = std::move(entries);
}

void FakeFileAndProcess::setAccess(const std::u16string& name, std::vector<Access> explicitEntries,
                                   bool isProtected) {
  auto& file = files_.at(name);
  file.access = std::move(explicitEntries);
  file.inherits = !isProtected;
  file.isPrivate = false;
  file.isRunnable = false;
}

std::vector<Access> FakeFileAndProcess::accessOf(const std::u16string& name) const {
  const auto& file = files_.at(name);
  auto entries = file.access;
  if (file.inherits) {
    if (const auto passed = passedOn_.find(folderOf(name)); passed != passedOn_.end()) {
      for (auto entry : passed->second) {
        entry.inherited = true;
        entries.push_back(std::move(entry));
      }
    }
  }
  return entries;
}

bool FakeFileAndProcess::mayRead(const std::u16string& name, const std::u16string& account) const {
  if (changesFreely(account)) return true;
  for (const auto& entry : accessOf(name)) {
    if (entry.account == account) return true;
  }
  return false;
}

std::vector<std::u16string> FakeFileAndProcess::changers(const std::u16string& name) const {
  std::vector<std::u16string> names;
  for (const auto& entry : accessOf(name)) {
    if (entry.changes && !changesFreely(entry.account)) names.push_back(entry.account);
  }
  return names;
}

void FakeFileAndProcess::setForeign(const std::u16string& path, std::u16string owner,
                                    std::vector<std::u16string> writers) {
  if (const auto it = files_.find(path); it != files_.end()) {
    it->second.foreignOwner = std::move(owner);
    it->second.foreignWriters = std::move(writers);
    it->second.isPrivate = false;
    it->second.isRunnable = false;
  } else {
    auto folder = path;
    while (!folder.empty() && folder.back() == u'\\') folder.pop_back();
    foreignFolders_[folder] = {std::move(owner), writers, writers, writers};
  }
}

void FakeFileAndProcess::setFolderRights(const std::u16string& path, std::vector<std::u16string> writers,
                                         std::vector<std::u16string> renamers,
                                         std::vector<std::u16string> childDeleters) {
  auto folder = path;
  while (!folder.empty() && folder.back() == u'\\') folder.pop_back();
  foreignFolders_[folder] = {{}, std::move(writers), std::move(renamers), std::move(childDeleters)};
}

FileFacts FakeFileAndProcess::inspect(std::u16string_view name) {
  FileFacts facts;
  if (const auto error = faults_.onCall(FileOp::Inspect)) {
    facts.error = error;
    return facts;
  }
  std::u16string path(name);
  while (!path.empty() && (path.back() == u'\\' || path.back() == u'/')) path.pop_back();
  if (const auto it = files_.find(path); it != files_.end()) {
    facts.kind = it->second.link ? FileKind::Link : FileKind::File;
    facts.links = it->second.links;
    facts.foreignOwner = it->second.foreignOwner;
    facts.foreignWriters = it->second.foreignWriters;
    for (auto& writer : changers(path)) {
      if (std::find(facts.foreignWriters.begin(), facts.foreignWriters.end(), writer) == facts.foreignWriters.end()) {
        facts.foreignWriters.push_back(std::move(writer));
      }
    }
    return facts;
  }
  if (directories_.count(path) == 0) {
    facts.error = kErrorFileNotFound;
    return facts;
  }
  facts.kind = FileKind::Directory;
  if (const auto it = foreignFolders_.find(path); it != foreignFolders_.end()) {
    facts.foreignOwner = it->second.owner;
    facts.foreignWriters = it->second.writers;
    facts.foreignRenamers = it->second.renamers;
    facts.foreignChildDeleters = it->second.childDeleters;
  }
  return facts;
}

std::u16string FakeFileAndProcess::expandEnvironment(std::u16string_view text) {
  std::u16string out;
  while (!text.empty()) {
    const auto open = text.find(u'%');
    const auto close = open == std::u16string_view::npos ? open : text.find(u'%', open + 1);
    if (close == std::u16string_view::npos) break;
    const auto it = environment_.find(std::u16string(text.substr(open + 1, close - open - 1)));
    out += text.substr(0, open);
    out += it == environment_.end() ? std::u16string(text.substr(open, close - open + 1)) : it->second;
    text.remove_prefix(close + 1);
  }
  out += text;
  return out;
}

std::u16string FakeFileAndProcess::upperCase(std::u16string_view text) { return toAsciiUpper(text); }

std::u16string FakeFileAndProcess::comparablePath(std::u16string_view path) {
  std::u16string full(path);
  for (const auto& [shortName, longName] : shortNames_) {
    if (full.rfind(shortName, 0) == 0) full = longName + full.substr(shortName.size());
  }
  auto bare = full;
  while (!bare.empty() && (bare.back() == u'\\' || bare.back() == u'/')) bare.pop_back();
  const bool exists = files_.count(full) != 0 || directories_.count(bare) != 0;
  return toAsciiUpper(exists ? full : std::u16string(path));
}

bool FakeFileAndProcess::held(const std::u16string& name) const {
  const auto it = files_.find(name);
  if (it == files_.end()) return false;
  for (const auto& [handle, index] : heldByIndex_) {
    if (index == it->second.index) return true;
  }
  return false;
}

const std::u16string* FakeFileAndProcess::nameOf(FileHandle file) const {
  const auto it = openByIndex_.find(file);
  if (it == openByIndex_.end()) return nullptr;
  for (const auto& [name, entry] : files_) {
    if (entry.index == it->second) return &name;
  }
  return nullptr;
}

FileOpenResult FakeFileAndProcess::openExisting(std::u16string_view name, bool hold) {
  const std::u16string path(name);
  const auto it = files_.find(path);
  if (it == files_.end()) return {{}, checkDirectoryOf(path) != kOk ? kErrorPathNotFound : kErrorFileNotFound};
  if (it->second.locked || (hold && held(path))) return {{}, kErrorSharingViolation};
  const FileHandle handle(nextHandle_++);
  openByIndex_[handle] = it->second.index;
  if (hold) heldByIndex_[handle] = it->second.index;
  return {handle, kOk};
}

FileOpenResult FakeFileAndProcess::openToActivate(std::u16string_view name) {
  if (const auto error = faults_.onCall(FileOp::OpenToActivate)) return {{}, error};
  return openExisting(name, true);
}

FileOpenResult FakeFileAndProcess::openToRead(std::u16string_view name) {
  if (const auto error = faults_.onCall(FileOp::OpenToRead)) return {{}, error};
  return openExisting(name, false);
}

FileHead FakeFileAndProcess::readHead(FileHandle file, std::size_t maxBytes) {
  return readFrom(FileOp::ReadHead, file, 0, maxBytes);
}

FileHead FakeFileAndProcess::readAt(FileHandle file, std::uint64_t offset, std::size_t maxBytes) {
  return readFrom(FileOp::ReadAt, file, offset, maxBytes);
}

FileHead FakeFileAndProcess::readFrom(FileOp operation, FileHandle file, std::uint64_t offset, std::size_t maxBytes) {
  FileHead head;
  if (const auto error = faults_.onCall(operation)) {
    head.error = error;
    return head;
  }
  const auto* name = nameOf(file);
  if (name == nullptr) {
    head.error = kErrorInvalidHandle;
    return head;
  }
  const auto& entry = files_.at(*name);
  head.size = entry.bytes.size();
  if (offset < entry.bytes.size()) head.bytes = entry.bytes.substr(static_cast<std::size_t>(offset), maxBytes);
  bytesRead_[entry.index] += head.bytes.size();
  return head;
}

std::optional<std::string> FakeFileAndProcess::systemReads(FileHandle file) const {
  const auto* name = nameOf(file);
  if (name == nullptr) return std::nullopt;
  return files_.at(*name).bytes;
}

std::uint64_t FakeFileAndProcess::fileIndex(const std::u16string& name) const {
  const auto it = files_.find(name);
  return it == files_.end() ? 0 : it->second.index;
}

std::uint64_t FakeFileAndProcess::bytesRead(std::uint64_t index) const {
  const auto read = bytesRead_.find(index);
  return read == bytesRead_.end() ? 0 : read->second;
}

OsError FakeFileAndProcess::renameOpenFile(FileHandle file, std::u16string_view to) {
  if (const auto error = faults_.onCall(FileOp::RenameOpenFile)) return error;
  const auto* name = nameOf(file);
  if (name == nullptr) return kErrorInvalidHandle;
  const std::u16string target(to);
  if (files_.count(target) != 0 || directories_.count(target) != 0) return kErrorAlreadyExists;
  if (const auto error = checkDirectoryOf(target)) return error;
  const std::u16string source = *name;
  auto moved = std::move(files_.at(source));
  files_.erase(source);
  files_[target] = std::move(moved);
  return kOk;
}

OsError FakeFileAndProcess::replaceFile(std::u16string_view from, std::u16string_view to) {
  if (const auto error = faults_.onCall(FileOp::ReplaceFile)) return error;
  const std::u16string source(from);
  const std::u16string target(to);
  const auto it = files_.find(source);
  if (it == files_.end()) return checkDirectoryOf(source) != kOk ? kErrorPathNotFound : kErrorFileNotFound;
  if (directories_.count(target) != 0) return kErrorAccessDenied;
  if (const auto error = checkDirectoryOf(target)) return error;
  if (held(target) || held(source)) return kErrorSharingViolation;
  if (const auto old = files_.find(target); old != files_.end() && (old->second.locked || old->second.readOnly)) {
    return kErrorAccessDenied;
  }
  auto file = std::move(it->second);
  files_.erase(it);
  files_[target] = std::move(file);
  return kOk;
}

FileIdentityResult FakeFileAndProcess::fileIdentity(std::u16string_view name) {
  if (const auto error = faults_.onCall(FileOp::FileIdentity)) return {{}, error};
  const auto it = files_.find(std::u16string(name));
  if (it == files_.end()) return {{}, checkDirectoryOf(std::u16string(name)) != kOk ? kErrorPathNotFound : kErrorFileNotFound};
  return {{0x5A5A0001, it->second.index, it->second.bytes.size(), it->second.lastWrite}, kOk};
}

LockResult FakeFileAndProcess::tryLock(std::u16string_view name) {
  if (const auto error = faults_.onCall(FileOp::TryLock)) return {{}, false, false, error};
  const std::u16string key(name);
  locksAskedFor_.push_back(key);
  if (locksElsewhere_.count(key) != 0) return {{}, true, false, kOk};
  for (const auto& [handle, held] : locks_) {
    if (held == key) return {{}, true, false, kOk};
  }
  const LockHandle handle(nextHandle_++);
  locks_[handle] = key;
  return {handle, false, abandoned_.erase(key) != 0, kOk};
}

void FakeFileAndProcess::releaseLock(LockHandle lock) {
  if (faults_.onCall(FileOp::ReleaseLock, true) == kErrorProcessDead) return;
  locks_.erase(lock);
}

FileOpenResult FakeFileAndProcess::createNewFile(std::u16string_view name) {
  if (const auto error = faults_.onCall(FileOp::CreateNewFile)) return {{}, error};
  const std::u16string path(name);
  if (const auto error = checkDirectoryOf(path)) return {{}, error};
  if (files_.count(path) != 0 || directories_.count(path) != 0) return {{}, kErrorFileExists};
  newFile(path);
  const FileHandle handle(nextHandle_++);
  open_[handle] = path;
  return {handle, kOk};
}

OsError FakeFileAndProcess::writeBytes(FileHandle file, std::string_view bytes) {
  if (const auto error = faults_.onCall(FileOp::WriteBytes)) return error;
  const auto it = open_.find(file);
  if (it == open_.end()) return kErrorInvalidHandle;
  auto& written = files_[it->second];
  written.bytes.append(bytes);
  written.lastWrite = clock_.now();
  return kOk;
}

OsError FakeFileAndProcess::flushFile(FileHandle file) {
  if (const auto error = faults_.onCall(FileOp::FlushFile)) return error;
  return open_.count(file) != 0 ? kOk : kErrorInvalidHandle;
}

OsError FakeFileAndProcess::closeFile(FileHandle file) {
  const auto error = faults_.onCall(FileOp::CloseFile, true);
  if (error == kErrorProcessDead) return error;
  // Like CloseHandle: the handle is gone whatever the outcome.
  const bool known = open_.erase(file) + openByIndex_.erase(file) != 0;
  heldByIndex_.erase(file);
  if (!known && error == kOk) return kErrorInvalidHandle;
  return error;
}

StdoutOpenResult FakeFileAndProcess::openStdout() {
  if (const auto error = faults_.onCall(FileOp::OpenStdout)) return {error, false};
  if (stdoutKind_ == StdoutKind::Missing) return {105, false};
  return {kOk, stdoutKind_ == StdoutKind::Console};
}

OsError FakeFileAndProcess::writeStdout(std::string_view bytes) {
  if (const auto error = faults_.onCall(FileOp::WriteStdout)) return error;
  stdoutWrites_.emplace_back(bytes);
  return kOk;
}

OsError FakeFileAndProcess::writeStderr(std::string_view bytes) {
  if (const auto error = faults_.onCall(FileOp::WriteStderr)) return error;
  stderr_.append(bytes);
  return kOk;
}

std::string FakeFileAndProcess::toNarrow(std::u16string_view text, CodePage codePage) {
  std::string out;
  for (const char16_t c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (codePage == CodePage::Ansi) {
      out += c <= 0xFF ? static_cast<char>(c) : '?';
    } else {
      out += cp850(c);
    }
  }
  return out;
}

void FakeFileAndProcess::pause(std::uint32_t milliseconds) {
  faults_.onCall(FileOp::Pause);
  pauses_.push_back(milliseconds);
  clock_.advance(milliseconds);
}

}  // namespace usqz::platform::fake
