#include "core/search_tree.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "allocation_counter.h"
#include "core/simulation_path.h"
#include "node_helpers.h"

namespace veltra::core {
namespace {

using testing::child_actions;
using testing::child_addresses;
using testing::FloatHandle;
using testing::FloatNode;
using testing::live_allocations;
using testing::nth_child;
using testing::record_visits;
using FloatTree = SearchTree<float>;

TEST(SearchTreeTest, DefaultRootHasNoActionAndNoStatistics) {
  FloatTree tree;
  FloatHandle root = tree.root();
  EXPECT_EQ(root->action(), -1);
  EXPECT_EQ(root->visit_count(), 0);
  EXPECT_EQ(root->prior_prob(), 0.0f);
  EXPECT_EQ(root->parent(), nullptr);
  EXPECT_FALSE(root->is_expanded());
  EXPECT_EQ(tree.total_nodes(), 1);
}

TEST(SearchTreeTest, RootCarriesTheConstructorAction) {
  FloatTree tree(4);
  EXPECT_EQ(tree.root()->action(), 4);
}

TEST(SearchTreeTest, RootHandleAndRootNodeAreTheSameNode) {
  FloatTree tree;
  FloatHandle first = tree.root();
  EXPECT_EQ(first.get(), tree.root_node());
  EXPECT_EQ(tree.root().get(), first.get());
}

TEST(SearchTreeTest, TotalNodesCountsEveryReachableNode) {
  FloatTree tree;
  FloatHandle r = tree.root();
  FloatHandle a = r->add_child(1, 0.5f);
  r->add_child(2, 0.5f);
  a->add_child(3, 0.1f);
  EXPECT_EQ(tree.total_nodes(), 4);

  const std::vector<std::int32_t> actions{4, 5, 6};
  FloatNode* first = a->append_children(actions.data(), actions.size(), 0.0f);
  first->add_child(7, 0.0f);
  EXPECT_EQ(tree.total_nodes(), 8);

  a->clear_children();
  EXPECT_EQ(tree.total_nodes(), 3);
}

// Root r with children a (action 1) and b (action 2), and a's child (action 3).
class SearchTreeRerootTest : public ::testing::Test {
 protected:
  FloatTree tree;
  FloatHandle r = tree.root();
  FloatHandle a = r->add_child(1, 0.5f);
  FloatHandle b = r->add_child(2, 0.5f);
  FloatHandle a_child = a->add_child(3, 0.1f);
};

TEST_F(SearchTreeRerootTest, PromotesTheChildWithItsStatisticsAndSubtree) {
  a->update(2.0f);
  a->update(-1.0f);
  tree.reroot(1);
  EXPECT_EQ(tree.root().get(), a.get());
  EXPECT_EQ(tree.total_nodes(), 2);
  EXPECT_EQ(a->visit_count(), 2);
  EXPECT_EQ(a->mean_value(), 0.5f);
  EXPECT_EQ(a->prior_prob(), 0.5f);
  EXPECT_EQ(&a->first_child(), a_child.get());
}

TEST_F(SearchTreeRerootTest, EmptiesThePromotedParentLinkSoItScoresItsMean) {
  record_visits(*r, 10, 0.0f);
  record_visits(*a, 4, 2.0f);
  ASSERT_NE(a->ucb_score(1.414f), 0.5f);
  tree.reroot(1);
  EXPECT_EQ(a->parent(), nullptr);
  for (float c : {0.0f, 1.414f, 50.0f}) EXPECT_EQ(a->ucb_score(c), 0.5f) << "c=" << c;
  EXPECT_EQ(a_child->parent(), a.get());
}

TEST_F(SearchTreeRerootTest, FormerRootStillListsThePromotedChild) {
  record_visits(*r, 3, -1.5f);
  tree.reroot(1);
  EXPECT_TRUE(r->is_expanded());
  EXPECT_EQ(child_addresses(*r), (std::vector<const FloatNode*>{a.get(), b.get()}));
  EXPECT_EQ(r->visit_count(), 3);
  EXPECT_EQ(r->total_value(), -1.5f);
}

TEST_F(SearchTreeRerootTest, PromotesTheFirstOfSeveralMatchingChildren) {
  FloatHandle later = r->add_child(1, 0.5f);
  tree.reroot(1);
  EXPECT_EQ(tree.root().get(), a.get());
  EXPECT_NE(tree.root().get(), later.get());
}

TEST_F(SearchTreeRerootTest, MissingActionGivesAFreshRoot) {
  record_visits(*r, 2, 1.0f);
  tree.reroot(9);
  FloatHandle root = tree.root();
  EXPECT_EQ(root->action(), 9);
  EXPECT_EQ(root->visit_count(), 0);
  EXPECT_EQ(root->total_value(), 0.0f);
  EXPECT_FALSE(root->is_expanded());
  EXPECT_EQ(tree.total_nodes(), 1);
  EXPECT_EQ(r->visit_count(), 2);
  EXPECT_EQ(child_actions(*r), (std::vector<std::int32_t>{1, 2}));
}

TEST_F(SearchTreeRerootTest, FollowsAPathDownOverSeveralCalls) {
  a_child->update(0.75f);
  tree.reroot(1);
  tree.reroot(3);
  EXPECT_EQ(tree.root().get(), a_child.get());
  EXPECT_EQ(tree.root()->total_value(), 0.75f);
  EXPECT_EQ(tree.total_nodes(), 1);
}

TEST(SearchTreeOwnershipTest, RerootWorksOnNodesNobodyHolds) {
  const std::int64_t baseline = live_allocations();
  {
    FloatTree tree;
    const std::vector<std::int32_t> actions{1, 2};
    tree.root_node()->append_children(actions.data(), actions.size(), 0.0f);
    FloatNode* second = &nth_child(*tree.root_node(), 1);
    record_visits(*second, 3, 1.5f);
    second->add_child(5, 0.0f);

    tree.reroot(2);
    EXPECT_EQ(tree.root_node(), second);
    EXPECT_EQ(tree.root_node()->visit_count(), 3);
    EXPECT_EQ(tree.root_node()->total_value(), 1.5f);
    EXPECT_EQ(tree.total_nodes(), 2);
  }
  EXPECT_EQ(live_allocations(), baseline);
}

TEST(SearchTreeOwnershipTest, RerootFreesTheFormerRootAndItsOtherBranches) {
  FloatTree tree;
  {
    FloatHandle r = tree.root();
    r->add_child(1, 0.0f);
    r->add_child(2, 0.0f)->add_child(5, 0.0f);
  }
  const std::int64_t before = live_allocations();
  tree.reroot(1);
  EXPECT_LT(live_allocations(), before);
  EXPECT_EQ(tree.total_nodes(), 1);
}

TEST(SearchTreeClearTest, GivesAFreshRootWithNoAction) {
  FloatTree tree(4);
  tree.root()->add_child(1, 0.0f)->add_child(2, 0.0f);
  tree.root()->update(1.0f);
  tree.clear();
  EXPECT_EQ(tree.root()->action(), -1);
  EXPECT_EQ(tree.root()->visit_count(), 0);
  EXPECT_EQ(tree.total_nodes(), 1);
}

TEST(SearchTreeClearTest, HeldFormerRootKeepsItsStatisticsAndChildren) {
  FloatTree tree;
  FloatHandle old_root = tree.root();
  old_root->add_child(1, 0.0f);
  record_visits(*old_root, 2, 3.0f);
  tree.clear();
  EXPECT_NE(tree.root().get(), old_root.get());
  EXPECT_EQ(old_root->visit_count(), 2);
  EXPECT_EQ(old_root->total_value(), 3.0f);
  EXPECT_TRUE(old_root->is_expanded());
  EXPECT_EQ(child_actions(*old_root), std::vector<std::int32_t>{1});
}

TEST(SearchTreeClearTest, FreesTheFormerTreeWhenNobodyHoldsIt) {
  const std::int64_t baseline = live_allocations();
  FloatTree tree;
  const std::int64_t fresh_tree = live_allocations() - baseline;
  tree.root()->add_child(1, 0.0f)->add_child(2, 0.0f);
  tree.root()->add_child(3, 0.0f);
  tree.clear();
  EXPECT_EQ(live_allocations() - baseline, fresh_tree);
}

// A chain of a million nodes below a tree's root: counting, backing up and freeing it must not
// recurse once per level.
class DeepChainTest : public ::testing::Test {
 protected:
  static constexpr std::int64_t kDepth = 1'000'000;

