// File and process operations on Win32: one API call for each, as the
// interface promises, and the last error read on the line after a failure.
#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "../native.h"
#include "../runnable_acl.h"
#include "../text.h"
#include "file_reads.h"
#include "unique_handles.h"
#include "windows_api.h"
// After windows.h, which it needs.
#include <aclapi.h>

namespace usqz::platform {

namespace {

using win32::fromWide;
using win32::nullIfInvalid;
using win32::UniqueFindHandle;
using win32::UniqueKernelHandle;
using win32::WideZ;

OsError okOr(BOOL succeeded, DWORD error) { return succeeded ? kOk : error; }

// A name that is a link to a file exists when the file behind it can be
// opened for reading, or is held open by someone who shares no access.
bool linkedFileExists(const WideZ& name) {
  UniqueKernelHandle file(
      nullIfInvalid(CreateFileW(name.get(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)));
  const DWORD error = GetLastError();
  return file != nullptr || error == ERROR_SHARING_VIOLATION;
}

// When the attributes cannot be read (a file held open without sharing, for
// one), a directory listing can still show the entry.
bool searchFindsFile(const WideZ& name) {
  WIN32_FIND_DATAW entry;
  UniqueFindHandle search(nullIfInvalid(FindFirstFileW(name.get(), &entry)));
  return search != nullptr && (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::u16string fullPathName(std::u16string_view path) {
  const WideZ source(path);
  const DWORD needed = GetFullPathNameW(source.get(), 0, nullptr, nullptr);
  if (needed == 0) return std::u16string(path);
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(source.get(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return std::u16string(path);
  return fromWide(full.data(), length);
}

// What the system resolves an existing file or folder to, with every link
// followed; nothing when it cannot be opened.
std::optional<std::u16string> resolved(std::u16string_view path) {
  UniqueKernelHandle file(nullIfInvalid(CreateFileW(WideZ(path).get(), FILE_READ_ATTRIBUTES,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
  if (!file) return std::nullopt;
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(file.get(), name.data(), static_cast<DWORD>(name.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return std::nullopt;
    if (length < name.size()) return fromWide(name.data(), length);
    name.resize(length + 1);
  }
}

// The numbers the portable trimming uses are Windows' own.
static_assert(acl::kAllowed == ACCESS_ALLOWED_ACE_TYPE && acl::kDenied == ACCESS_DENIED_ACE_TYPE);
static_assert(acl::kDeniedObject == ACCESS_DENIED_OBJECT_ACE_TYPE &&
              acl::kDeniedCallback == ACCESS_DENIED_CALLBACK_ACE_TYPE &&
              acl::kDeniedCallbackObject == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE);
static_assert(acl::kObjectInherit == OBJECT_INHERIT_ACE && acl::kContainerInherit == CONTAINER_INHERIT_ACE &&
              acl::kNoPropagate == NO_PROPAGATE_INHERIT_ACE && acl::kInheritOnly == INHERIT_ONLY_ACE &&
              acl::kInherited == INHERITED_ACE);
static_assert(acl::kGenericRead == GENERIC_READ && acl::kGenericWrite == GENERIC_WRITE &&
              acl::kGenericExecute == GENERIC_EXECUTE && acl::kGenericAll == GENERIC_ALL);
static_assert(acl::kFileGenericRead == FILE_GENERIC_READ && acl::kFileGenericWrite == FILE_GENERIC_WRITE &&
              acl::kFileGenericExecute == FILE_GENERIC_EXECUTE && acl::kFileAllAccess == FILE_ALL_ACCESS);
static_assert(acl::kChangeFile == (FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA |
                                   FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL));

constexpr wchar_t kTrustedInstallerSid[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

struct LocalFreer {
  void operator()(void* memory) const noexcept { LocalFree(memory); }
};

using Sid = std::vector<BYTE>;

Sid wellKnownSid(WELL_KNOWN_SID_TYPE type) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(sid);
  if (!CreateWellKnownSid(type, nullptr, sid, &size)) return {};
  return Sid(sid, sid + size);
}

Sid sidFromText(const wchar_t* text) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(text, &sid)) return {};
  const std::unique_ptr<void, LocalFreer> owned(sid);
  const auto* bytes = static_cast<const BYTE*>(sid);
  return Sid(bytes, bytes + GetLengthSid(sid));
}

bool sameSid(const Sid& known, PSID sid) {
  return !known.empty() && EqualSid(const_cast<BYTE*>(known.data()), sid) != FALSE;
}

// The access list a new runnable file gets, and whether it inherits from
// its folder.
struct RunnableRights {
  DWORD error = ERROR_SUCCESS;
  acl::RunnableAcl list;
};

// Reads the lists the copy's rights come from; runnableAcl decides them.
class RightsBuilder {
 public:
  RightsBuilder()
      : system_(wellKnownSid(WinLocalSystemSid)),
        administrators_(wellKnownSid(WinBuiltinAdministratorsSid)),
        installer_(sidFromText(kTrustedInstallerSid)),
        creatorOwner_(wellKnownSid(WinCreatorOwnerSid)),
        creatorGroup_(wellKnownSid(WinCreatorGroupSid)) {}

  const Sid& administrators() const { return administrators_; }

  RunnableRights rightsFor(const std::u16string& name, std::u16string_view model) const {
    std::optional<acl::Dacl> modelDacl;
    UniqueKernelHandle file(nullIfInvalid(CreateFileW(WideZ(model).get(), READ_CONTROL,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
    const DWORD openError = GetLastError();
    if (file) {
      modelDacl.emplace();
      if (const DWORD error = daclOf(file.get(), *modelDacl)) return {error, {}};
    } else if (openError != ERROR_FILE_NOT_FOUND && openError != ERROR_PATH_NOT_FOUND) {
      return {openError, {}};
    }
    std::optional<acl::Dacl> folderDacl;
    if (acl::needsFolder(modelDacl)) {
      folderDacl.emplace();
      if (const DWORD error = folderDaclOf(name, *folderDacl)) return {error, {}};
    }
    return {ERROR_SUCCESS, acl::runnableAcl(modelDacl, folderDacl, {administrators_, wellKnownSid(WinWorldSid)})};
  }

 private:
  acl::Who whoIs(PSID sid) const {
    if (sameSid(system_, sid) || sameSid(administrators_, sid) || sameSid(installer_, sid)) return acl::Who::MayChange;
    if (sameSid(creatorOwner_, sid)) return acl::Who::CreatorOwner;
    if (sameSid(creatorGroup_, sid)) return acl::Who::CreatorGroup;
    return acl::Who::Anyone;
  }

  // The list of the object open at `object`, as the trimming reads it.
  DWORD daclOf(HANDLE object, acl::Dacl& read) const {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetSecurityInfo(object, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                        nullptr, &descriptor);
    if (error != ERROR_SUCCESS) return error;
    const std::unique_ptr<void, LocalFreer> owned(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(descriptor, &control, &revision)) return GetLastError();
    read.isProtected = (control & SE_DACL_PROTECTED) != 0;
    read.present = dacl != nullptr;
    if (dacl == nullptr) return ERROR_SUCCESS;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
      void* ace = nullptr;
      // An entry left unread could be a deny: the list is not known.
      if (!GetAce(dacl, i, &ace)) return GetLastError();
      const auto* header = static_cast<const ACE_HEADER*>(ace);
      acl::Ace entry;
      entry.type = header->AceType;
      entry.flags = header->AceFlags;
      if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        const auto* bytes = static_cast<const BYTE*>(sid);
        entry.sid.assign(bytes, bytes + GetLengthSid(sid));
        entry.mask = allowed->Mask;
        entry.who = whoIs(sid);
      } else {
        const auto* bytes = static_cast<const BYTE*>(ace);
        entry.raw.assign(bytes, bytes + header->AceSize);
      }
      read.entries.push_back(std::move(entry));
    }
    return ERROR_SUCCESS;
  }

  // The list of the folder `name` lies in.
  DWORD folderDaclOf(const std::u16string& name, acl::Dacl& read) const {
    const WideZ path(name);
    wchar_t* leaf = nullptr;
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(path.get(), static_cast<DWORD>(full.size()), full.data(), &leaf);
    if (length >= full.size()) {
      full.resize(length + 1);
      length = GetFullPathNameW(path.get(), static_cast<DWORD>(full.size()), full.data(), &leaf);
    }
    if (length == 0 || leaf == nullptr) return GetLastError() != 0 ? GetLastError() : ERROR_INVALID_NAME;
    const std::wstring folderName(full.data(), static_cast<std::size_t>(leaf - full.data()));
    UniqueKernelHandle folder(nullIfInvalid(CreateFileW(folderName.c_str(), READ_CONTROL,
                                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
    const DWORD openError = GetLastError();
    if (!folder) return openError;
    return daclOf(folder.get(), read);
  }

  Sid system_;
  Sid administrators_;
  Sid installer_;
  Sid creatorOwner_;
  Sid creatorGroup_;
};

// The entries as an access list, in the order given.
std::vector<BYTE> aclOf(const std::vector<acl::Ace>& entries) {
  DWORD size = sizeof(ACL);
  for (const auto& entry : entries) {
    size += entry.raw.empty() ? static_cast<DWORD>(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + entry.sid.size())
                              : static_cast<DWORD>(entry.raw.size());
  }
  size = (size + sizeof(DWORD) - 1) & ~static_cast<DWORD>(sizeof(DWORD) - 1);
  std::vector<BYTE> buffer(size);
  auto* list = reinterpret_cast<PACL>(buffer.data());
  if (!InitializeAcl(list, size, ACL_REVISION_DS)) return {};
  for (const auto& entry : entries) {
    BOOL added = FALSE;
    auto* sid = const_cast<BYTE*>(entry.sid.data());
    if (!entry.raw.empty()) {
      added = AddAce(list, ACL_REVISION_DS, MAXDWORD, const_cast<BYTE*>(entry.raw.data()),
                     static_cast<DWORD>(entry.raw.size()));
    } else if (entry.type == ACCESS_ALLOWED_ACE_TYPE) {
      added = AddAccessAllowedAceEx(list, ACL_REVISION_DS, entry.flags, entry.mask, sid);
    } else {
      added = AddAccessDeniedAceEx(list, ACL_REVISION_DS, entry.flags, entry.mask, sid);
    }
    if (!added) return {};
  }
  return buffer;
}

class Win32FileAndProcess final : public FileAndProcess {
 public:
  CommandLine commandLine() override {
    const wchar_t* line = GetCommandLineW();
    CommandLine result;
    result.whole = fromWide(line, wcslen(line));
    return result;
  }

  // A path that fills the whole buffer has been cut: the buffer grows until
  // the path and its terminator fit.
  std::optional<std::u16string> ownExecutablePath() override {
    constexpr DWORD kLongestPath = 32'768;
    for (DWORD size = MAX_PATH + 1; size <= 2 * kLongestPath; size *= 2) {
      std::wstring path(size, L'\0');
      const DWORD length = GetModuleFileNameW(nullptr, path.data(), size);
      if (length == 0) return std::nullopt;
      if (length < size) return fromWide(path.data(), length);
    }
    return std::nullopt;
  }

  bool fileExists(std::u16string_view name) override {
    const WideZ path(name);
    const DWORD attributes = GetFileAttributesW(path.get());
    const DWORD error = GetLastError();
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME) {
        return false;
      }
      return searchFindsFile(path);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return linkedFileExists(path);
    return true;
  }

  OsError removeFile(std::u16string_view name) override {
    const BOOL removed = DeleteFileW(WideZ(name).get());
    return okOr(removed, GetLastError());
  }

  OsError moveNoReplace(std::u16string_view from, std::u16string_view to) override {
    // Without MOVEFILE_REPLACE_EXISTING an existing target is never
    // replaced; write-through puts the rename on disk before the run reports
    // it, so a power loss right after a success cannot undo it.
    const BOOL moved = MoveFileExW(WideZ(from).get(), WideZ(to).get(), MOVEFILE_WRITE_THROUGH);
    return okOr(moved, GetLastError());
  }

  FileHead readFileHead(std::u16string_view name, std::size_t maxBytes) override {
    // Sharing read (and delete) only: an open by a writer fails this one.
    UniqueKernelHandle file(nullIfInvalid(CreateFileW(WideZ(name).get(), GENERIC_READ,
                                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                                      FILE_ATTRIBUTE_NORMAL, nullptr)));
    const DWORD error = GetLastError();
    if (!file) {
      FileHead head;
      head.error = error;
      return head;
    }
    return win32::readHeadOf(file.get(), maxBytes);
  }

  OsError probeDeletable(std::u16string_view name) override {
    const WideZ path(name);
    const DWORD attributes = GetFileAttributesW(path.get());
    const DWORD error = GetLastError();
    if (attributes == INVALID_FILE_ATTRIBUTES) return error;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ERROR_DIRECTORY;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return ERROR_ACCESS_DENIED;
    // The right to delete, sharing everything: refused while another process
    // holds the file without sharing its deletion, or where the folder
    // forbids it.
    UniqueKernelHandle file(nullIfInvalid(CreateFileW(path.get(), DELETE,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
    const DWORD openError = GetLastError();
    return file ? kOk : openError;
  }

  OsError probeMovable(std::u16string_view name) override {
    // A rename needs the right to delete, and a holder that shares it.
    UniqueKernelHandle file(nullIfInvalid(CreateFileW(WideZ(name).get(), DELETE,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
    const DWORD error = GetLastError();
    return file ? kOk : error;
  }

  FileOpenResult openToActivate(std::u16string_view name) override {
    const HANDLE file = CreateFileW(WideZ(name).get(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = GetLastError();
    if (file == INVALID_HANDLE_VALUE) return {{}, error};
    return {FileHandle(reinterpret_cast<std::uintptr_t>(file)), kOk};
  }

  FileOpenResult openToRead(std::u16string_view name) override {
    const HANDLE file = CreateFileW(WideZ(name).get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = GetLastError();
    if (file == INVALID_HANDLE_VALUE) return {{}, error};
    return {FileHandle(reinterpret_cast<std::uintptr_t>(file)), kOk};
  }

  FileHead readHead(FileHandle file, std::size_t maxBytes) override {
    return win32::readHeadOf(reinterpret_cast<HANDLE>(file.value()), maxBytes);
  }

  FileHead readAt(FileHandle file, std::uint64_t offset, std::size_t maxBytes) override {
    const auto handle = reinterpret_cast<HANDLE>(file.value());
    FileHead head;
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(handle, at, nullptr, FILE_BEGIN)) {
      head.error = GetLastError();
      return head;
    }
    head.bytes.resize(maxBytes);
    std::size_t filled = 0;
    while (filled < maxBytes) {
      DWORD read = 0;
      const BOOL ok = ReadFile(handle, head.bytes.data() + filled, static_cast<DWORD>(maxBytes - filled), &read, nullptr);
      const DWORD error = GetLastError();
      if (!ok) {
        head.error = error;
        break;
      }
      if (read == 0) break;
      filled += read;
    }
    head.bytes.resize(filled);
    return head;
  }

  OsError renameOpenFile(FileHandle file, std::u16string_view to) override {
    // FILE_RENAME_INFO ends in the new name; ReplaceIfExists stays FALSE.
    const std::size_t nameBytes = to.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::copy(to.begin(), to.end(), reinterpret_cast<char16_t*>(info->FileName));
    const BOOL renamed = SetFileInformationByHandle(reinterpret_cast<HANDLE>(file.value()), FileRenameInfo, info,
                                                    static_cast<DWORD>(buffer.size()));
    return okOr(renamed, GetLastError());
  }

  OsError replaceFile(std::u16string_view from, std::u16string_view to) override {
    const BOOL moved =
        MoveFileExW(WideZ(from).get(), WideZ(to).get(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    return okOr(moved, GetLastError());
  }

  FileIdentityResult fileIdentity(std::u16string_view name) override {
    // No access to the contents is asked for, and everything is shared: a
    // file held by anyone can still be told apart.
    UniqueKernelHandle file(nullIfInvalid(CreateFileW(WideZ(name).get(), FILE_READ_ATTRIBUTES,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
    const DWORD error = GetLastError();
    if (!file) return {{}, error};
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.get(), &info)) return {{}, GetLastError()};
    FileIdentity identity;
    identity.volume = info.dwVolumeSerialNumber;
    identity.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    identity.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    identity.lastWrite =
        (std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
    return {identity, kOk};
  }

  std::u16string expandEnvironment(std::u16string_view text) override {
    const WideZ source(text);
    std::wstring expanded(static_cast<std::size_t>(text.size()) + 64, L'\0');
    for (;;) {
      const DWORD needed = ExpandEnvironmentStringsW(source.get(), expanded.data(), static_cast<DWORD>(expanded.size()));
      if (needed == 0) return std::u16string(text);
      if (needed <= expanded.size()) return fromWide(expanded.data(), needed - 1);
      expanded.resize(needed);
    }
  }

  std::u16string comparablePath(std::u16string_view path) override {
    std::u16string full = fullPathName(path);
    const WideZ fullZ(full);
    const DWORD needed = GetLongPathNameW(fullZ.get(), nullptr, 0);
    if (needed != 0) {
      std::wstring longer(needed, L'\0');
      const DWORD length = GetLongPathNameW(fullZ.get(), longer.data(), needed);
      if (length != 0 && length < needed) full = fromWide(longer.data(), length);
    }
    return upperCase(full);
  }

  std::u16string finalPath(std::u16string_view path) override {
    if (const auto whole = resolved(path)) return *whole;
    const auto folder = directoryOf(path);
    if (folder.empty()) return std::u16string(path);
    if (const auto resolvedFolder = resolved(folder)) {
      auto joined = *resolvedFolder;
      if (joined.back() != u'\\') joined += u'\\';
      return joined + std::u16string(path.substr(folder.size()));
    }
    return std::u16string(path);
  }

  // IsWow64Process2 tells the native machine even to a 32-bit process on
  // 64-bit Windows; it came with Windows 10 1511, so it is looked up.
  std::vector<std::uint16_t> runnableMachines() override {
    using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    USHORT native = IMAGE_FILE_MACHINE_UNKNOWN;
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto isWow64Process2 =
        kernel != nullptr ? reinterpret_cast<IsWow64Process2Fn>(
                                reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process2")))
                          : nullptr;
    USHORT process = IMAGE_FILE_MACHINE_UNKNOWN;
    if (isWow64Process2 == nullptr || !isWow64Process2(GetCurrentProcess(), &process, &native)) {
      SYSTEM_INFO info{};
      GetNativeSystemInfo(&info);
      switch (info.wProcessorArchitecture) {
        case PROCESSOR_ARCHITECTURE_AMD64: native = IMAGE_FILE_MACHINE_AMD64; break;
        case PROCESSOR_ARCHITECTURE_INTEL: native = IMAGE_FILE_MACHINE_I386; break;
        case PROCESSOR_ARCHITECTURE_ARM64: native = 0xAA64; break;
        default: native = IMAGE_FILE_MACHINE_UNKNOWN; break;
      }
    }
    switch (native) {
      case IMAGE_FILE_MACHINE_AMD64: return {IMAGE_FILE_MACHINE_AMD64, IMAGE_FILE_MACHINE_I386};
      case IMAGE_FILE_MACHINE_I386: return {IMAGE_FILE_MACHINE_I386};
      case 0xAA64: return {0xAA64, IMAGE_FILE_MACHINE_AMD64, IMAGE_FILE_MACHINE_I386};
      default: return {};
    }
  }

  std::u16string systemDirectory() override {
    wchar_t folder[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return u"C:\\Windows\\System32";
    return fromWide(folder, length);
  }

  std::u16string upperCase(std::u16string_view text) override {
    if (text.empty()) return {};
    const auto source = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    std::wstring upper(text.size(), L'\0');
    const int mapped = LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, source, length, upper.data(), length);
    if (mapped <= 0) return std::u16string(text);
    return fromWide(upper.data(), static_cast<std::size_t>(mapped));
  }

  FileOpenResult createNewFile(std::u16string_view name) override {
    // CREATE_NEW fails on anything at the name, a link included; no
    // security given: the folder's inherited rights, as for any file.
    const HANDLE file = CreateFileW(WideZ(name).get(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const DWORD error = GetLastError();
    if (file == INVALID_HANDLE_VALUE) return {{}, error == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : error};
    return {FileHandle(reinterpret_cast<std::uintptr_t>(file)), kOk};
  }

  FileOpenResult createPrivateFile(std::u16string_view name) override {
    // Owned by Administrators, full control for SYSTEM and Administrators
    // alone, nothing inherited. A token that may not name Administrators as
    // owner (not elevated) keeps its own account as owner, with full
    // control through OW.
    FileOpenResult created = createWith(name, L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)");
    if (created.error == ERROR_INVALID_OWNER) created = createWith(name, L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;OW)");
    return created;
  }

  FileOpenResult createRunnableFile(std::u16string_view name, std::u16string_view model) override {
    RightsBuilder builder;
    const auto rights = builder.rightsFor(std::u16string(name), model);
    if (rights.error != ERROR_SUCCESS) return {{}, rights.error};
    auto list = aclOf(rights.list.entries);
    if (list.empty()) return {{}, ERROR_INVALID_ACL};
    // Private while it is written; its rights once it exists, through the
    // handle that made it, so that nothing else is ever given them.
    constexpr DWORD kAccess = GENERIC_WRITE | READ_CONTROL | WRITE_DAC | WRITE_OWNER;
    FileOpenResult created = createWith(name, L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)", kAccess);
    if (created.error == ERROR_INVALID_OWNER) {
      created = createWith(name, L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;OW)", kAccess);
    }
    if (created.error != kOk) return created;
    const auto handle = reinterpret_cast<HANDLE>(created.handle.value());
    const SECURITY_INFORMATION inheritance =
        rights.list.isProtected ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION;
    auto* dacl = reinterpret_cast<PACL>(list.data());
    DWORD error = SetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | inheritance,
                                  const_cast<BYTE*>(builder.administrators().data()), nullptr, dacl, nullptr);
    // A token that may not name Administrators as owner keeps its own.
    if (error == ERROR_INVALID_OWNER) {
      error = SetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | inheritance, nullptr, nullptr, dacl,
                              nullptr);
    }
    if (error != ERROR_SUCCESS) {
      CloseHandle(handle);
      DeleteFileW(WideZ(name).get());
      return {{}, error};
    }
    return created;
  }

  OsError clearReadOnly(std::u16string_view name) override {
    // Through a handle on the name itself, never a link's target.
    UniqueKernelHandle file(nullIfInvalid(CreateFileW(WideZ(name).get(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
    const DWORD openError = GetLastError();
    if (!file) return openError;
    FILE_BASIC_INFO info{};
    if (!GetFileInformationByHandleEx(file.get(), FileBasicInfo, &info, sizeof(info))) return GetLastError();
    if ((info.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) return kOk;
    info.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    // Times of zero stay as they are.
    info.CreationTime.QuadPart = 0;
    info.LastAccessTime.QuadPart = 0;
    info.LastWriteTime.QuadPart = 0;
    info.ChangeTime.QuadPart = 0;
    const BOOL set = SetFileInformationByHandle(file.get(), FileBasicInfo, &info, sizeof(info));
    return okOr(set, GetLastError());
  }

  static FileOpenResult createWith(std::u16string_view name, const wchar_t* sddl, DWORD access = GENERIC_WRITE) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
      return {{}, GetLastError()};
    }
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    // CREATE_NEW fails on anything at the name, a link included, so that
    // nothing is ever written through one.
    const HANDLE file = CreateFileW(WideZ(name).get(), access, 0, &attributes, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    if (file == INVALID_HANDLE_VALUE) return {{}, error == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : error};
    return {FileHandle(reinterpret_cast<std::uintptr_t>(file)), kOk};
  }

  OsError writeBytes(FileHandle file, std::string_view bytes) override {
    return writeAll(reinterpret_cast<HANDLE>(file.value()), bytes);
  }

  OsError flushFile(FileHandle file) override {
    const BOOL flushed = FlushFileBuffers(reinterpret_cast<HANDLE>(file.value()));
    return okOr(flushed, GetLastError());
  }

  OsError closeFile(FileHandle file) override {
    const BOOL closed = CloseHandle(reinterpret_cast<HANDLE>(file.value()));
    return okOr(closed, GetLastError());
  }

  StdoutOpenResult openStdout() override {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) return {105, false};
    const DWORD type = GetFileType(output);
    const DWORD error = GetLastError();
    if (type == FILE_TYPE_UNKNOWN && error != NO_ERROR) return {105, false};
    stdout_ = output;
    return {kOk, type == FILE_TYPE_CHAR};
  }

  OsError writeStdout(std::string_view bytes) override { return writeAll(stdout_, bytes); }

  OsError writeStderr(std::string_view bytes) override {
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    return writeAll(error, bytes);
  }

  std::string toNarrow(std::u16string_view text, CodePage codePage) override {
    if (text.empty()) return {};
    const UINT cp = codePage == CodePage::ConsoleOutput ? GetConsoleOutputCP()
                    : codePage == CodePage::Oem         ? CP_OEMCP
                                                        : CP_ACP;
    const auto source = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(cp, 0, source, length, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) WideCharToMultiByte(cp, 0, source, length, narrow.data(), size, nullptr, nullptr);
    return narrow;
  }

 private:
  static OsError writeAll(HANDLE handle, std::string_view bytes) {
    while (!bytes.empty()) {
      DWORD written = 0;
      const BOOL wrote = WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
      const DWORD error = GetLastError();
      if (!wrote) return error;
      if (written == 0) return ERROR_WRITE_FAULT;
      bytes.remove_prefix(written);
    }
    return kOk;
  }

  HANDLE stdout_ = nullptr;
};

}  // namespace

void hardenProcess() {
  // Windows 7 has it only with KB2533623: looked up, not imported.
  using SetDefaultDirectories = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return;
  const auto set = reinterpret_cast<SetDefaultDirectories>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (set != nullptr) set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

std::unique_ptr<FileAndProcess> makeNativeFileAndProcess(int, char*[]) {
  return std::make_unique<Win32FileAndProcess>();
}

}  // namespace usqz::platform
