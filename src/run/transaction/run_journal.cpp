#include "run/transaction/run_journal.h"

#include <array>
#include <charconv>

#include "checks/location_trust.h"
#include "common/option_values.h"
#include "platform/text.h"
#include "common/tool_error.h"
#include "platform/held_files.h"
#include "common/private_file.h"

namespace usqz {

namespace {

using platform::FileIdentity;

constexpr std::string_view kHeader = "UpdateServiceQZ journal 2";
constexpr std::size_t kLongestJournal = 64 * 1024;

constexpr std::array<std::pair<Step, std::u16string_view>, 8> kSteps = {{
    {Step::Registering, u"registering"},
    {Step::StoppingDependents, u"stopping-dependents"},
    {Step::Stopping, u"stopping"},
    {Step::Swapping, u"swapping"},
    {Step::Starting, u"starting"},
    {Step::Watching, u"watching"},
    {Step::RollingBack, u"rolling-back"},
    {Step::Confirmed, u"confirmed"},
}};

std::string hex(std::uint64_t value, int digits) { return toUtf8(toHex(value, static_cast<unsigned>(digits), true)); }

std::string identityText(const std::optional<FileIdentity>& identity, const std::u16string& sha256) {
  if (!identity) return "none";
  return hex(identity->volume, 8) + " " + hex(identity->index, 16) + " " + std::to_string(identity->size) + " " +
         std::to_string(identity->lastWrite) + " " + toUtf8(sha256);
}

template <typename Number>
bool parseNumber(std::string_view text, Number& value, int base = 10) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size();
}

bool parseYesNo(std::string_view text, bool& value) {
  if (text != "yes" && text != "no") return false;
  value = text == "yes";
  return true;
}

bool isSha256(std::string_view text) {
  if (text.size() != 64) return false;
  for (const char c : text) {
    if ((c < '0' || c > '9') && (c < 'a' || c > 'f')) return false;
  }
  return true;
}

bool parseIdentity(std::string_view text, std::optional<FileIdentity>& identity, std::u16string& sha256) {
  if (text == "none") {
    identity.reset();
    return true;
  }
  std::array<std::string_view, 5> parts;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const auto blank = text.find(' ');
    if ((blank == std::string_view::npos) != (i == parts.size() - 1)) return false;
    parts[i] = text.substr(0, blank);
    text = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
  }
  FileIdentity found;
  if (parts[0].size() != 8 || parts[1].size() != 16 || !parseNumber(parts[0], found.volume, 16) ||
      !parseNumber(parts[1], found.index, 16) || !parseNumber(parts[2], found.size) ||
      !parseNumber(parts[3], found.lastWrite) || !isSha256(parts[4])) {
    return false;
  }
  identity = found;
  sha256 = fromUtf8(parts[4]);
  return true;
}

bool parseFailureActions(std::string_view text, std::optional<platform::FailureActions>& actions) {
  platform::FailureActions found;
  bool first = true;
  while (true) {
    const auto blank = text.find(' ');
    const auto item = text.substr(0, blank);
    if (first) {
      if (!parseNumber(item, found.resetSeconds)) return false;
      first = false;
    } else {
      const auto slash = item.find('/');
      platform::FailureAction action;
      if (slash == std::string_view::npos || !parseNumber(item.substr(0, slash), action.type) ||
          !parseNumber(item.substr(slash + 1), action.delayMs)) {
        return false;
      }
      found.actions.push_back(action);
    }
    if (blank == std::string_view::npos) break;
    text.remove_prefix(blank + 1);
  }
  actions = std::move(found);
  return true;
}

// A health check as its option takes it: the host and port of a TCP check
// put back together, an IPv6 host in brackets.
std::pair<std::string_view, std::u16string> healthLine(const HealthCheck& check) {
  switch (check.kind) {
    case HealthCheck::Kind::Url: return {"health-url", check.target};
    case HealthCheck::Kind::Tcp: {
      const bool v6 = check.target.find(u':') != std::u16string::npos;
      return {"health-tcp", (v6 ? u"[" + check.target + u"]" : check.target) + u":" + toDecimal(check.port)};
    }
    case HealthCheck::Kind::Command: break;
  }
  return {"health-command", check.target};
}

