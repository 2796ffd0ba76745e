// Fault injection for the in-memory platforms: make the Nth call of an
// operation (counted from the fake's creation, from 1) fail with a chosen OS
// error code, or every call from then on.
#pragma once

#include <cstdint>
#include <map>
#include <utility>

#include "platform/file_and_process.h"

namespace usqz::platform::fake {

template <typename Operation>
class FaultPlan {
 public:
  void failCall(Operation operation, unsigned nth, OsError code) { once_[{operation, nth}] = code; }
  void failFrom(Operation operation, unsigned nth, OsError code) { from_[operation] = {nth, code}; }
  void failAlways(Operation operation, OsError code) { failFrom(operation, 1, code); }
  void clear() {
    once_.clear();
    from_.clear();
  }

  // Counts a call; returns the code it is to fail with, or 0.
  OsError onCall(Operation operation) {
    const unsigned nth = ++calls_[operation];
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
};

// Time for tests: pauses advance it, nothing else does.
class VirtualClock {
 public:
  std::uint64_t now() const { return now_; }
  void advance(std::uint64_t milliseconds) { now_ += milliseconds; }

 private:
  std::uint64_t now_ = 1'000'000;
};

}  // namespace usqz::platform::fake
