// Fault injection for the in-memory platforms: make the Nth call of an
// operation (counted from the fake's creation, from 1) fail with a chosen OS
// error code, or every call from then on.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <utility>

#include "platform/file_and_process.h"

namespace usqz::platform::fake {

// Thrown at the platform call where the tool's process dies: it is not a
// std::exception, so no handler of the tool's catches it.
struct Killed {};

// The tool's process, as the doubles see it: every platform call of every
// double that shares it is counted, and the process can be made to die at
// any one of them (before it takes effect). Once dead, calls have no effect;
// outside of unwinding they throw Killed again, so that nothing after the
// death runs. Also the console's interruptions (Ctrl+C): one that arrives
// while they are not deferred ends the process as well.
class Lifeline {
 public:
  // Counted from now: the Nth call dies.
  void dieAtCall(unsigned nth) { dieAt_ = calls_ + nth; }
  // Counted from now: Ctrl+C at the Nth call.
  void interruptAtCall(unsigned nth) { interruptAt_ = calls_ + nth; }
  unsigned calls() const { return calls_; }
  bool dead() const { return dead_; }
  // After a death: a new process for the next run.
  void revive() {
    dead_ = false;
    dieAt_ = 0;
    interruptAt_ = 0;
    deferring_ = false;
    arrived_ = false;
  }

  void defer() { deferring_ = true; }
  void allow() { deferring_ = false; }
  bool arrived() const { return arrived_; }

  // True when the call must have no effect. `cleanup`: a call that
  // destructors make, which must never throw.
  bool onCall(bool cleanup) {
    if (!dead_) {
      ++calls_;
      if (calls_ == interruptAt_) {
        if (deferring_) {
          arrived_ = true;
        } else {
          dead_ = true;
        }
      }
      if (calls_ == dieAt_) dead_ = true;
      if (!dead_) return false;
    }
    if (!cleanup && std::uncaught_exceptions() == 0) throw Killed{};
    return true;
  }

 private:
  unsigned calls_ = 0;
  unsigned dieAt_ = 0;
  unsigned interruptAt_ = 0;
  bool dead_ = false;
  bool deferring_ = false;
  bool arrived_ = false;
};

// What a call of a dead process gets back.
inline constexpr OsError kErrorProcessDead = 0xDEAD;

template <typename Operation>
class FaultPlan {
 public:
  void setLifeline(Lifeline* lifeline) { lifeline_ = lifeline; }
  void failCall(Operation operation, unsigned nth, OsError code) { once_[{operation, nth}] = code; }
  void failFrom(Operation operation, unsigned nth, OsError code) { from_[operation] = {nth, code}; }
  void failAlways(Operation operation, OsError code) { failFrom(operation, 1, code); }
  // Something another process does just before the Nth call is carried out.
  void atCall(Operation operation, unsigned nth, std::function<void()> action) {
    actions_[{operation, nth}] = std::move(action);
  }
  // Something another process tries before every call (it does what it
  // can when it can: the action judges).
  void beforeEveryCall(std::function<void()> action) { everyCall_ = std::move(action); }
  void clear() {
    once_.clear();
    from_.clear();
  }

  // Counts a call; returns the code it is to fail with, or 0.
  OsError onCall(Operation operation, bool cleanup = false) {
    if (lifeline_ != nullptr && lifeline_->onCall(cleanup)) return kErrorProcessDead;
    const unsigned nth = ++calls_[operation];
    if (everyCall_) everyCall_();
    if (const auto it = actions_.find({operation, nth}); it != actions_.end()) {
      const auto action = std::move(it->second);
      actions_.erase(it);
      action();
    }
    if (const auto it = once_.find({operation, nth}); it != once_.end()) return it->second;
    if (const auto it = from_.find(operation); it != from_.end() && nth >= it->second.first) return it->second.second;
    return kOk;
  }

  unsigned calls(Operation operation) const {
    const auto it = calls_.find(operation);
    return it == calls_.end() ? 0 : it->second;
  }

 private:
  std::map<std::pair<Operation, unsigned>, OsError> once_;
  std::map<Operation, std::pair<unsigned, OsError>> from_;
  std::map<Operation, unsigned> calls_;
  std::map<std::pair<Operation, unsigned>, std::function<void()>> actions_;
  std::function<void()> everyCall_;
  Lifeline* lifeline_ = nullptr;
};

// Time for tests: pauses advance it, nothing else does.
class VirtualClock {
 public:
  std::uint64_t now() const { return now_; }
  void advance(std::uint64_t milliseconds) { now_ += milliseconds; }
  // When the machine last started, on the same clock.
  std::uint64_t bootedAt() const { return bootedAt_; }
  void reboot() { bootedAt_ = now_; }

 private:
  std::uint64_t now_ = 1'000'000;
  std::uint64_t bootedAt_ = 0;
};

}  // namespace usqz::platform::fake
