// POSIX builds run no services: health probes report that they cannot be
// made, and a run that asks for them is rolled back as unhealthy.
#include "../native.h"

namespace usqz::platform {

namespace {

class UnavailableHealthProbes final : public HealthProbes {
 public:
  ProbeAnswer httpGet(std::u16string_view, std::uint32_t) override { return unavailable(); }
  ProbeAnswer tcpConnect(std::u16string_view, std::uint16_t, std::uint32_t) override { return unavailable(); }
  ProbeAnswer runCommand(std::u16string_view, std::u16string_view, std::uint32_t) override { return unavailable(); }

 private:
  static ProbeAnswer unavailable() { return {ProbeAnswer::Kind::Refused, 0, kErrorCallNotImplemented, {}, {}}; }
};

}  // namespace

std::unique_ptr<HealthProbes> makeNativeHealthProbes() { return std::make_unique<UnavailableHealthProbes>(); }

}  // namespace usqz::platform
