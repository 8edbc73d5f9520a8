#pragma once

#include <cstddef>
#include <cstdint>

#include "forest/gumbel_roots.h"
#include "forest/node.h"
#include "forest/node_store.h"
#include "forest/puct_selection.h"
#include "forest/root_noise.h"
#include "forest/search_config.h"
#include "forest/step_lanes.h"

namespace veltra::forest {

// What a descent chooses by: PUCT (with the roots' noisy priors when `root_noise` is set) or the
// Gumbel policy's root and interior rules.
struct SelectionRules {
  const PuctSelection& puct;
  const RootNoise* root_noise;
  const GumbelRoots& gumbel;
};

// Walks down tree i from `root` at simulation `simulation` of the search, recording the path in
// the lane, until a chosen action has no child yet (recorded as an expansion, with a node from
// the tree's free list if it has one), a node has no legal action or, with kSolving
// (SearchConfig::solve), a node is solved.
template <Policy kPolicy, bool kSolving>
void descend(NodeStore& store, NodeId root, std::size_t i, std::int32_t simulation,
             const SelectionRules& rules, StepLane& lane) {
  NodeId id = root;
  Choice choice;
  if constexpr (kPolicy == Policy::kGumbel) {
    choice = rules.gumbel.root_choice(store, i, id, simulation, lane.gumbel);
  } else if (rules.root_noise != nullptr) {
    choice = rules.puct.choose<kSolving>(store, id, rules.root_noise->priors(i));
  } else {
    choice = rules.puct.choose<kSolving>(store, id, store.priors(id));
  }
  for (;;) {
    lane.path.push_back(id);
    if (choice.action < 0) return;
    if (choice.child == kNoNode) {
      lane.expansions.push_back(
          {static_cast<std::int32_t>(i), id, choice.action, store.take_free(i)});
      return;
    }
    id = choice.child;
    if (kSolving && store.solved(id)) {
      lane.path.push_back(id);
      return;
    }
    if constexpr (kPolicy == Policy::kGumbel) {
      choice = rules.gumbel.interior_choice(store, id, lane.gumbel);
    } else {
      choice = rules.puct.choose<kSolving>(store, id, store.priors(id));
    }
  }
}

}  // namespace veltra::forest