// Read back through the very reading the command line's values get, so
// that the recovery holds the service to what the release did.
bool parseHealthCheck(std::string_view key, std::string_view value, std::vector<HealthCheck>& health) {
  const auto text = fromUtf8(value);
  const auto read = key == "health-url"   ? healthUrlValue(text)
                    : key == "health-tcp" ? healthTcpValue(text)
                    : key == "health-command" ? healthCommandValue(text)
                                              : OptionValue<HealthCheck>{};
  if (!read.value) return false;
  health.push_back(*read.value);
  return true;
}

// Blank-separated numbers, exactly as many as asked for.
template <typename... Numbers>
bool parseNumbers(std::string_view text, Numbers&... values) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto blank = text.find(' ');
    parts.push_back(text.substr(0, blank));
    if (blank == std::string_view::npos) break;
    text.remove_prefix(blank + 1);
  }
  if (parts.size() != sizeof...(values)) return false;
  std::size_t i = 0;
  return (parseNumber(parts[i++], values) && ...);
}

bool parseTimeout(std::string_view value, std::optional<std::uint32_t>& seconds) {
  const auto read = healthTimeoutValue(fromUtf8(value));
  if (!read.value) return false;
  seconds = read.value;
  return true;
}

}  // namespace

std::u16string_view stepName(Step step) {
  for (const auto& [known, name] : kSteps) {
    if (known == step) return name;
  }
  return u"?";
}

std::string formatJournal(const JournalRecord& record) {
  std::string text = std::string(kHeader) + "\r\n";
  text += "service: " + toUtf8(record.serviceName) + "\r\n";
  text += "process: " + std::to_string(record.processId) + "\r\n";
  if (record.rollback) text += "mode: rollback\r\n";
  text += "time: " + utcText(record.time) + "\r\n";
  text += std::string("was-running: ") + (record.wasRunning ? "yes" : "no") + "\r\n";
  for (const auto& name : record.dependents) text += "dependent: " + toUtf8(name) + "\r\n";
  for (const auto& name : record.release) text += "release: " + toUtf8(name) + "\r\n";
  for (const auto& check : record.health) {
    const auto [key, value] = healthLine(check);
    text += std::string(key) + ": " + toUtf8(value) + "\r\n";
  }
  if (record.healthTimeoutSeconds) text += "health-timeout: " + std::to_string(*record.healthTimeoutSeconds) + "\r\n";
  if (!record.pin.empty()) text += "pin-sha256: " + toUtf8(record.pin) + "\r\n";
  text += "previous: " + identityText(record.previous, record.previousSha256) + "\r\n";
  text += "new: " + identityText(record.next, record.nextSha256) + "\r\n";
  if (record.failureActions) {
    text += "failure-actions: " + std::to_string(record.failureActions->resetSeconds);
    for (const auto& action : record.failureActions->actions) {
      text += " " + std::to_string(action.type) + "/" + std::to_string(action.delayMs);
    }
    text += "\r\n";
  }
  if (record.watch) {
    const auto& watch = *record.watch;
    text += "watch: " + std::to_string(watch.seconds) + " " + std::to_string(watch.startedAt) + " " +
            std::to_string(watch.bootedAt) + " " + std::to_string(watch.intervalSeconds) + " " +
            std::to_string(watch.failures) + "\r\n";
    text += "watched: " + std::to_string(watch.processId) + " " + std::to_string(watch.processCreated) + "\r\n";
  }
  text += "step: " + toUtf8(stepName(record.step)) + "\r\n";
  text += "end\r\n";
  return text;
}

