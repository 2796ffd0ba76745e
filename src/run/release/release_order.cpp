#include "run/release/release_order.h"

#include <algorithm>

namespace usqz {

ReleaseOrder startOrder(const std::vector<std::vector<std::size_t>>& dependsOn) {
  const auto count = dependsOn.size();
  std::vector<bool> placed(count, false);
  const auto ready = [&](std::size_t i) {
    return std::all_of(dependsOn[i].begin(), dependsOn[i].end(), [&](std::size_t d) { return placed[d]; });
  };
  ReleaseOrder order;
  while (order.start.size() < count) {
    // The first in the file's order that may start now.
    std::size_t next = count;
    for (std::size_t i = 0; i < count && next == count; ++i) {
      if (!placed[i] && ready(i)) next = i;
    }
    if (next == count) break;
    placed[next] = true;
    order.start.push_back(next);
  }
  if (order.start.size() == count) return order;
  // Nothing left may start: every service left waits for another one left.
  // Following those waits from the first must come round to a service seen.
  std::size_t at = 0;
  while (placed[at]) ++at;
  std::vector<std::size_t> path;
  while (std::find(path.begin(), path.end(), at) == path.end()) {
    path.push_back(at);
    for (const auto d : dependsOn[at]) {
      if (!placed[d]) {
        at = d;
        break;
      }
    }
  }
  order.cycle.assign(std::find(path.begin(), path.end(), at), path.end());
  order.start.clear();
  return order;
}

}  // namespace usqz
