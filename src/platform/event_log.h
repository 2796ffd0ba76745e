// Where a run's outcome is told beyond its own files, when asked: the
// machine's name, for a report read on another one, and the Windows
// Application event log, which monitoring already collects. Portable
// header; the Win32 implementation uses advapi32's event log and registry
// functions, the POSIX one has no event log.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "file_and_process.h"

namespace usqz::platform {

enum class EventType { Information, Warning, Error };

// What registering an event source found.
struct SourceRegistration {
  enum class Kind { Registered, AlreadyRegistered, Failed } kind = Kind::Failed;
  OsError error = kOk;  // for Failed
};

class EventLog {
 public:
  virtual ~EventLog() = default;

  // The machine's name (its DNS host name where it has one); empty when
  // the system does not say.
  virtual std::u16string computerName() = 0;
  // Registers `source` in the Application log with the message table of
  // `messageFile`, unless it is registered already (then left as it is).
  virtual SourceRegistration registerSource(std::u16string_view source, std::u16string_view messageFile) = 0;
  // One event: `strings` fill the message's %1, %2, … in turn.
  virtual OsError report(std::u16string_view source, EventType type, std::uint32_t eventId,
                         const std::vector<std::u16string>& strings) = 0;
};

}  // namespace usqz::platform
