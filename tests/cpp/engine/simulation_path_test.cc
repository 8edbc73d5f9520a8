#include "core/simulation_path.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "allocation_counter.h"
#include "core/search_tree.h"
#include "node_helpers.h"

namespace veltra::core {
namespace {

using testing::Chain;
using testing::FloatHandle;
using testing::FloatNode;
using testing::live_allocations;
using Path = SimulationPath<float>;

// Records the path from the chain's root down to c.
void record(const Chain& chain, Path& path) {
  path.start(chain.root.get());
  path.descend(chain.a.get());
  path.descend(chain.b.get());
  path.descend(chain.c.get());
}

class SimulationPathTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(live_allocations(), baseline_) << "nodes leaked"; }

  const std::int64_t baseline_ = live_allocations();
};

TEST_F(SimulationPathTest, BackupAlternatesTheSignUpToTheRoot) {
  Chain chain;
  Path path;
  record(chain, path);
  path.hold_leaf();
  path.backpropagate(2.0f);
  EXPECT_EQ(chain.c->total_value(), 2.0f);
  EXPECT_EQ(chain.b->total_value(), -2.0f);
  EXPECT_EQ(chain.a->total_value(), 2.0f);
  EXPECT_EQ(chain.root->total_value(), -2.0f);
  for (const FloatHandle* node : {&chain.root, &chain.a, &chain.b, &chain.c}) {
    EXPECT_EQ((*node)->visit_count(), 1);
  }
  EXPECT_EQ(chain.s->visit_count(), 0);
}

TEST_F(SimulationPathTest, HeldPathOutlivesEveryHandleAndIsFreedByTheBackup) {
  Path path;
  {
    Chain chain;
    record(chain, path);
    path.hold_leaf();
  }
  // Only the path's hold keeps the chain: reading it is still valid.
  EXPECT_GT(live_allocations(), baseline_);
  EXPECT_EQ(path.leaf()->parent()->parent()->action(), 1);
  path.backpropagate(1.0f);
}

TEST_F(SimulationPathTest, DestroyedWhileHeldGivesTheHoldBack) {
  // What happens when a callback throws between hold and backup.
  auto path = std::make_unique<Path>();
  {
    Chain chain;
    record(chain, *path);
    path->hold_leaf();
  }
  EXPECT_GT(live_allocations(), baseline_);
  path.reset();
}

TEST_F(SimulationPathTest, HandlesTakenDuringTheSimulationKeepTheirNodesAndAncestors) {
  // A callback takes handles to a node in the middle of the path and to the leaf, then every
  // other handle goes: after the backup those nodes and their ancestors must survive, intact.
  FloatHandle middle;
  FloatHandle leaf;
  {
    Chain chain;
    Path path;
    record(chain, path);
    path.hold_leaf();
    middle = chain.a;
    leaf = chain.c;
    chain = Chain();  // drops the old chain's handles
    path.backpropagate(3.0f);
  }
  ASSERT_EQ(leaf->parent()->parent(), middle.get());
  EXPECT_EQ(leaf->total_value(), 3.0f);
  EXPECT_EQ(middle->total_value(), 3.0f);
  ASSERT_NE(middle->parent(), nullptr);
  EXPECT_EQ(middle->parent()->total_value(), -3.0f);
  EXPECT_EQ(middle->parent()->visit_count(), 1);
  middle = FloatHandle();
  EXPECT_EQ(leaf->parent()->parent()->parent()->visit_count(), 1);
}

TEST_F(SimulationPathTest, NewChildTakesOverTheHold) {
  Path path;
  FloatNode* first = nullptr;
  {
    Chain chain;
    record(chain, path);
    path.hold_leaf();
    const std::int32_t actions[] = {5, 6};
    first = chain.c->append_children(actions, 2, 0.0f);
    path.pass_hold_to_new_child(first);
  }
  EXPECT_EQ(path.leaf(), first);
  // The new child and its ancestors stay alive on the path's hold alone.
  EXPECT_EQ(first->parent()->action(), 3);
  path.backpropagate(1.0f);
}

TEST_F(SimulationPathTest, BackupStopsAtANodeATreePromotedMeanwhile) {
  auto tree = std::make_shared<SearchTree<float>>();
  FloatNode* root = tree->root_node();
  FloatNode* a = root->add_child(1, 0.0f).get();
  FloatNode* b = a->add_child(2, 0.0f).get();
  Path path;
  path.start(root);
  path.descend(a);
  path.descend(b);
  path.hold_leaf();
  // A callback promotes `a`: the old root loses its last owner and its hold from `a`, and is
  // freed; the backup must not reach it.
  tree->reroot(1);
  ASSERT_EQ(tree->root_node(), a);
  path.backpropagate(1.0f);
  EXPECT_EQ(b->total_value(), 1.0f);
  EXPECT_EQ(a->total_value(), -1.0f);
  EXPECT_EQ(a->visit_count(), 1);
  tree.reset();
}

TEST_F(SimulationPathTest, NodeHeldFromOutsideKeepsItsHoldAfterTheBackup) {
  FloatHandle root = FloatNode::make_root(-1);
  FloatHandle a = root->add_child(1, 0.0f);
  FloatNode* raw_a = a.get();
  Path path;
  path.start(root.get());
  path.descend(raw_a);
  path.hold_leaf();
  path.backpropagate(1.0f);
  // The path's hold is gone and the handles' remain: dropping the root handle frees nothing.
  root = FloatHandle();
  EXPECT_EQ(raw_a->parent()->visit_count(), 1);
}

}  // namespace
}  // namespace veltra::core
