// Health probes for tests: each target answers what the test scripts, on
// the virtual clock (a try costs its latency; one that times out costs the
// whole time it was given). Fault injection at every operation.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fault_plan.h"
#include "platform/health_probes.h"

namespace usqz::platform::fake {

enum class ProbeOp { HttpGet, TcpConnect, RunCommand };

class FakeHealthProbes final : public HealthProbes {
 public:
  using Script = std::function<ProbeAnswer()>;

  FakeHealthProbes(VirtualClock& clock, Lifeline& lifeline) : clock_(clock) { faults_.setLifeline(&lifeline); }

  // What `target` (a URL, "host:port", a command line) answers, each try.
  void answer(std::u16string target, Script script, std::uint32_t latencyMs = 20) {
    scripts_[std::move(target)] = {std::move(script), latencyMs};
  }
  FaultPlan<ProbeOp>& faults() { return faults_; }
  // When each try began, on the virtual clock, and the time it was given.
  const std::vector<std::uint64_t>& tries() const { return tries_; }
  const std::vector<std::uint32_t>& budgets() const { return budgets_; }

  ProbeAnswer httpGet(std::u16string_view url, std::uint32_t timeoutMs) override {
    return probe(ProbeOp::HttpGet, std::u16string(url), timeoutMs);
  }
  ProbeAnswer tcpConnect(std::u16string_view host, std::uint16_t port, std::uint32_t timeoutMs) override {
    return probe(ProbeOp::TcpConnect, std::u16string(host) + u":" + toText(port), timeoutMs);
  }
  // Scripted by the whole command line the tool builds.
  ProbeAnswer runCommand(std::u16string_view program, std::u16string_view commandLine,
                         std::uint32_t timeoutMs) override {
    commands_.emplace_back(program, commandLine);
    return probe(ProbeOp::RunCommand, std::u16string(commandLine), timeoutMs);
  }
  // Each command run: its program and its command line.
  const std::vector<std::pair<std::u16string, std::u16string>>& commands() const { return commands_; }

  static ProbeAnswer http(std::uint32_t status) { return {ProbeAnswer::Kind::Answered, status, kOk, {}, {}}; }
  static ProbeAnswer redirect(std::uint32_t status, std::u16string location) {
    return {ProbeAnswer::Kind::Answered, status, kOk, {}, std::move(location)};
  }
  static ProbeAnswer refused(OsError error = 10061) { return {ProbeAnswer::Kind::Refused, 0, error, {}, {}}; }
  static ProbeAnswer hangs() { return {ProbeAnswer::Kind::TimedOut, 0, kOk, {}, {}}; }
  static ProbeAnswer exited(std::uint32_t code, std::u16string lastLine = {}) {
    return {ProbeAnswer::Kind::Answered, code, kOk, std::move(lastLine), {}};
  }

 private:
  static std::u16string toText(std::uint16_t port) {
    std::u16string digits;
    do {
      digits.insert(digits.begin(), static_cast<char16_t>(u'0' + port % 10));
      port = static_cast<std::uint16_t>(port / 10);
    } while (port != 0);
    return digits;
  }

  ProbeAnswer probe(ProbeOp op, const std::u16string& target, std::uint32_t timeoutMs) {
    tries_.push_back(clock_.now());
    budgets_.push_back(timeoutMs);
    if (const auto error = faults_.onCall(op)) {
      clock_.advance(1);
      return refused(error);
    }
    const auto it = scripts_.find(target);
    const auto answer = it == scripts_.end() ? refused() : it->second.script();
    const std::uint32_t latency = it == scripts_.end() ? 1 : it->second.latencyMs;
    clock_.advance(answer.kind == ProbeAnswer::Kind::TimedOut ? timeoutMs : std::min(latency, timeoutMs));
    return answer;
  }

  struct Scripted {
    Script script;
    std::uint32_t latencyMs;
  };
  VirtualClock& clock_;
  FaultPlan<ProbeOp> faults_;
  std::map<std::u16string, Scripted> scripts_;
  std::vector<std::uint64_t> tries_;
  std::vector<std::uint32_t> budgets_;
  std::vector<std::pair<std::u16string, std::u16string>> commands_;
};

}  // namespace usqz::platform::fake
