// The Application event log for tests: the registration and every event
// kept as given, with failures to script.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/event_log.h"

namespace usqz::platform::fake {

class FakeEventLog final : public EventLog {
 public:
  struct Event {
    std::u16string source;
    EventType type;
    std::uint32_t id;
    std::vector<std::u16string> strings;
  };

  std::u16string computerName() override { return computerName_; }
  SourceRegistration registerSource(std::u16string_view source, std::u16string_view messageFile) override {
    if (registerError_ != kOk) return {SourceRegistration::Kind::Failed, registerError_};
    const bool added = sources_.emplace(std::u16string(source), std::u16string(messageFile)).second;
    return {added ? SourceRegistration::Kind::Registered : SourceRegistration::Kind::AlreadyRegistered, kOk};
  }
  OsError report(std::u16string_view source, EventType type, std::uint32_t eventId,
                 const std::vector<std::u16string>& strings) override {
    if (reportError_ != kOk) return reportError_;
    events_.push_back({std::u16string(source), type, eventId, strings});
    return kOk;
  }

  void setComputerName(std::u16string name) { computerName_ = std::move(name); }
  void failRegistration(OsError error) { registerError_ = error; }
  void failReports(OsError error) { reportError_ = error; }
  const std::vector<Event>& events() const { return events_; }
  const std::map<std::u16string, std::u16string>& sources() const { return sources_; }

 private:
  std::u16string computerName_ = u"QZHOST01";
  OsError registerError_ = kOk;
  OsError reportError_ = kOk;
  std::vector<Event> events_;
  std::map<std::u16string, std::u16string> sources_;
};

}  // namespace usqz::platform::fake
