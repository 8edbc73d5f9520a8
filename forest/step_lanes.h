#pragma once

#include <algorithm>
#include <cstddef>
#include <thread>
#include <vector>

#include "forest/evaluation.h"
#include "forest/gumbel_roots.h"
#include "forest/node.h"
#include "forest/search_config.h"

namespace veltra::forest {

// How one descent of a step ended: at an expansion of its lane (`expansion`, an index into the
// lane's expansions), at the expansion an earlier descent of the step made of the same edge
// (`repeat`), or at a node without legal action or solved (kNoExpansion).
struct Descent {
  static constexpr std::int64_t kNoExpansion = -1;

  std::size_t path_end;  // its path is the lane's path from the previous descent's end to here
  std::int64_t expansion;
  bool repeat;  // the path ends with a slot for that expansion's node (kNoNode until backed up)
};

// The share of one thread in a step: the roots [first, end) it descends and backs up, and what
// its descents record, kept between steps to avoid allocating. Lanes cover the roots in order, so
// that reading them one after the other gives the expansions in root order (and each root's in
// the order of its descents).
struct StepLane {
  StepLane(std::size_t first_root, std::size_t end_root, std::size_t leaves_per_step,
           GumbelRoots::Scratch scratch)
      : first(first_root), end(end_root), gumbel(std::move(scratch)) {
    descents.reserve((end - first) * leaves_per_step);
    expansions.reserve((end - first) * leaves_per_step);
    if (leaves_per_step > 1) edge_pending.reserve((end - first) * leaves_per_step);
  }

  void end_descent(std::int64_t expansion, bool repeat = false) {
    descents.push_back({path.size(), expansion, repeat});
  }

  // Sets the pending visits (by node id) of every node on the step's paths back to 0.
  void clear_pending(std::int32_t* pending) const noexcept {
    for (const NodeId id : path) {
      if (id != kNoNode) pending[static_cast<std::size_t>(id)] = 0;
    }
  }

  std::size_t first;
  std::size_t end;
  std::vector<NodeId> path;                // the paths of its descents, one after the other
  std::vector<Descent> descents;           // in root order, each root's in order
  std::vector<Expansion> expansions;       // in root order; node kNoNode until one is allocated
  std::vector<std::int32_t> edge_pending;  // with several leaves per step: descents ending at each
  std::size_t expansion_offset = 0;        // where its expansions start in the step's batch
  GumbelRoots::Scratch gumbel;
};

// The threads a config asks for (0: one per available core).
inline std::size_t thread_count(const SearchConfig& config) {
  if (config.num_threads > 0) return static_cast<std::size_t>(config.num_threads);
  return std::max(1U, std::thread::hardware_concurrency());
}

// One lane per thread, at most one per root, with the roots split as evenly as possible.
inline std::vector<StepLane> make_lanes(std::size_t num_roots, std::size_t threads,
                                        std::size_t leaves_per_step, const GumbelRoots& gumbel) {
  const std::size_t count = std::max<std::size_t>(1, std::min(threads, num_roots));
  std::vector<StepLane> lanes;
  lanes.reserve(count);
  for (std::size_t w = 0; w < count; ++w) {
    lanes.emplace_back(w * num_roots / count, (w + 1) * num_roots / count, leaves_per_step,
                       gumbel.make_scratch());
  }
  return lanes;
}

}  // namespace veltra::forest
