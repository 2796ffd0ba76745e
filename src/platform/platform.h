// Everything the tool asks of the platform, one interface per concern,
// handed to the core together.
#pragma once

#include "clock.h"
#include "error_text.h"
#include "event_log.h"
#include "file_and_process.h"
#include "file_security.h"
#include "health_probes.h"
#include "interrupts.h"
#include "locks.h"
#include "processes.h"
#include "service_control.h"
#include "trust.h"

namespace usqz::platform {

struct Platform {
  FileAndProcess& files;
  Clock& clock;
  Processes& processes;
  Locks& locks;
  Interrupts& interrupts;
  ServiceControl& services;
  ErrorTexts& texts;
  Trust& trust;
  HealthProbes& probes;
  FileSecurity& security;
  EventLog& events;
};

}  // namespace usqz::platform
