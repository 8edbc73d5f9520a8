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

// The share of one thread in a step: the roots [first, end) it descends and backs up, and what
// its descents record, kept between steps to avoid allocating. Lanes cover the roots in order, so
// that reading them one after the other gives the expansions in root order.
struct StepLane {
  StepLane(std::size_t first_root, std::size_t end_root, GumbelRoots::Scratch scratch)
      : first(first_root), end(end_root), gumbel(std::move(scratch)) {
    path_starts.reserve(end - first + 1);
    expansions.reserve(end - first);
  }

  std::size_t first;
  std::size_t end;
  std::vector<NodeId> path;              // the descent of each of its roots, one after the other
  std::vector<std::size_t> path_starts;  // where root first + k's descent starts, plus the end
  std::vector<Expansion> expansions;     // in root order; node kNoNode until one is allocated
  std::size_t expansion_offset = 0;      // where its expansions start in the step's batch
  GumbelRoots::Scratch gumbel;
};

// The threads a config asks for (0: one per available core).
inline std::size_t thread_count(const SearchConfig& config) {
  if (config.num_threads > 0) return static_cast<std::size_t>(config.num_threads);
  return std::max(1U, std::thread::hardware_concurrency());
}

// One lane per thread, at most one per root, with the roots split as evenly as possible.
inline std::vector<StepLane> make_lanes(std::size_t num_roots, std::size_t threads,
                                        const GumbelRoots& gumbel) {
  const std::size_t count = std::max<std::size_t>(1, std::min(threads, num_roots));
  std::vector<StepLane> lanes;
  lanes.reserve(count);
  for (std::size_t w = 0; w < count; ++w) {
    lanes.emplace_back(w * num_roots / count, (w + 1) * num_roots / count, gumbel.make_scratch());
  }
  return lanes;
}

}  // namespace veltra::forest
