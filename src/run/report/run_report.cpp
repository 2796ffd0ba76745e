#include "run/report/run_report.h"

#include "platform/text.h"

namespace usqz {

namespace {

// A JSON string: UTF-8, with what JSON requires escaped and nothing else.
std::string quoted(std::u16string_view text) {
  std::string out = "\"";
  for (const char c : toUtf8(text)) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          const char* digits = "0123456789abcdef";
          out += "\\u00";
          out += digits[(c >> 4) & 0xF];
          out += digits[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string orNull(std::u16string_view text) { return text.empty() ? "null" : quoted(text); }

std::string versionJson(const std::optional<VersionFacts>& facts, const std::string& indent) {
  if (!facts) return "null";
  const auto inner = indent + "  ";
  std::string out = "{\n";
  out += inner + "\"path\": " + quoted(facts->path) + ",\n";
  out += inner + "\"size\": " + std::to_string(facts->size) + ",\n";
  out += inner + "\"sha256\": " + orNull(facts->sha256) + ",\n";
  out += inner + "\"fileVersion\": " + orNull(facts->fileVersion) + ",\n";
  out += inner + "\"signer\": ";
  if (facts->signerSubject.empty()) {
    out += "null\n";
  } else {
    out += "{\"subject\": " + quoted(facts->signerSubject) + ", \"sha256\": " + quoted(facts->signerSha256) + "}\n";
  }
  return out + indent + "}";
}

std::u16string_view actionName(RunAction action) {
  switch (action) {
    case RunAction::Update: return u"update";
    case RunAction::Rollback: return u"rollback";
    case RunAction::Check: break;
  }
  return u"check";
}

}  // namespace

std::int64_t RunReport::nowMs() {
  return startWallMs_ + static_cast<std::int64_t>(clock_.monotonicMilliseconds() - startMonotonic_);
}

void RunReport::begin(RunAction action, std::u16string service, std::u16string host) {
  action_ = action;
  service_ = std::move(service);
  if (!asked_) return;
  host_ = std::move(host);
  startWallMs_ = clock_.wallClockSeconds() * 1000;
  startMonotonic_ = clock_.monotonicMilliseconds();
}

void RunReport::step(std::u16string_view name) {
  if (asked_) steps_.push_back({std::u16string(name), nowMs()});
}

void RunReport::stepAt(std::u16string_view name, std::uint64_t monotonicMs) {
  if (asked_) {
    steps_.push_back({std::u16string(name), startWallMs_ + static_cast<std::int64_t>(monotonicMs - startMonotonic_)});
  }
}

void RunReport::recovery(RecoveryFacts facts) {
  if (asked_) recovery_ = std::move(facts);
}

void RunReport::end(Outcome outcome, int exitStatus) {
  outcome_ = outcome;
  exitStatus_ = exitStatus;
  if (asked_) endWallMs_ = nowMs();
}

std::optional<std::int64_t> RunReport::downtimeMs() const {
  std::optional<std::int64_t> stopped;
  std::optional<std::int64_t> back;
  for (const auto& step : steps_) {
    if (step.name == u"stop-requested" && !stopped) stopped = step.atMs;
    if (step.name == u"running" || step.name == u"rolled-back") back = step.atMs;
  }
  if (!stopped || !back || (outcome_ != Outcome::Updated && outcome_ != Outcome::RolledBack)) return std::nullopt;
  return *back - *stopped;
}

std::u16string RunReport::outcomeName() const {
  switch (outcome_) {
    case Outcome::Updated:
      return action_ == RunAction::Check ? u"check-passed"
             : action_ == RunAction::Rollback ? u"rolled-back-on-demand"
                                              : u"updated";
    case Outcome::NothingToDo: return u"nothing-to-do";
    case Outcome::Unchanged: return u"refused";
    case Outcome::RolledBack: return u"rolled-back";
    case Outcome::Down: return u"down";
    case Outcome::Busy: return u"busy";
    case Outcome::Usage: return u"usage";
    case Outcome::Escaped: break;
  }
  return u"output-failed";
}

std::string RunReport::json() const {
  std::string out = "{\n";
  out += "  \"tool\": \"UpdateServiceQZ\",\n";
  out += "  \"toolVersion\": \"" USQZ_VERSION "\",\n";
  out += "  \"action\": " + quoted(actionName(action_)) + ",\n";
  out += "  \"service\": " + quoted(service_) + ",\n";
  out += "  \"host\": " + orNull(host_) + ",\n";
  out += "  \"started\": \"" + isoUtcText(startWallMs_) + "\",\n";
  out += "  \"ended\": \"" + isoUtcText(endWallMs_) + "\",\n";
  out += "  \"outcome\": " + quoted(outcomeName()) + ",\n";
  out += "  \"exitCode\": " + std::to_string(exitStatus_) + ",\n";
  out += "  \"result\": " + (result_ ? quoted(*result_) : std::string("null")) + ",\n";
  out += "  \"previous\": " + versionJson(previous_, "  ") + ",\n";
  out += "  \"new\": " + versionJson(next_, "  ") + ",\n";
  out += "  \"running\": " + versionJson(running_, "  ") + ",\n";
  out += "  \"steps\": [";
  for (std::size_t i = 0; i < steps_.size(); ++i) {
    out += (i == 0 ? "\n" : ",\n");
    out += "    {\"step\": " + quoted(steps_[i].name) + ", \"at\": \"" + isoUtcText(steps_[i].atMs) + "\"}";
  }
  out += steps_.empty() ? "],\n" : "\n  ],\n";
  const auto downtime = downtimeMs();
  out += "  \"downtimeMs\": " + (downtime ? std::to_string(*downtime) : std::string("null")) + ",\n";
  out += "  \"health\": [";
  for (std::size_t i = 0; i < health_.size(); ++i) {
    out += (i == 0 ? "\n" : ",\n");
    out += "    {\"check\": " + quoted(health_[i].check) + ", \"answer\": " + quoted(health_[i].answer) +
           ", \"passed\": " + (health_[i].passed ? "true" : "false") + "}";
  }
  out += health_.empty() ? "],\n" : "\n  ],\n";
  out += "  \"recovery\": ";
  if (recovery_) {
    out += "{\"deadRunStep\": " + quoted(recovery_->deadRunStep) + ", \"outcome\": " + quoted(recovery_->outcome) +
           ", \"message\": " + orNull(recovery_->message) + "}\n";
  } else {
    out += "null\n";
  }
  return out + "}\n";
}

}  // namespace usqz
