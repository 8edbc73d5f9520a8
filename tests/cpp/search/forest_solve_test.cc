#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "forest/forest.h"
#include "forest_helpers.h"

namespace veltra::testing {
namespace {

using forest::Forest;
using forest::kNoNode;
using forest::NodeId;
using forest::SearchConfig;

// Whether node id is solved by the rules, from its children as they stand, and with what value.
bool proven(const Forest& f, NodeId id, double value_high, double* value) {
  const float* priors = f.priors(id);
  std::size_t legal = 0;
  for (std::size_t a = 0; a < f.num_actions(); ++a) legal += forest::is_legal(priors[a]) ? 1 : 0;
  if (legal == 0) {
    *value = f.node(id).raw_value;
    return true;
  }
  double best = -std::numeric_limits<double>::infinity();
  std::size_t children = 0;
  std::size_t solved = 0;
  for (NodeId c = f.node(id).first_child; c != kNoNode; c = f.node(c).next_sibling) {
    ++children;
    if (!f.solved(c)) continue;
    ++solved;
    best =
        std::max(best, forest::edge_value(f.node(c).reward, f.node(c).discount, f.node(c).value));
  }
  *value = best;
  return best >= value_high || (children == legal && solved == legal);
}

// After searches that solve, every node is solved exactly when the rules prove it from its
// children (so nothing provable was missed), with the value they give; solved roots stop.
TEST(ForestSolveTest, SolvedNodesAreExactlyTheProvenOnes) {
  SearchConfig config;
  config.num_actions = 3;
  config.num_simulations = 300;
  config.dirichlet_fraction = 0.0;
  config.solve = true;
  HashGame game(3, 0.35, false, true);
  const std::vector<std::uint64_t> keys{1, 2, 3, 4, 5, 6, 7, 8};
  Forest f(config, game.roots(keys));
  game.adopt_roots(f, keys);
  const std::int32_t steps = f.search(game.evaluator());
  std::size_t solved_nodes = 0;
  bool every_root_solved = true;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    every_root_solved = every_root_solved && f.solved(f.root_node(i));
    std::vector<NodeId> stack{f.root_node(i)};
    while (!stack.empty()) {
      const NodeId id = stack.back();
      stack.pop_back();
      double value = 0.0;
      ASSERT_EQ(f.solved(id), proven(f, id, config.value_high, &value)) << "node " << id;
      if (f.solved(id)) {
        ++solved_nodes;
        EXPECT_EQ(f.node(id).value, value);
      }
      for (NodeId c = f.node(id).first_child; c != kNoNode; c = f.node(c).next_sibling) {
        stack.push_back(c);
      }
    }
  }
  EXPECT_GT(solved_nodes, keys.size());
  EXPECT_EQ(steps < config.num_simulations, every_root_solved);
}

}  // namespace
}  // namespace veltra::testing
