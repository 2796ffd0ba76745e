// The order a release's services stop and start in: a service starts after
// those it depends on and stops after those that depend on it, as the
// service manager would have it. Services with nothing between them keep
// the release file's order.
#pragma once

#include <cstddef>
#include <vector>

namespace usqz {

struct ReleaseOrder {
  // Indexes into the release's services; empty when there is a cycle.
  std::vector<std::size_t> start;
  // A cycle, each depending on the next and the last on the first.
  std::vector<std::size_t> cycle;
};

// `dependsOn[i]`: the services of the release service i depends on.
ReleaseOrder startOrder(const std::vector<std::vector<std::size_t>>& dependsOn);

}  // namespace usqz
