#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "allocation_counter.h"
#include "forest/forest.h"
#include "forest_helpers.h"

namespace veltra::testing {
namespace {

using forest::Forest;
using forest::SearchConfig;

SearchConfig quiet_config(std::int32_t num_simulations) {
  SearchConfig config;
  config.num_actions = 4;
  config.num_simulations = num_simulations;
  config.dirichlet_fraction = 0.0;
  return config;
}

std::vector<NodeId> subtree(const Forest& f, NodeId top) {
  std::vector<NodeId> nodes{top};
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    for (NodeId c = f.node(nodes[k]).first_child; c != forest::kNoNode;
         c = f.node(c).next_sibling) {
      nodes.push_back(c);
    }
  }
  std::sort(nodes.begin(), nodes.end());
  return nodes;
}

class ForestMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    f = std::make_unique<Forest>(quiet_config(60), game.roots(keys));
    game.adopt_roots(*f, keys);
    f->search(game.evaluator());
  }

  std::int32_t most_visited(std::size_t root) const {
    std::vector<std::int64_t> moves(keys.size());
    f->select(0.0, moves.data());
    return static_cast<std::int32_t>(moves[root]);
  }

  const std::vector<std::uint64_t> keys{21, 22};
  HashGame game{4, 0.0};
  std::unique_ptr<Forest> f;
};

TEST_F(ForestMemoryTest, AdvanceKeepsTheSubtreeAndReleasesTheRest) {
  const NodeId old_root = f->root_node(0);
  const std::int32_t action = most_visited(0);
  const NodeId kept = f->child(old_root, action);
  const forest::Node before = f->node(kept);
  std::vector<NodeId> expected_released = subtree(*f, old_root);
  const std::vector<NodeId> kept_nodes = subtree(*f, kept);
  const std::size_t other_tree = subtree(*f, f->root_node(1)).size();

  std::vector<NodeId> released;
  f->advance(0, action, [&](NodeId id) { released.push_back(id); });
  std::sort(released.begin(), released.end());
  std::vector<NodeId> difference;
  std::set_difference(expected_released.begin(), expected_released.end(), kept_nodes.begin(),
                      kept_nodes.end(), std::back_inserter(difference));
  EXPECT_EQ(released, difference);
  EXPECT_EQ(f->root_node(0), kept);
  EXPECT_EQ(f->node(kept).visits, before.visits);
  EXPECT_EQ(f->node(kept).value, before.value);
  EXPECT_EQ(f->num_nodes(), kept_nodes.size() + other_tree);
}

TEST_F(ForestMemoryTest, AdvanceToAnUnexpandedChildEvaluatesItAtTheNextSearch) {
  // A fresh root has no children: its first legal action leads nowhere yet.
  f->reset(1, game.roots({keys[1]}), 0, kKeepAll);
  game.adopt_roots(*f, keys);
  std::int32_t unexpanded = 0;
  while (!forest::is_legal(f->priors(f->root_node(1))[unexpanded])) ++unexpanded;
  game.note_advance(*f, 1);
  f->advance(1, unexpanded, kKeepAll);
  EXPECT_TRUE(f->is_pending(1));
  EXPECT_EQ(f->num_nodes(), subtree(*f, f->root_node(0)).size());
  EXPECT_NE(f->move_error(1, 0), "");
  std::vector<std::int64_t> moves(2);
  f->select(0.0, moves.data());
  EXPECT_EQ(moves[1], -1);

  std::vector<Expansion> first_call;
  auto evaluate = game.evaluator();
  f->search([&](const std::vector<Expansion>& expansions, Evaluations& e) {
    if (first_call.empty()) first_call = expansions;
    evaluate(expansions, e);
  });
  ASSERT_EQ(first_call.size(), 1u);
  EXPECT_EQ(first_call[0].root, 1);
  EXPECT_EQ(first_call[0].parent, forest::kNoNode);
  EXPECT_EQ(first_call[0].action, unexpanded);
  EXPECT_EQ(f->node(f->root_node(1)).visits, 61);
}

TEST_F(ForestMemoryTest, AdvanceAllChecksEveryMoveFirst) {
  const std::size_t nodes = f->num_nodes();
  const NodeId root0 = f->root_node(0);
  const std::int64_t bad[] = {most_visited(0), 7};
  EXPECT_THROW(f->advance_all(bad, kKeepAll), std::invalid_argument);
  const std::int64_t finished_move[] = {most_visited(0), -1};  // -1 only for a finished game
  EXPECT_THROW(f->advance_all(finished_move, kKeepAll), std::invalid_argument);
  EXPECT_EQ(f->num_nodes(), nodes);
  EXPECT_EQ(f->root_node(0), root0);

  const std::int64_t good[] = {most_visited(0), most_visited(1)};
  f->advance_all(good, kKeepAll);
  EXPECT_EQ(f->node(f->root_node(0)).action, good[0]);
}

TEST_F(ForestMemoryTest, ResetReleasesTheTreeAndReusesItsNodes) {
  std::size_t released = 0;
  const std::size_t tree0 = subtree(*f, f->root_node(0)).size();
  const std::size_t capacity = f->node_capacity();
  f->reset(0, game.roots({keys[0]}), 0, [&](NodeId) { ++released; });
  EXPECT_EQ(released, tree0);
  f->reset(1, game.roots({keys[1]}), 0, kKeepAll);
  EXPECT_EQ(f->num_nodes(), 2u);

  // The same search again reuses the freed nodes instead of growing the store.
  game.adopt_roots(*f, keys);
  f->search(game.evaluator());
  EXPECT_EQ(f->node_capacity(), capacity);
}

TEST(ForestAllocationTest, DestroyingAForestFreesEverything) {
  const std::vector<std::uint64_t> keys{1, 2, 3};
  const std::int64_t baseline = live_allocations();
  {
    HashGame game(4, 0.2);
    Forest f(quiet_config(50), game.roots(keys));
    game.adopt_roots(f, keys);
    f.search(game.evaluator());
    std::vector<std::int64_t> moves(keys.size());
    f.select(0.0, moves.data());
    for (std::size_t i = 0; i < keys.size(); ++i) game.note_advance(f, i);
    f.advance_all(moves.data(), kKeepAll);
    f.search(game.evaluator());
  }
  EXPECT_EQ(live_allocations(), baseline);
}

}  // namespace
}  // namespace veltra::testing
