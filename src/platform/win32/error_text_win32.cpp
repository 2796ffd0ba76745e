// The system's message table, asked through FormatMessageW.
#include <memory>

#include "../native.h"
#include "windows_api.h"

namespace usqz::platform {

namespace {

using win32::fromWide;

struct LocalFreer {
  void operator()(wchar_t* text) const noexcept { LocalFree(text); }
};

class Win32ErrorTexts final : public ErrorTexts {
 public:
  std::u16string describe(OsError code) override {
    wchar_t* buffer = nullptr;
    // MAX_WIDTH_MASK: the message table's own line breaks become blanks; any
    // hard break left is taken out by oneLineSystemMessage.
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    const std::unique_ptr<wchar_t, LocalFreer> owner(buffer);
    if (length == 0 || buffer == nullptr) return {};
    return oneLineSystemMessage(fromWide(buffer, length));
  }
};

}  // namespace

std::unique_ptr<ErrorTexts> makeNativeErrorTexts() { return std::make_unique<Win32ErrorTexts>(); }

}  // namespace usqz::platform
