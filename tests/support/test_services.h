// Services that tests register with the real manager, and their removal
// whatever the test's outcome. Windows only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace usqz::testing {

struct ServiceConfig {
  std::u16string binaryPath;
  std::u16string account;
  std::uint32_t serviceType = 0;
  std::uint32_t startType = 0;
};

// Reads a service's registration; fails the test when it cannot.
ServiceConfig queryServiceConfig(const std::u16string& name);
// The current state, or 0 when the service cannot be queried.
std::uint32_t queryServiceState(const std::u16string& name);

// Registers an own-process service for `executable` (quoted), as an
// installer would, and starts it when asked, waiting until it runs.
void installService(const std::u16string& name, const std::u16string& executable, bool start,
                    const std::u16string& dependsOn = {});
// Sets the start type to disabled, as an administrator would.
void disableService(const std::u16string& name);
// Sends the stop control and returns without waiting.
void requestStop(const std::u16string& name);

// Ends the service at once (the test service's exit control), waits until it
// has stopped and deletes it. Unknown names are ignored.
void removeService(const std::u16string& name);

// A name no service has, unique to this process; removed again at the end.
class ServiceNames {
 public:
  ServiceNames() = default;
  ServiceNames(const ServiceNames&) = delete;
  ServiceNames& operator=(const ServiceNames&) = delete;
  ~ServiceNames();
  std::u16string make(const std::u16string& prefix);
  // Removes a name's service now, as the destructor would.
  void remove(const std::u16string& name);

 private:
  std::vector<std::u16string> names_;
};

// The test service's exit control: stops at once whatever it was told.
inline constexpr std::uint32_t kTestServiceExitNow = 200;

}  // namespace usqz::testing
