#pragma once

#include <cstddef>

#include "forest/formulas.h"
#include "forest/node.h"
#include "forest/node_store.h"

namespace veltra::forest {

// Backs a value up `path` (root first). With a new `leaf` below the path, G starts at the leaf's
// value and the leaf keeps its single visit; without one, the last node of the path is terminal
// and takes its own value as a visit too, or it is solved and G starts at its exact value, which
// its visit leaves as it is. Each node's V becomes the mean of its visits' values, and G becomes
// r + gamma * G on the way up each edge. A node of the path that an earlier backup of the same
// step solved (several leaves per step) takes its visit as a solved leaf does, and G continues
// upwards from its exact value, as if the descent had ended there.
inline void back_up(NodeStore& store, const NodeId* path, std::size_t length,
                    NodeId leaf) noexcept {
  const auto visit = [&store](NodeId id, double& g) {
    Node& n = store[id];
    if (store.solved(id)) {
      g = n.value;
    } else {
      n.value = mean_after_visit(n.value, n.visits, g);
    }
    n.visits += 1;
  };
  NodeId below = leaf;
  std::size_t j = length;
  double g;
  if (leaf != kNoNode) {
    g = store[leaf].raw_value;
  } else {
    below = path[--j];
    g = store[below].raw_value;
    visit(below, g);
  }
  while (j > 0) {
    const Node& edge = store[below];
    g = edge_value(edge.reward, edge.discount, g);
    below = path[--j];
    visit(below, g);
  }
}

}  // namespace veltra::forest