std::optional<JournalRecord> parseJournal(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // cut short
    auto line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    text.remove_prefix(end + 1);
  }
  if (lines.size() < 2 || lines.front() != kHeader || lines.back() != "end") return std::nullopt;

  JournalRecord record;
  // Each key once, in any order; dependents as often as there are.
  unsigned seen = 0;
  const auto once = [&seen](unsigned bit) {
    if ((seen & bit) != 0) return false;
    seen |= bit;
    return true;
  };
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    const auto line = lines[i];
    const auto colon = line.find(": ");
    if (colon == std::string_view::npos) return std::nullopt;
    const auto key = line.substr(0, colon);
    const auto value = line.substr(colon + 2);
    bool ok = false;
    if (key == "service") {
      ok = once(1) && !value.empty();
      record.serviceName = fromUtf8(value);
    } else if (key == "process") {
      ok = once(2) && parseNumber(value, record.processId);
    } else if (key == "time") {
      ok = once(4);  // for the reader; the run does not need it
    } else if (key == "was-running") {
      ok = once(8) && parseYesNo(value, record.wasRunning);
    } else if (key == "dependent") {
      ok = !value.empty();
      record.dependents.push_back(fromUtf8(value));
    } else if (key == "release") {
      ok = !value.empty();
      record.release.push_back(fromUtf8(value));
    } else if (key == "health-url" || key == "health-tcp" || key == "health-command") {
      ok = parseHealthCheck(key, value, record.health);
    } else if (key == "health-timeout") {
      ok = once(512) && parseTimeout(value, record.healthTimeoutSeconds);
    } else if (key == "pin-sha256") {
      ok = once(1024) && isSha256(value);
      record.pin = fromUtf8(value);
    } else if (key == "previous") {
      ok = once(16) && parseIdentity(value, record.previous, record.previousSha256);
    } else if (key == "new") {
      std::optional<FileIdentity> next;
      ok = once(32) && parseIdentity(value, next, record.nextSha256) && next.has_value();
      if (next) record.next = *next;
    } else if (key == "mode") {
      ok = once(256) && value == "rollback";
      record.rollback = true;
    } else if (key == "failure-actions") {
      ok = once(128) && parseFailureActions(value, record.failureActions);
    } else if (key == "watch") {
      auto& watch = record.watch ? *record.watch : record.watch.emplace();
      ok = once(2048) && parseNumbers(value, watch.seconds, watch.startedAt, watch.bootedAt, watch.intervalSeconds,
                                      watch.failures) &&
           // What the options allow, no more: a window is never longer.
           watch.seconds > 0 && watch.seconds <= 86'400 && watch.intervalSeconds > 0 &&
           watch.intervalSeconds <= 3'600 && watch.failures > 0 && watch.failures <= 100;
    } else if (key == "watched") {
      auto& watch = record.watch ? *record.watch : record.watch.emplace();
      ok = once(4096) && parseNumbers(value, watch.processId, watch.processCreated);
    } else if (key == "step") {
      ok = once(64);
      bool known = false;
      for (const auto& [step, name] : kSteps) {
        if (fromUtf8(value) == name) {
          record.step = step;
          known = true;
        }
      }
      ok = ok && known;
    }
    if (!ok) return std::nullopt;
  }
  // Everything but the failure actions and a release's checks; a watch
  // whole or not at all.
  if ((seen & 127) != 127) return std::nullopt;
  if (((seen & 2048) != 0) != ((seen & 4096) != 0)) return std::nullopt;
  return record;
}

RunJournal::RunJournal(platform::FileAndProcess& files, platform::FileSecurity& security, platform::Clock& clock,
                       platform::ErrorTexts& texts, std::u16string path)
    : files_(files), security_(security), clock_(clock), texts_(texts), path_(std::move(path)) {}

