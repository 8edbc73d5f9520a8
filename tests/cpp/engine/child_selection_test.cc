#include "core/child_selection.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "core/search_tree.h"
#include "node_helpers.h"

namespace veltra::core {
namespace {

using testing::FloatHandle;
using testing::FloatNode;
using testing::record_visits;

// The rule spelled out one child at a time with Node::ucb_score: the first child strictly above
// every earlier score, starting from the lowest finite float.
const FloatNode* reference_best(const FloatNode& node, float exploration) {
  float best_score = std::numeric_limits<float>::lowest();
  const FloatNode* best = nullptr;
  for (const FloatNode& child : node.children()) {
    const float score = child.ucb_score(exploration);
    if (score > best_score) {
      best_score = score;
      best = &child;
    }
  }
  return best;
}

// Random sibling sets (several blocks of odd sizes, unvisited children, a child promoted to a
// tree's root, infinite and NaN totals) must pick exactly the child the one-at-a-time rule picks,
// whichever way the scan groups the children.
TEST(BestUcbChildTest, AgreesWithTheOneAtATimeRule) {
  std::mt19937 rng(12345);
  const std::vector<float> totals = {0.0f,
                                     -0.0f,
                                     1.0f,
                                     -1.0f,
                                     0.5f,
                                     3.25f,
                                     -7.0f,
                                     1e30f,
                                     -1e30f,
                                     std::numeric_limits<float>::infinity(),
                                     -std::numeric_limits<float>::infinity(),
                                     std::numeric_limits<float>::quiet_NaN()};
  for (int round = 0; round < 2000; ++round) {
    SearchTree<float> tree;
    FloatHandle root = tree.root();
    record_visits(*root, std::uniform_int_distribution<int>(0, 40)(rng), 0.0f);
    const int blocks = std::uniform_int_distribution<int>(1, 3)(rng);
    std::int32_t num_children = 0;
    for (int b = 0; b < blocks; ++b) {
      std::vector<std::int32_t> actions(std::uniform_int_distribution<std::size_t>(1, 11)(rng));
      std::iota(actions.begin(), actions.end(), num_children);
      num_children += static_cast<std::int32_t>(actions.size());
      root->append_children(actions.data(), actions.size(), 0.0f);
    }
    for (FloatNode& child : root->children()) {
      const int visits = std::uniform_int_distribution<int>(0, 9)(rng);
      // Mostly visited children, so that groups of four without an unvisited one are common.
      if (visits > 1) {
        const float total = totals[std::uniform_int_distribution<std::size_t>(
            0, visits > 7 ? totals.size() - 1 : 6)(rng)];
        record_visits(child, visits - 1, total);
      }
    }
    // Promoting a child detaches it from the root; a tree can do that to one child of a node.
    if (std::uniform_int_distribution<int>(0, 2)(rng) == 0) {
      tree.reroot(std::uniform_int_distribution<std::int32_t>(0, num_children - 1)(rng));
    }
    const float exploration = round % 7 == 0 ? 0.0f : 1.414f;
    ASSERT_EQ(best_ucb_child(*root, exploration), reference_best(*root, exploration))
        << "round " << round;
  }
}

}  // namespace
}  // namespace veltra::core
