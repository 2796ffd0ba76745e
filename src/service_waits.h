// Waiting on a service the run controls: for it to stop, to start, and for
// its process to be gone. Every wait is bounded, polls the manager as the
// source of truth, and takes a service whose process has exited for stopped,
// whatever the manager says (Wine's, for one, goes on reporting a service
// whose process exited without a word as running).
#pragma once

#include <cstdint>

#include "platform/error_text.h"
#include "platform/file_and_process.h"
#include "platform/service_control.h"

namespace usqz {

class ServiceWaits {
 public:
  ServiceWaits(platform::FileAndProcess& os, platform::ServiceControl& services, platform::ErrorTexts& texts);

  void attach(platform::ServiceHandle service) { service_ = service; }

  // The status and process now; a failed query is the run's error.
  platform::ServiceStatus queryOrFail();
  // The same, false when the query failed.
  bool query(platform::ServiceStatus& status);

  // Passes of: query, pause, check, until the service reports stopped or its
  // process is gone. A failed query ends the wait quietly; no progress for
  // too long, or the whole limit, is an error.
  void waitForStop(platform::ServiceStatus& status);
  // While the service reports start-pending; an error at the bound.
  void waitWhileStarting(platform::ServiceStatus& status);
  // After a stop: the process the service ran in, gone (bounded).
  void waitForProcessExit();
  // Ends the process the service last ran in (waitForProcessExit then
  // waits for it to be gone).
  void endProcess();
  // Whether the process the service last ran in is still there.
  bool processAlive();

  // A start request, tried again while the process of the last run is still
  // on its way out (the manager refuses the start as "already running").
  platform::OsError startRetrying();
  // After a start request: waits out start-pending, then watches the
  // service for a moment; an error unless it still runs at the end.
  void confirmStart();

 private:
  platform::FileAndProcess& os_;
  platform::ServiceControl& services_;
  platform::ErrorTexts& texts_;
  platform::ServiceHandle service_;
  // The process the service last ran in, as the manager reported it.
  std::uint32_t processId_ = 0;
};

}  // namespace usqz
