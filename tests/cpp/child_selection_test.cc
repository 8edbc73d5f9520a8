#include "core/child_selection.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

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

// Random sibling sets (several blocks of odd sizes, unvisited and detached children, infinite
// and NaN totals) must pick exactly the child the one-at-a-time rule picks, whichever way the
// scan groups the children.
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
    FloatHandle root = FloatNode::make_root(-1);
    record_visits(*root, std::uniform_int_distribution<int>(0, 40)(rng), 0.0f);
    const int blocks = std::uniform_int_distribution<int>(1, 3)(rng);
    for (int b = 0; b < blocks; ++b) {
      const std::vector<std::int32_t> actions(std::uniform_int_distribution<int>(1, 11)(rng), b);
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
      if (std::uniform_int_distribution<int>(0, 30)(rng) == 0) child.detach_from_parent();
    }
    const float exploration = round % 7 == 0 ? 0.0f : 1.414f;
    ASSERT_EQ(best_ucb_child(*root, exploration), reference_best(*root, exploration))
        << "round " << round;
  }
}

}  // namespace
}  // namespace veltra::core
