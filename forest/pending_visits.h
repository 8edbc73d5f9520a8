#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "forest/evaluation.h"
#include "forest/node.h"

namespace veltra::forest {

// The pending visits one tree carries during a step of several descents
// (SearchConfig::leaves_per_step): each descent leaves one on every node of its path and on the
// edge it ends at, and the later descents of the step score as if those visits had been made
// (see PuctSelection and the Gumbel rules); the backups then replace them by real visits. Nodes
// keep theirs in a side array by node id, which exists only when the forest takes several leaves
// per step; an edge without a child yet is one of the step's expansions of the tree, counted
// beside it.
struct PendingVisits {
  const std::int32_t* nodes;                // by node id
  const std::vector<Expansion>& edges;      // the lane's expansions...
  const std::vector<std::int32_t>& counts;  // ...and the descents that ended at each
  std::size_t first_edge;                   // where this tree's expansions start in `edges`

  std::int32_t at(NodeId id) const noexcept { return nodes[static_cast<std::size_t>(id)]; }

  // The index in `edges` of the expansion of (parent, action) made earlier in this step, or -1.
  std::int64_t edge_index(NodeId parent, std::int32_t action) const noexcept {
    for (std::size_t k = first_edge; k < edges.size(); ++k) {
      if (edges[k].parent == parent && edges[k].action == action) {
        return static_cast<std::int64_t>(k);
      }
    }
    return -1;
  }
  // Pending visits of the edge (parent, action), which has no child yet.
  std::int32_t edge(NodeId parent, std::int32_t action) const noexcept {
    const std::int64_t k = edge_index(parent, action);
    return k < 0 ? 0 : counts[static_cast<std::size_t>(k)];
  }
  // Pending visits of action a of node `parent`: its child's or, without one, its edge's.
  std::int32_t of(NodeId parent, std::int32_t action, NodeId child) const noexcept {
    return child != kNoNode ? at(child) : edge(parent, action);
  }
};

}  // namespace veltra::forest