JournalRead RunJournal::read(platform::FileAndProcess&, platform::FileSecurity& security, platform::Clock& clock,
                             const std::u16string& path) {
  JournalRead found;
  // What stands at the name itself, judged and read through one handle: a
  // link is never followed, a journal anyone else could have written tells
  // nothing, and what was judged is what is read.
  platform::InspectedFile inspected;
  retryWhileHeld(clock, [&] {
    inspected = security.inspectAndRead(path, kLongestJournal + 1);
    return inspected.facts.error != platform::kOk ? inspected.facts.error : inspected.head.error;
  });
  const auto& facts = inspected.facts;
  if (facts.error == platform::kErrorFileNotFound) return found;
  // A journal whose rights cannot be read (one held for deletion answers
  // "access denied") may be anyone's: it is not acted upon.
  if (facts.error != platform::kOk) {
    found.kind = JournalRead::Kind::Unreadable;
    found.error = facts.error;
    return found;
  }
  std::u16string why;
  if (facts.kind != platform::FileKind::File) {
    why = facts.kind == platform::FileKind::Link ? u"é um link" : u"é uma pasta";
  } else if (facts.links != 1) {
    why = u"tem outro nome no disco";
  } else if (const auto untrusted = whyUntrusted(facts)) {
    why = *untrusted;
  }
  if (!why.empty()) {
    found.kind = JournalRead::Kind::Untrusted;
    found.why = std::move(why);
    return found;
  }
  const auto& head = inspected.head;
  if (head.error == platform::kErrorFileNotFound) return found;
  found.kind = JournalRead::Kind::Unreadable;
  found.error = head.error;
  if (head.error != platform::kOk || head.size > kLongestJournal) return found;
  if (auto record = parseJournal(head.bytes)) {
    found.kind = JournalRead::Kind::Found;
    found.record = std::move(*record);
  }
  return found;
}

void RunJournal::prepare(JournalRecord record) {
  record_ = std::move(record);
  record_.time = clock_.wallClockSeconds();
  prepared_ = true;
  taken_.reset();
}

void RunJournal::adopt(JournalRecord record) {
  record_ = std::move(record);
  active_ = true;
}

void RunJournal::advance(Step step) {
  record_.step = step;
  write();
}

void RunJournal::addDependent(const std::u16string& name) {
  record_.dependents.push_back(name);
  record_.step = Step::StoppingDependents;
  write();
}

void RunJournal::recordWatch(const JournalRecord::Watch& watch) {
  record_.watch = watch;
  record_.step = Step::Watching;
  write();
}

void RunJournal::recordFailureActions(const platform::FailureActions& actions) {
  record_.failureActions = actions;
  write();
}

bool RunJournal::finish() {
  if (!active_) return true;
  if (keep_) {
    active_ = false;
    kept_ = true;
    return true;
  }
  const auto error = retryWhileHeld(clock_, [&] {
    const auto error = files_.removeFile(path_);
    return error == platform::kErrorFileNotFound ? platform::kOk : error;
  });
  active_ = false;
  return error == platform::kOk;
}

bool RunJournal::removeKept() {
  if (!kept_) return true;
  kept_ = false;
  keep_ = false;
  active_ = true;
  return finish();
}

// A temporary file, flushed, then put in place in one step: whatever
// instant the run dies at, the journal on disk is the old one or the new
// one, whole.
void RunJournal::write() {
  // A line break in a value would end its line early: the journal would
  // not read back, and its run could not be recovered.
  for (const auto& check : record_.health) {
    if (check.target.find_first_of(u"\r\n") != std::u16string::npos) {
      throw toolError(u"Não foi possível gravar o diário da atualização " + path_ +
                      u": uma verificação de saúde tem uma quebra de linha: " + check.target);
    }
  }
  const auto temporary = path_ + u".tmp";
  const auto created = createTemporary(temporary);
  auto error = created.error;
  if (error == platform::kOk) error = putInPlace(files_, created.handle, temporary, path_, formatJournal(record_));
  if (error != platform::kOk) {
    throw toolError(u"Não foi possível gravar o diário da atualização " + path_ + u": " + texts_.describe(error));
  }
  active_ = true;
}

void RunJournal::probeWritable() {
  const auto temporary = path_ + u".tmp";
  const auto created = createTemporary(temporary);
  if (created.error != platform::kOk) {
    throw toolError(u"Não foi possível gravar o diário da atualização " + path_ + u": " +
                    texts_.describe(created.error));
  }
  files_.closeFile(created.handle);
  files_.removeFile(temporary);
}

// Only a plain file that nobody but an administrator could have written is
// taken for one a dead run of the tool left; anything else at the name is
// someone else's and stays as it is.
platform::FileOpenResult RunJournal::createTemporary(const std::u16string& temporary) {
  const auto created = createPrivateFileAnew(files_, security_, temporary);
  if (created.someoneElses) {
    throw toolError(u"Não foi possível gravar o diário da atualização " + path_ + u": " + temporary +
                    u" existe e não é da ferramenta");
  }
  return created.opened;
}

}  // namespace usqz
