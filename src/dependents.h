// The services that depend on the one being updated. Windows refuses to stop
// a service while a dependent runs; asked to (--stop-dependents), the run
// stops them first, in the manager's order, and starts them again, in the
// reverse order, once the service runs again. Without the option, active
// dependents make the run refuse before the stop, naming them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "platform/error_text.h"
#include "platform/file_and_process.h"
#include "platform/service_control.h"

namespace usqz {

class Dependents {
 public:
  Dependents(platform::FileAndProcess& os, platform::ServiceControl& services, platform::ErrorTexts& texts,
             Console& console);

  // Before the service's stop request: refuses, or stops the dependents
  // when `stopThem`. A dependent that will not stop is an error naming it,
  // after the ones already stopped have been started again.
  void bringDown(platform::ServiceHandle manager, platform::ServiceHandle service, bool stopThem);

  // Once the service runs again: the stopped dependents, started in the
  // reverse order. Empty when all of them run, else what the result must
  // say. Nothing happens a second time.
  std::u16string bringBack();
  // What the result must say when the service itself stays down: the
  // dependents it took down with it.
  std::u16string leftDown() const;
  // Whether the run leaves a dependent stopped that it found running.
  bool anyLeftDown() const { return !down_.empty(); }

 private:
  // Starts a stopped dependent and waits until it runs; why not, if not.
  std::optional<std::u16string> restart(const std::u16string& name);

  platform::FileAndProcess& os_;
  platform::ServiceControl& services_;
  platform::ErrorTexts& texts_;
  Console& console_;
  platform::ServiceHandle manager_;
  // Stopped by the run and not started again, in the order they stopped.
  std::vector<std::u16string> down_;
};

}  // namespace usqz
