// POSIX systems have no Application event log: the machine's name is
// told, an event is not.
#include <unistd.h>

#include "../native.h"
#include "../text.h"

namespace usqz::platform {

namespace {

constexpr OsError kNotSupported = 50;  // as Windows' ERROR_NOT_SUPPORTED

class PosixEventLog final : public EventLog {
 public:
  std::u16string computerName() override {
    char name[256] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0) return {};
    return fromUtf8(name);
  }
  SourceRegistration registerSource(std::u16string_view, std::u16string_view) override {
    return {SourceRegistration::Kind::Failed, kNotSupported};
  }
  OsError report(std::u16string_view, EventType, std::uint32_t, const std::vector<std::u16string>&) override {
    return kNotSupported;
  }
};

}  // namespace

std::unique_ptr<EventLog> makeNativeEventLog() { return std::make_unique<PosixEventLog>(); }

}  // namespace usqz::platform
