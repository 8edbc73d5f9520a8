#pragma once

#include <cstdint>

namespace veltra::forest {

// Nodes are addressed by their index in the forest's node store.
using NodeId = std::int32_t;
inline constexpr NodeId kNoNode = -1;

// One position of a search tree. Its priors (which also mark its legal actions) live in a row
// of the node store; the state object the caller associates with it lives with the caller.
struct Node {
  double value;         // V: the mean of the evaluated value and every value backed up through it
  double raw_value;     // v0: the value the evaluation gave
  double reward;        // r of the edge from the parent (unused at a root)
  double discount;      // gamma of the edge from the parent (unused at a root)
  std::int32_t visits;  // N: 1 when created, plus one per backup through the node
  std::int32_t action;  // the action leading here from the parent
  NodeId first_child;   // child with the lowest action, or kNoNode
  NodeId next_sibling;  // next child of the parent by increasing action; free-list link once freed
};

static_assert(sizeof(Node) <= 48, "a node must fit 48 bytes besides its priors and its state");

// What a selection rule chooses at a node.
struct Choice {
  std::int32_t action;  // -1 at a node without legal action
  NodeId child;         // kNoNode if the chosen action has no child yet
};

}  // namespace veltra::forest
