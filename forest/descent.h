#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "forest/gumbel_roots.h"
#include "forest/node.h"
#include "forest/node_store.h"
#include "forest/pending_visits.h"
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

// Walks down tree i from `root` at simulation `simulation` of the search, recording the path and
// how it ended in the lane, until a chosen action has no child yet (recorded as an expansion,
// with a node from the tree's free list if it has one, or, if an earlier descent of the step
// expands that edge already, as a repeat of it), a node has no legal action or, with kSolving
// (SearchConfig::solve), a node is solved. `pending` is null, or the pending visits of the step's
// earlier descents in the tree.
template <Policy kPolicy, bool kSolving>
void descend(NodeStore& store, NodeId root, std::size_t i, std::int32_t simulation,
             const SelectionRules& rules, StepLane& lane, const PendingVisits* pending) {
  NodeId id = root;
  Choice choice;
  if constexpr (kPolicy == Policy::kGumbel) {
    choice = rules.gumbel.root_choice(store, i, id, simulation, lane.gumbel, pending);
  } else if (rules.root_noise != nullptr) {
    choice = rules.puct.choose<kSolving>(store, id, rules.root_noise->priors(i), pending);
  } else {
    choice = rules.puct.choose<kSolving>(store, id, store.priors(id), pending);
  }
  for (;;) {
    lane.path.push_back(id);
    if (choice.action < 0) return lane.end_descent(Descent::kNoExpansion);
    if (choice.child == kNoNode) {
      if (pending != nullptr) {
        if (const std::int64_t k = pending->edge_index(id, choice.action); k >= 0) {
          lane.path.push_back(kNoNode);
          return lane.end_descent(k, true);
        }
      }
      lane.expansions.push_back(
          {static_cast<std::int32_t>(i), id, choice.action, store.take_free(i)});
      return lane.end_descent(static_cast<std::int64_t>(lane.expansions.size()) - 1);
    }
    id = choice.child;
    if (kSolving && store.solved(id)) {
      lane.path.push_back(id);
      return lane.end_descent(Descent::kNoExpansion);
    }
    if constexpr (kPolicy == Policy::kGumbel) {
      choice = rules.gumbel.interior_choice(store, id, lane.gumbel, pending);
    } else {
      choice = rules.puct.choose<kSolving>(store, id, store.priors(id), pending);
    }
  }
}

// The `descents` descents of one step in tree i (simulations first_simulation, first_simulation
// + 1, ...), each leaving a pending visit on every node of its path (`pending_nodes`, by node id)
// and on the edge it ends at, which the later ones see.
template <Policy kPolicy, bool kSolving>
void descend_tree(NodeStore& store, NodeId root, std::size_t i, std::int32_t first_simulation,
                  std::int32_t descents, const SelectionRules& rules, StepLane& lane,
                  std::int32_t* pending_nodes) {
  const PendingVisits pending{pending_nodes, lane.expansions, lane.edge_pending,
                              lane.expansions.size()};
  for (std::int32_t k = 0; k < descents; ++k) {
    const std::size_t start = lane.path.size();
    descend<kPolicy, kSolving>(store, root, i, first_simulation + k, rules, lane, &pending);
    for (std::size_t j = start; j < lane.path.size(); ++j) {
      if (lane.path[j] != kNoNode) ++pending_nodes[static_cast<std::size_t>(lane.path[j])];
    }
    const Descent& descent = lane.descents.back();
    if (descent.expansion == Descent::kNoExpansion) continue;
    if (descent.repeat) {
      ++lane.edge_pending[static_cast<std::size_t>(descent.expansion)];
    } else {
      lane.edge_pending.push_back(1);
    }
  }
}

// The descents of one step in tree i: one without pending visits, or up to
// SearchConfig::leaves_per_step with them (descend_tree), the solved-node checks compiled in only
// for a config that solves. `pending_nodes` is unused with one leaf per step.
template <Policy kPolicy>
void descend_step(const SearchConfig& config, NodeStore& store, NodeId root, std::size_t i,
                  std::int32_t first_simulation, std::int32_t descents, const SelectionRules& rules,
                  StepLane& lane, std::int32_t* pending_nodes) {
  const auto run = [&](auto solving) {
    constexpr bool kSolving = decltype(solving)::value;
    if (config.leaves_per_step == 1) {
      descend<kPolicy, kSolving>(store, root, i, first_simulation, rules, lane, nullptr);
    } else {
      descend_tree<kPolicy, kSolving>(store, root, i, first_simulation, descents, rules, lane,
                                      pending_nodes);
    }
  };
  if (config.solve) {
    run(std::true_type{});
  } else {
    run(std::false_type{});
  }
}

}  // namespace veltra::forest
