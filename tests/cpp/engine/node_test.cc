#include "core/node.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <utility>
#include <vector>

#include "allocation_counter.h"
#include "core/visit_statistics.h"
#include "node_helpers.h"

namespace veltra::core {
namespace {

using testing::Chain;
using testing::child_actions;
using testing::child_addresses;
using testing::FloatHandle;
using testing::FloatNode;
using testing::live_allocations;
using testing::record_visits;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// sqrt(ln(10) / 4) * 1.414 in single precision.
constexpr float kExplorationTenOverFour = 1.0728210f;

TEST(NodeTest, MakeRootGivesParentlessNodeWithoutStatistics) {
  FloatHandle node = FloatNode::make_root(7, 0.25f);
  EXPECT_EQ(node->action(), 7);
  EXPECT_EQ(node->prior_prob(), 0.25f);
  EXPECT_EQ(node->extra_visits(), 0);
  EXPECT_EQ(node->visit_count(), 0);
  EXPECT_EQ(node->total_value(), 0.0f);
  EXPECT_EQ(node->mean_value(), 0.0f);
  EXPECT_EQ(node->parent(), nullptr);
  EXPECT_FALSE(node->is_expanded());
  EXPECT_TRUE(node->children().begin() == node->children().end());
}

TEST(NodeTest, UnvisitedNodeScoresPositiveInfinityForAnyExploration) {
  FloatHandle root = FloatNode::make_root(-1);
  FloatHandle child = root->add_child(1, 0.5f);
  for (float c : {0.0f, 1.414f, -3.0f, kNaN}) {
    EXPECT_EQ(root->ucb_score(c), kInf) << "c=" << c;
    EXPECT_EQ(child->ucb_score(c), kInf) << "c=" << c;
  }
}

TEST(NodeUpdateTest, AddsOneVisitAndTheValue) {
  FloatHandle node = FloatNode::make_root(0);
  node->update(1.0f);
  node->update(1.0f);
  node->update(-0.5f);
  EXPECT_EQ(node->visit_count(), 3);
  EXPECT_EQ(node->total_value(), 1.5f);
  EXPECT_EQ(node->mean_value(), 0.5f);
}

TEST(NodeUpdateTest, MeanOfTwoUpdatesOfTwoIsTwo) {
  FloatHandle node = FloatNode::make_root(0);
  node->update(2.0f);
  node->update(2.0f);
  EXPECT_EQ(node->mean_value(), 2.0f);
}

TEST(NodeUpdateTest, AccumulatesInSinglePrecision) {
  // Each 1.0 is below half an ulp of 1e8 in float and is lost; a wider accumulator would keep it.
  FloatHandle node = FloatNode::make_root(0);
  node->update(1e8f);
  for (int i = 0; i < 10; ++i) node->update(1.0f);
  EXPECT_EQ(node->total_value(), 1e8f);
  EXPECT_EQ(node->visit_count(), 11);
}

TEST(VisitStatisticsTest, VisitCountSaturatesAtInt32MaxWhileTheTotalGrows) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  VisitStatistics stats{kMax - 1, 1.0f};
  stats.add(2.0f);
  EXPECT_EQ(stats.visit_count, kMax);
  stats.add(0.5f);
  EXPECT_EQ(stats.visit_count, kMax);
  EXPECT_EQ(stats.total_value, 3.5f);
  EXPECT_EQ(stats.mean(), 3.5f / static_cast<float>(kMax));
}

TEST(NodeUcbScoreTest, ParentlessNodeScoresItsMeanForAnyExploration) {
  FloatHandle root = FloatNode::make_root(0);
  record_visits(*root, 4, 2.0f);
  for (float c : {0.0f, 1.414f, 1000.0f, -5.0f, kInf}) {
    EXPECT_EQ(root->ucb_score(c), 0.5f) << "c=" << c;
  }
}

TEST(NodeUcbScoreTest, ChildAddsExplorationAgainstItsParentsVisits) {
  FloatHandle parent = FloatNode::make_root(0);
  record_visits(*parent, 10, 0.0f);
  FloatHandle child = parent->add_child(1, 0.0f);
  record_visits(*child, 4, 2.0f);
  EXPECT_FLOAT_EQ(child->ucb_score(1.414f), kExplorationTenOverFour + 0.5f);
  EXPECT_FLOAT_EQ(child->ucb_score(-1.414f), 0.5f - kExplorationTenOverFour);
  EXPECT_EQ(child->ucb_score(0.0f), 0.5f);
}

TEST(NodeUcbScoreTest, ParentWithOneVisitLeavesTheMean) {
  FloatHandle parent = FloatNode::make_root(0);
  parent->update(0.0f);
  FloatHandle child = parent->add_child(1, 0.0f);
  record_visits(*child, 3, 1.5f);
  EXPECT_EQ(child->ucb_score(1.414f), 0.5f);
  EXPECT_EQ(child->ucb_score(100.0f), 0.5f);
}

TEST(NodeUcbScoreTest, ParentWithoutVisitsGivesNaN) {
  FloatHandle parent = FloatNode::make_root(0);
  FloatHandle child = parent->add_child(1, 0.0f);
  child->update(1.0f);
  EXPECT_TRUE(std::isnan(child->ucb_score(1.414f)));
}

TEST(NodeUcbScoreTest, ReadsTheParentsVisitsAtEveryCall) {
  FloatHandle parent = FloatNode::make_root(0);
  parent->update(0.0f);
  FloatHandle child = parent->add_child(1, 0.0f);
  record_visits(*child, 4, 2.0f);
  ASSERT_EQ(child->ucb_score(1.414f), 0.5f);
  record_visits(*parent, 9, 0.0f);
  EXPECT_FLOAT_EQ(child->ucb_score(1.414f), kExplorationTenOverFour + 0.5f);
}

TEST(NodeChildrenTest, AddChildAppendsChildWithPriorAndNoStatistics) {
  FloatHandle root = FloatNode::make_root(-1);
  FloatHandle child = root->add_child(3, 0.4f);
  EXPECT_TRUE(root->is_expanded());
  EXPECT_FALSE(child->is_expanded());
  EXPECT_EQ(child->action(), 3);
  EXPECT_EQ(child->prior_prob(), 0.4f);
  EXPECT_EQ(child->parent(), root.get());
  EXPECT_EQ(child->visit_count(), 0);
  EXPECT_EQ(child->total_value(), 0.0f);
  EXPECT_EQ(&root->first_child(), child.get());
}

TEST(NodeChildrenTest, ChildrenKeepInsertionOrderAcrossExpansions) {
  FloatHandle root = FloatNode::make_root(-1);
  const std::vector<std::int32_t> block_a{2, 3, 4};
  const std::vector<std::int32_t> block_b{6, 7};
  root->add_child(1, 0.0f);
  FloatNode* first_of_a = root->append_children(block_a.data(), block_a.size(), 0.0f);
  root->add_child(5, 0.0f);
  root->append_children(block_b.data(), block_b.size(), 0.0f);

  EXPECT_EQ(child_actions(*root), (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(child_addresses(*root)[1], first_of_a);
  EXPECT_EQ(root->first_child().action(), 1);
  std::vector<std::int32_t> visited;
  root->for_each_child([&](FloatNode& child) { visited.push_back(child.action()); });
  EXPECT_EQ(visited, child_actions(*root));
  const auto children = root->children();
  EXPECT_EQ(std::distance(children.begin(), children.end()), 7);
  const auto five = std::find_if(children.begin(), children.end(),
                                 [](const FloatNode& child) { return child.action() == 5; });
  ASSERT_NE(five, children.end());
  EXPECT_EQ(child_addresses(*root)[4], &*five);
  // The stop signal: returning true ends the walk early.
  visited.clear();
  root->for_each_child([&](FloatNode& child) {
    visited.push_back(child.action());
    return child.action() == 3;
  });
  EXPECT_EQ(visited, (std::vector<std::int32_t>{1, 2, 3}));
}

TEST(NodeChildrenTest, AppendChildrenGivesEveryChildThePriorAndParent) {
  FloatHandle root = FloatNode::make_root(-1);
  const std::vector<std::int32_t> actions{8, 9};
  root->append_children(actions.data(), actions.size(), 0.25f);
  for (const FloatNode& child : root->children()) {
    EXPECT_EQ(child.prior_prob(), 0.25f);
    EXPECT_EQ(child.parent(), root.get());
    EXPECT_EQ(child.visit_count(), 0);
  }
}

TEST(NodeChildrenTest, AppendingAnEmptyListAddsNothing) {
  FloatHandle root = FloatNode::make_root(-1);
  EXPECT_EQ(root->append_children(nullptr, 0, 0.0f), nullptr);
  EXPECT_FALSE(root->is_expanded());
  root->add_child(1, 0.0f);
  EXPECT_EQ(root->append_children(nullptr, 0, 0.0f), nullptr);
  EXPECT_EQ(child_actions(*root), std::vector<std::int32_t>{1});
}

TEST(NodeChildrenTest, DuplicateActionsGiveDistinctChildren) {
  FloatHandle root = FloatNode::make_root(-1);
  FloatHandle first = root->add_child(5, 0.5f);
  FloatHandle second = root->add_child(5, 0.5f);
  EXPECT_NE(first.get(), second.get());
  EXPECT_EQ(child_actions(*root), (std::vector<std::int32_t>{5, 5}));
  first->update(1.0f);
  EXPECT_EQ(second->visit_count(), 0);
}

TEST(NodeClearChildrenTest, LeavesNodeUnexpandedAndReadyForNewChildren) {
  FloatHandle root = FloatNode::make_root(-1);
  root->add_child(1, 0.0f);
  root->add_child(2, 0.0f);
  root->clear_children();
  EXPECT_FALSE(root->is_expanded());
  EXPECT_TRUE(root->children().begin() == root->children().end());
  root->add_child(3, 0.0f);
  EXPECT_EQ(child_actions(*root), std::vector<std::int32_t>{3});
}

TEST(NodeClearChildrenTest, HeldFormerChildKeepsStatisticsAndScoresAgainstItsParent) {
  FloatHandle root = FloatNode::make_root(-1);
  record_visits(*root, 10, 0.0f);
  FloatHandle kept = root->add_child(1, 0.0f);
  root->add_child(2, 0.0f);
  record_visits(*kept, 4, 2.0f);
  kept->add_child(3, 0.0f);

  root->clear_children();

  EXPECT_EQ(kept->parent(), root.get());
  EXPECT_EQ(kept->visit_count(), 4);
  EXPECT_EQ(kept->total_value(), 2.0f);
  EXPECT_TRUE(kept->is_expanded());
  EXPECT_FLOAT_EQ(kept->ucb_score(1.414f), kExplorationTenOverFour + 0.5f);
  kept->add_child(4, 0.0f);
  EXPECT_EQ(child_actions(*kept), (std::vector<std::int32_t>{3, 4}));
}

TEST(NodeClearChildrenTest, FreesUnheldSubtreesAtOnce) {
  FloatHandle root = FloatNode::make_root(-1);
  const std::int64_t baseline = live_allocations();
  {
    FloatHandle child = root->add_child(1, 0.0f);
    const std::vector<std::int32_t> actions{1, 2, 3};
    child->append_children(actions.data(), actions.size(), 0.0f)->add_child(4, 0.0f);
    root->add_child(2, 0.0f);
  }
  EXPECT_GT(live_allocations(), baseline);
  root->clear_children();
  EXPECT_EQ(live_allocations(), baseline);
}

TEST(NodeClearChildrenTest, HeldFormerChildIsFreedWithItsLastHandle) {
  FloatHandle root = FloatNode::make_root(-1);
  const std::int64_t baseline = live_allocations();
  FloatHandle kept = root->add_child(1, 0.0f);
  kept->add_child(2, 0.0f);
  root->clear_children();
  EXPECT_GT(live_allocations(), baseline);
  kept = FloatHandle();
  EXPECT_EQ(live_allocations(), baseline);
}

TEST(NodeOwnershipTest, HandleToDeepNodeKeepsAncestorsAndTheirStatistics) {
  const std::int64_t baseline = live_allocations();
  FloatHandle deep;
  {
    Chain chain;
    record_visits(*chain.root, 6, 3.0f);
    record_visits(*chain.a, 4, -2.0f);
    record_visits(*chain.s, 2, 1.0f);
    deep = chain.c;
  }
  FloatNode* b = deep->parent();
  ASSERT_NE(b, nullptr);
  FloatNode* a = b->parent();
  ASSERT_NE(a, nullptr);
  FloatNode* root = a->parent();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(b->action(), 2);
  EXPECT_EQ(a->action(), 1);
  EXPECT_EQ(a->visit_count(), 4);
  EXPECT_EQ(a->total_value(), -2.0f);
  EXPECT_EQ(root->visit_count(), 6);
  EXPECT_EQ(root->total_value(), 3.0f);
  EXPECT_EQ(root->parent(), nullptr);
  EXPECT_EQ(child_actions(*root), (std::vector<std::int32_t>{1, 9}));
  EXPECT_EQ(child_addresses(*root)[1]->total_value(), 1.0f);

  deep = FloatHandle();
  EXPECT_EQ(live_allocations(), baseline);
}

TEST(NodeOwnershipTest, TreeIsFreedWhenTheLastHandleGoes) {
  const std::int64_t baseline = live_allocations();
  FloatHandle last;
  {
    Chain chain;
    last = chain.b;
  }
  EXPECT_GT(live_allocations(), baseline);
  FloatHandle copy = last;
  last = FloatHandle();
  EXPECT_EQ(copy->action(), 2);
  EXPECT_GT(live_allocations(), baseline);
  copy = FloatHandle();
  EXPECT_EQ(live_allocations(), baseline);
}

TEST(NodeOwnershipTest, MovedAndReleasedHandlesKeepTheirHold) {
  const std::int64_t baseline = live_allocations();
  {
    FloatHandle root = FloatNode::make_root(4);
    FloatHandle moved = std::move(root);
    EXPECT_FALSE(root);  // NOLINT(bugprone-use-after-move): a moved-from handle is empty
    FloatNode* raw = moved.release();
    EXPECT_FALSE(moved);
    EXPECT_EQ(raw->action(), 4);
    FloatHandle adopted = FloatHandle::adopt(raw);
    EXPECT_EQ(adopted.get(), raw);
    EXPECT_GT(live_allocations(), baseline);
  }
  EXPECT_EQ(live_allocations(), baseline);
}

}  // namespace
}  // namespace veltra::core
