// Who may write a file or a folder on Win32: its owner and the entries of
// its access list that grant any right to change it, read through a handle
// opened on the name itself, never through a link.
#include <aclapi.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "../native.h"
#include "file_reads.h"
#include "unique_handles.h"
#include "windows_api.h"

namespace usqz::platform {

namespace {

using win32::fromWide;
using win32::nullIfInvalid;
using win32::UniqueKernelHandle;
using win32::WideZ;

struct LocalFreer {
  void operator()(void* memory) const noexcept { LocalFree(memory); }
};

// Writing, appending, deleting, changing the rights or the owner; for a
// folder the same bits create files and folders in it, and one deletes
// what it holds.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER |
                                      FILE_DELETE_CHILD | GENERIC_WRITE | GENERIC_ALL;

// Deleting or renaming it, changing its rights or its owner.
constexpr ACCESS_MASK kRenameRights = DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
// Deleting or renaming what a folder holds.
constexpr ACCESS_MASK kDeleteChildRights = FILE_DELETE_CHILD | GENERIC_ALL;

constexpr wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

std::vector<unsigned char> sidBytes(PSID sid) {
  const auto* bytes = static_cast<const unsigned char*>(sid);
  return {bytes, bytes + GetLengthSid(sid)};
}

// SYSTEM, Administrators, TrustedInstaller and the account the tool runs as.
std::vector<std::vector<unsigned char>> trustedSids() {
  std::vector<std::vector<unsigned char>> sids;
  for (const auto type : {WinLocalSystemSid, WinBuiltinAdministratorsSid}) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    if (CreateWellKnownSid(type, nullptr, sid, &size)) sids.push_back(sidBytes(sid));
  }
  PSID installer = nullptr;
  if (ConvertStringSidToSidW(kTrustedInstaller, &installer)) {
    sids.push_back(sidBytes(installer));
    LocalFree(installer);
  }
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    const UniqueKernelHandle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
      sids.push_back(sidBytes(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid));
    }
  }
  return sids;
}

bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) { return IsWellKnownSid(sid, type) != FALSE; }

// The path a handle is open on, as the system resolved it; empty when it
// cannot say.
std::wstring finalPathOf(HANDLE handle) {
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return {};
    if (length < name.size()) return name.substr(0, length);
    name.resize(length + 1);
  }
}

// Whether the file opened as `path` is somewhere else: a name whose final
// path is not the name itself (in its folder, resolved) is a link of some
// kind, even one the system does not show as a reparse point (a Unix link
// under Wine, where renaming or deleting the name acts on the target).
bool leadsElsewhere(std::u16string_view path, HANDLE file) {
  const std::wstring opened = finalPathOf(file);
  if (opened.empty()) return false;
  const WideZ name(path);
  wchar_t* leaf = nullptr;
  std::wstring full(MAX_PATH, L'\0');
  DWORD length = GetFullPathNameW(name.get(), static_cast<DWORD>(full.size()), full.data(), &leaf);
  if (length >= full.size()) {
    full.resize(length + 1);
    length = GetFullPathNameW(name.get(), static_cast<DWORD>(full.size()), full.data(), &leaf);
  }
  if (length == 0 || leaf == nullptr) return false;
  const std::wstring fileName(leaf);
  const std::wstring folder(full.data(), static_cast<std::size_t>(leaf - full.data()));
  const UniqueKernelHandle directory(nullIfInvalid(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                                               nullptr)));
  if (!directory) return false;
  std::wstring expected = finalPathOf(directory.get());
  if (expected.empty()) return false;
  if (expected.back() != L'\\') expected += L'\\';
  expected += fileName;
  return CompareStringOrdinal(expected.c_str(), static_cast<int>(expected.size()), opened.c_str(),
                              static_cast<int>(opened.size()), TRUE) != CSTR_EQUAL;
}

// DOMAIN\name, or the SID's text when the account has no name here.
std::u16string accountName(PSID sid) {
  wchar_t name[256];
  wchar_t domain[256];
  DWORD nameSize = 256;
  DWORD domainSize = 256;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
    const auto account = fromWide(name, nameSize);
    return domainSize == 0 ? account : fromWide(domain, domainSize) + u"\\" + account;
  }
  wchar_t* text = nullptr;
  if (ConvertSidToStringSidW(sid, &text)) {
    const std::unique_ptr<void, LocalFreer> owned(text);
    return fromWide(text, wcslen(text));
  }
  return u"?";
}

