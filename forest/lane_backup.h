#pragma once

#include <cstddef>
#include <vector>

#include "forest/backup.h"
#include "forest/evaluation.h"
#include "forest/exact_values.h"
#include "forest/node.h"
#include "forest/node_store.h"
#include "forest/step_lanes.h"

namespace veltra::forest {

// The backups of a lane's descents, in order, once `evaluations` (a row per expansion of the
// step, of which the lane's start at lane.expansion_offset) are in: a new leaf is filled in,
// linked and backed up (and its path solved upwards if it is solved); a repeat of it visits that
// leaf again, as a leaf without children is visited; a descent that ended without legal action
// or solved backs up the node it ended at.
inline void back_up_lane(NodeStore& store, StepLane& lane, const std::vector<Expansion>& expansions,
                         const Evaluations& evaluations, std::size_t num_actions,
                         double value_high) {
  std::size_t start = 0;
  for (const Descent& descent : lane.descents) {
    NodeId* path = lane.path.data() + start;
    const std::size_t length = descent.path_end - start;
    start = descent.path_end;
    if (descent.expansion == Descent::kNoExpansion) {
      back_up(store, path, length, kNoNode);
      continue;
    }
    const std::size_t k = lane.expansion_offset + static_cast<std::size_t>(descent.expansion);
    const Expansion& expansion = expansions[k];
    if (descent.repeat) {
      path[length - 1] = expansion.node;
      back_up(store, path, length, kNoNode);
      continue;
    }
    store.fill(expansion.node, evaluations, k, expansion.action);
    store.link_child(expansion.parent, expansion.node);
    back_up(store, path, length, expansion.node);
    if (store.solved(expansion.node)) solve_path(store, path, length, num_actions, value_high);
  }
}

}  // namespace veltra::forest
