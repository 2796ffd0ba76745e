// What the run asks of a service it works on, and how it tells a service
// that is not registered from one it may not open.
#pragma once

#include "platform/service_control.h"

namespace usqz {

inline constexpr std::uint32_t kServiceRights = platform::kServiceQueryConfig | platform::kServiceQueryStatus |
                                                platform::kServiceEnumerateDependents | platform::kServiceStart |
                                                platform::kServiceStop;

// The manager's word that no service has the name: "does not exist", or a
// name it could never have registered.
inline bool notRegistered(platform::OsError error) {
  return error == platform::kErrorServiceDoesNotExist || error == platform::kErrorInvalidName;
}

}  // namespace usqz