class Win32FileSecurity final : public FileSecurity {
 public:
  FileFacts inspect(std::u16string_view path) override {
    UniqueKernelHandle file(nullIfInvalid(CreateFileW(WideZ(path).get(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                      OPEN_EXISTING,
                                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                                      nullptr)));
    const DWORD openError = GetLastError();
    return factsOf(path, file.get(), openError);
  }

  InspectedFile inspectAndRead(std::u16string_view path, std::size_t maxBytes) override {
    // Sharing read (and delete) only: a writer's open fails this one, and
    // none can start while it is held.
    UniqueKernelHandle file(nullIfInvalid(CreateFileW(WideZ(path).get(),
                                                      GENERIC_READ | READ_CONTROL | FILE_READ_ATTRIBUTES,
                                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                                      nullptr)));
    const DWORD openError = GetLastError();
    InspectedFile inspected{factsOf(path, file.get(), openError), {}};
    if (inspected.facts.error != kOk || inspected.facts.kind != FileKind::File) return inspected;
    inspected.head = win32::readHeadOf(file.get(), maxBytes);
    return inspected;
  }

 private:
  static FileFacts factsOf(std::u16string_view path, HANDLE file, DWORD openError) {
    FileFacts facts;
    if (file == nullptr) {
      facts.error = openError == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : openError;
      return facts;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) {
      facts.error = GetLastError();
      return facts;
    }
    facts.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? FileKind::Link
                 : (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0  ? FileKind::Directory
                                                                             : FileKind::File;
    if (facts.kind == FileKind::File && leadsElsewhere(path, file)) facts.kind = FileKind::Link;
    facts.links = info.nNumberOfLinks;

    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetSecurityInfo(file, SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                        &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
      facts.error = error;
      return facts;
    }
    const std::unique_ptr<void, LocalFreer> ownedDescriptor(descriptor);
    const auto trusted = trustedSids();
    const auto isTrusted = [&trusted](PSID sid) {
      const auto bytes = sidBytes(sid);
      return std::find(trusted.begin(), trusted.end(), bytes) != trusted.end();
    };
    const bool ownerTrusted = owner != nullptr && isTrusted(owner);
    if (!ownerTrusted) facts.foreignOwner = owner != nullptr ? accountName(owner) : u"?";
    const auto add = [](std::vector<std::u16string>& names, const std::u16string& name) {
      if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    };
    const auto addWriter = [&](const std::u16string& name, ACCESS_MASK mask) {
      add(facts.foreignWriters, name);
      if ((mask & kRenameRights) != 0) add(facts.foreignRenamers, name);
      if ((mask & kDeleteChildRights) != 0) add(facts.foreignChildDeleters, name);
    };
    // No access list at all lets everyone do everything.
    if (dacl == nullptr) {
      addWriter(u"Everyone", GENERIC_ALL);
      return facts;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
      void* entry = nullptr;
      if (!GetAce(dacl, i, &entry)) continue;
      const auto* header = static_cast<const ACE_HEADER*>(entry);
      // Entries that only pass rights on give none here: what they pass on
      // is judged on what receives it.
      if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
      if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) continue;
      const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
      if ((allowed->Mask & kChangeRights) == 0) continue;
      const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
      if (isTrusted(sid)) continue;
      // OWNER RIGHTS is the owner, judged above.
      if (isWellKnown(sid, WinCreatorOwnerRightsSid)) {
        if (ownerTrusted) continue;
      } else if (isWellKnown(sid, WinCreatorOwnerSid) || isWellKnown(sid, WinCreatorGroupSid)) {
        continue;  // placeholders, meaningful only when inherited
      }
      addWriter(accountName(sid), allowed->Mask);
    }
    return facts;
  }
};

}  // namespace

std::unique_ptr<FileSecurity> makeNativeFileSecurity() { return std::make_unique<Win32FileSecurity>(); }

}  // namespace usqz::platform