  // Appends kDepth nodes in a single line below `node` and returns the deepest.
  static FloatNode* grow_chain(FloatNode* node) {
    for (std::int64_t i = 0; i < kDepth; ++i) {
      const auto action = static_cast<std::int32_t>(i);
      node = node->append_children(&action, 1, 0.0f);
    }
    return node;
  }

  std::int64_t baseline_ = live_allocations();
};

TEST_F(DeepChainTest, TreeCountsAndFreesTheChain) {
  {
    FloatTree tree;
    FloatNode* tip = grow_chain(tree.root_node());
    EXPECT_EQ(tip->action(), kDepth - 1);
    EXPECT_EQ(tree.total_nodes(), kDepth + 1);
  }
  EXPECT_EQ(live_allocations(), baseline_);
}

TEST_F(DeepChainTest, ClearChildrenFreesTheChain) {
  {
    FloatHandle root = FloatNode::make_root(-1);
    grow_chain(root.get());
    root->clear_children();
    EXPECT_FALSE(root->is_expanded());
  }
  EXPECT_EQ(live_allocations(), baseline_);
}

TEST_F(DeepChainTest, HandleToTheTipKeepsTheWholeChainAfterClear) {
  {
    FloatTree tree;
    FloatHandle old_root = tree.root();
    FloatHandle tip(grow_chain(tree.root_node()));
    tree.clear();
    old_root = FloatHandle();

    std::int64_t ancestors = 0;
    const FloatNode* top = tip.get();
    for (; top->parent() != nullptr; top = top->parent()) ++ancestors;
    EXPECT_EQ(ancestors, kDepth);
    EXPECT_EQ(top->action(), -1);
  }
  EXPECT_EQ(live_allocations(), baseline_);
}

TEST_F(DeepChainTest, BackpropagationReachesTheRootWithAlternatingSign) {
  {
    FloatTree tree;
    const FloatNode* tip = grow_chain(tree.root_node());
    SimulationPath<float> path;
    path.start(tree.root_node());
    while (path.leaf() != tip) path.descend(&path.leaf()->first_child());
    path.hold_leaf();
    path.backpropagate(1.0f);
    // The root lies an even number of levels above the tip.
    EXPECT_EQ(tree.root_node()->total_value(), 1.0f);
    EXPECT_EQ(tree.root_node()->first_child().total_value(), -1.0f);
    EXPECT_EQ(tree.root_node()->visit_count(), 1);
  }
  EXPECT_EQ(live_allocations(), baseline_);
}

}  // namespace
}  // namespace veltra::core
