// The Application event log through advapi32: the source's registration is
// a registry key naming the executable whose message table Event Viewer
// reads, and each event is one ReportEventW. Nothing here is loaded beyond
// advapi32, which the tool imports already.
#include <vector>

#include "../native.h"
#include "unique_handles.h"
#include "windows_api.h"

namespace usqz::platform {

namespace {

using win32::fromWide;
using win32::WideZ;

constexpr std::u16string_view kSourcesKey = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

class Win32EventLog final : public EventLog {
 public:
  std::u16string computerName() override {
    wchar_t name[256];
    DWORD size = 256;
    if (GetComputerNameExW(ComputerNameDnsHostname, name, &size) && size > 0) return fromWide(name, size);
    size = 256;
    if (GetComputerNameW(name, &size)) return fromWide(name, size);
    return {};
  }

  SourceRegistration registerSource(std::u16string_view source, std::u16string_view messageFile) override {
    const WideZ path(std::u16string(kSourcesKey) + std::u16string(source));
    HKEY raw = nullptr;
    const LSTATUS opened = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.get(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &raw, nullptr);
    if (opened != ERROR_SUCCESS) return {SourceRegistration::Kind::Failed, static_cast<OsError>(opened)};
    const win32::UniqueRegKey key(raw);
    // One registered already (by an installer, or a copy of the tool kept
    // elsewhere) is the administrator's: left as it is.
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), L"EventMessageFile", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
      return {SourceRegistration::Kind::AlreadyRegistered, kOk};
    }
    const std::u16string file(messageFile);
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    LSTATUS written = RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                                     reinterpret_cast<const BYTE*>(file.c_str()),
                                     static_cast<DWORD>((file.size() + 1) * sizeof(char16_t)));
    if (written == ERROR_SUCCESS) {
      written = RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                               sizeof(types));
    }
    if (written != ERROR_SUCCESS) return {SourceRegistration::Kind::Failed, static_cast<OsError>(written)};
    return {SourceRegistration::Kind::Registered, kOk};
  }

  OsError report(std::u16string_view source, EventType type, std::uint32_t eventId,
                 const std::vector<std::u16string>& strings) override {
    const win32::UniqueEventSource handle(RegisterEventSourceW(nullptr, WideZ(source).get()));
    if (!handle) return GetLastError();
    std::vector<const wchar_t*> texts;
    for (const auto& text : strings) texts.push_back(reinterpret_cast<const wchar_t*>(text.c_str()));
    const WORD kind = type == EventType::Error     ? EVENTLOG_ERROR_TYPE
                      : type == EventType::Warning ? EVENTLOG_WARNING_TYPE
                                                   : EVENTLOG_INFORMATION_TYPE;
    if (!ReportEventW(handle.get(), kind, 0, eventId, nullptr, static_cast<WORD>(texts.size()), 0,
                      texts.empty() ? nullptr : texts.data(), nullptr)) {
      return GetLastError();
    }
    return kOk;
  }
};

}  // namespace

std::unique_ptr<EventLog> makeNativeEventLog() { return std::make_unique<Win32EventLog>(); }

}  // namespace usqz::platform
