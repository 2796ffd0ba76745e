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
          out += "\\u" + toUtf8(toHex(static_cast<unsigned char>(c), 4, false));
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string orNull(std::u16string_view text) { return text.empty() ? "null" : quoted(text); }

// Members appended one at a time, `"key": value` with the value already
// JSON: an object on lines of its own at `indent`, or on one line.
class Members {
 public:
  Members(std::string& out, std::size_t indent) : out_(out), indent_(indent) { out_ += '{'; }
  Members& add(std::string_view key, std::string_view value) {
    if (indent_ != 0) {
      out_ += first_ ? "\n" : ",\n";
      out_.append(indent_, ' ');
    } else if (!first_) {
      out_ += ", ";
    }
    first_ = false;
    out_ += '"';
    out_ += key;
    out_ += "\": ";
    out_ += value;
    return *this;
  }
  void close() {
    if (indent_ != 0) {
      out_ += '\n';
      out_.append(indent_ - 2, ' ');
    }
    out_ += '}';
  }

 private:
  std::string& out_;
  std::size_t indent_;
  bool first_ = true;
};

// An array of one-line objects, each on a line of its own.
template <typename Item, typename Write>
std::string arrayOf(const std::vector<Item>& items, Write write) {
  if (items.empty()) return "[]";
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    out += i == 0 ? "\n    " : ",\n    ";
    Members object(out, 0);
    write(object, items[i]);
    object.close();
  }
  return out + "\n  ]";
}

std::string versionJson(const std::optional<VersionFacts>& facts) {
  if (!facts) return "null";
  std::string out;
  Members object(out, 4);
  object.add("path", quoted(facts->path))
      .add("size", std::to_string(facts->size))
      .add("sha256", orNull(facts->sha256))
      .add("fileVersion", orNull(facts->fileVersion));
  if (facts->signerSubject.empty()) {
    object.add("signer", "null");
  } else {
    std::string signer;
    Members inner(signer, 0);
    inner.add("subject", quoted(facts->signerSubject)).add("sha256", quoted(facts->signerSha256));
    inner.close();
    object.add("signer", signer);
  }
  object.close();
  return out;
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

std::u16string RunReport::outcomeName() const { return outcomeNameOf(action_, outcome_); }

std::u16string outcomeNameOf(RunAction action, Outcome outcome) {
  switch (outcome) {
    case Outcome::Updated:
      return action == RunAction::Check ? u"check-passed"
             : action == RunAction::Rollback ? u"rolled-back-on-demand"
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

std::string releaseJson(std::u16string_view releasePath, RunAction action, Outcome outcome,
                        const std::vector<const RunReport*>& services) {
  std::string list = "[";
  for (std::size_t i = 0; i < services.size(); ++i) {
    list += i == 0 ? "\n    " : ",\n    ";
    // Each service's report as it would stand alone, two levels in.
    const auto one = services[i]->json();
    for (std::size_t at = 0; at + 1 < one.size(); ++at) {
      list += one[at];
      if (one[at] == '\n') list += "    ";
    }
  }
  list += services.empty() ? "]" : "\n  ]";
  std::string out;
  Members report(out, 2);
  report.add("tool", "\"UpdateServiceQZ\"")
      .add("toolVersion", "\"" USQZ_VERSION "\"")
      .add("action", quoted(actionName(action)))
      .add("release", quoted(releasePath))
      .add("outcome", quoted(outcomeNameOf(action, outcome)))
      .add("exitCode", std::to_string(exitStatusFor(outcome, true)))
      .add("services", list);
  report.close();
  return out + "\n";
}

std::string RunReport::json() const {
  const auto downtime = downtimeMs();
  std::string recovery = "null";
  if (recovery_) {
    recovery.clear();
    Members object(recovery, 0);
    object.add("deadRunStep", quoted(recovery_->deadRunStep))
        .add("outcome", quoted(recovery_->outcome))
        .add("message", orNull(recovery_->message));
    object.close();
  }
  std::string out;
  Members report(out, 2);
  report.add("tool", "\"UpdateServiceQZ\"")
      .add("toolVersion", "\"" USQZ_VERSION "\"")
      .add("action", quoted(actionName(action_)))
      .add("service", quoted(service_))
      .add("host", orNull(host_))
      .add("started", "\"" + isoUtcText(startWallMs_) + "\"")
      .add("ended", "\"" + isoUtcText(endWallMs_) + "\"")
      .add("outcome", quoted(outcomeName()))
      .add("exitCode", std::to_string(exitStatus_))
      .add("result", result_ ? quoted(*result_) : "null")
      .add("previous", versionJson(previous_))
      .add("new", versionJson(next_))
      .add("running", versionJson(running_))
      .add("steps", arrayOf(steps_,
                            [](Members& step, const ReportStep& item) {
                              step.add("step", quoted(item.name)).add("at", "\"" + isoUtcText(item.atMs) + "\"");
                            }))
      .add("downtimeMs", downtime ? std::to_string(*downtime) : "null")
      .add("health", arrayOf(health_,
                             [](Members& check, const HealthResult& item) {
                               check.add("check", quoted(item.check))
                                   .add("answer", quoted(item.answer))
                                   .add("passed", item.passed ? "true" : "false");
                             }))
      .add("recovery", recovery);
  // Only where one was asked for: a report without stays as it was.
  if (watch_) {
    std::string watch;
    Members object(watch, 0);
    object.add("askedSeconds", std::to_string(watch_->askedSeconds))
        .add("watchedSeconds", std::to_string(watch_->watchedSeconds))
        .add("healthRounds", std::to_string(watch_->healthRounds))
        .add("failures", std::to_string(watch_->failures));
    object.close();
    report.add("watch", watch);
  }
  report.close();
  return out + "\n";
}

}  // namespace usqz
