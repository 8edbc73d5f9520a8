#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <utility>

#include "core/search_tree.h"
#include "node_helpers.h"
#include "policies/policy_weighted_ucb.h"
#include "policies/selection_policy.h"
#include "policies/ucb_selection.h"

namespace veltra::policies {
namespace {

using testing::FloatHandle;
using testing::FloatNode;
using testing::record_visits;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kLowest = std::numeric_limits<float>::lowest();
constexpr float kSqrt2 = 1.41421356f;

// A root whose visit count is set by the test, and helpers to give it children with statistics.
class SelectionTest : public ::testing::Test {
 protected:
  FloatHandle visited_child(std::int32_t visits, float total, float prior = 0.0f) {
    FloatHandle child = root->add_child(next_action++, prior);
    if (visits > 0) record_visits(*child, visits, total);
    return child;
  }
  FloatHandle unvisited_child(float prior = 0.0f) { return visited_child(0, 0.0f, prior); }

  FloatHandle root = FloatNode::make_root(-1);
  std::int32_t next_action = 0;
};

using UcbSelectionTest = SelectionTest;

TEST_F(UcbSelectionTest, ChoosesTheChildWithTheHighestScore) {
  record_visits(*root, 10, 0.0f);
  FloatHandle first = visited_child(4, 2.0f);
  FloatHandle second = visited_child(1, 0.2f);
  FloatHandle third = visited_child(5, 4.0f);
  EXPECT_FLOAT_EQ(first->ucb_score(1.414f), 1.5728210f);
  EXPECT_FLOAT_EQ(second->ucb_score(1.414f), 2.3456421f);
  EXPECT_FLOAT_EQ(third->ucb_score(1.414f), 1.7595603f);
  EXPECT_EQ(UCBSelection<float>().select(root).get(), second.get());
}

TEST_F(UcbSelectionTest, ZeroExplorationChoosesTheHighestMean) {
  record_visits(*root, 10, 0.0f);
  visited_child(4, 2.0f);
  visited_child(1, 0.2f);
  FloatHandle best_mean = visited_child(5, 4.0f);
  EXPECT_EQ(UCBSelection<float>(0.0f).select(root).get(), best_mean.get());
}

TEST_F(UcbSelectionTest, FirstUnvisitedChildWins) {
  record_visits(*root, 5, 0.0f);
  visited_child(3, 30.0f);
  FloatHandle first_unvisited = unvisited_child();
  unvisited_child();
  EXPECT_EQ(UCBSelection<float>().select(root).get(), first_unvisited.get());
}

TEST_F(UcbSelectionTest, AllUnvisitedChoosesTheFirstChild) {
  FloatHandle first = unvisited_child();
  unvisited_child();
  EXPECT_EQ(UCBSelection<float>().select(root).get(), first.get());
}

TEST_F(UcbSelectionTest, ParentWithOneVisitChoosesTheHighestMean) {
  root->update(0.0f);
  visited_child(2, 1.0f);
  FloatHandle best_mean = visited_child(3, 2.4f);
  visited_child(1, 0.7f);
  EXPECT_EQ(UCBSelection<float>(100.0f).select(root).get(), best_mean.get());
}

TEST_F(UcbSelectionTest, ParentWithoutVisitsGivesNoChoice) {
  visited_child(1, 1.0f);
  visited_child(2, 5.0f);
  EXPECT_EQ(UCBSelection<float>().select(root).get(), root.get());
}

TEST_F(UcbSelectionTest, NaNScoreLosesToAnyFiniteScore) {
  record_visits(*root, 10, 0.0f);
  visited_child(1, kNaN);
  FloatHandle finite = visited_child(1, -100.0f);
  EXPECT_EQ(UCBSelection<float>().select(root).get(), finite.get());
}

TEST_F(UcbSelectionTest, MinusInfinityAndTheLowestFloatNeverWin) {
  root->update(0.0f);
  visited_child(1, -kInf);
  visited_child(1, kLowest);
  EXPECT_EQ(UCBSelection<float>().select(root).get(), root.get());
}

TEST_F(UcbSelectionTest, PromotedChildScoresItsMeanFromTheFormerRoot) {
  core::SearchTree<float> tree;
  FloatHandle former_root = tree.root();
  record_visits(*former_root, 10, 0.0f);
  FloatHandle promoted = former_root->add_child(1, 0.0f);
  FloatHandle sibling = former_root->add_child(2, 0.0f);
  record_visits(*promoted, 1, 0.9f);  // 3.0456 with its exploration term, 0.9 without
  record_visits(*sibling, 5, 4.0f);   // 1.7596
  ASSERT_EQ(UCBSelection<float>().select(former_root).get(), promoted.get());
  tree.reroot(1);
  EXPECT_EQ(UCBSelection<float>().select(former_root).get(), sibling.get());
}

TEST_F(UcbSelectionTest, DefaultConstantIsSinglePrecision1414) {
  record_visits(*root, 3, 0.0f);
  // With c = 1.414 the first child scores 1.4820800 and the second 1.4821675; with c = sqrt(2)
  // they score 1.4823037 and 1.4821745.
  FloatHandle exploring = visited_child(1, 0.0f);
  FloatHandle exploiting = visited_child(1000, 1435.3f);
  EXPECT_EQ(UCBSelection<float>().select(root).get(), exploiting.get());
  EXPECT_EQ(UCBSelection<float>(kSqrt2).select(root).get(), exploring.get());
}

using PolicyWeightedUcbTest = SelectionTest;

TEST_F(PolicyWeightedUcbTest, ChoosesTheChildWithTheHighestScore) {
  record_visits(*root, 9, 0.0f);
  visited_child(2, 1.0f, 0.5f);              // 1.2070
  FloatHandle best = unvisited_child(0.3f);  // 1.2726
  visited_child(4, 3.0f, 0.2f);              // 0.91968
  EXPECT_EQ(PolicyWeightedUCB<float>().select(root).get(), best.get());
}

TEST_F(PolicyWeightedUcbTest, UnvisitedChildGetsNoUnboundedBonus) {
  root->update(0.0f);
  FloatHandle strong = visited_child(1, 5.0f, 0.1f);
  unvisited_child(0.1f);
  EXPECT_EQ(PolicyWeightedUCB<float>().select(root).get(), strong.get());
}

TEST_F(PolicyWeightedUcbTest, HigherPriorWinsAmongUnvisitedChildren) {
  record_visits(*root, 4, 0.0f);
  unvisited_child(0.2f);
  FloatHandle likely = unvisited_child(0.6f);
  EXPECT_EQ(PolicyWeightedUCB<float>().select(root).get(), likely.get());
}

TEST_F(PolicyWeightedUcbTest, ParentWithoutVisitsCountsAsOneVisit) {
  // sqrt(max(0, 1)) = 1: the unvisited child scores 0.4 * 1.414 = 0.5656 > 0.5.
  visited_child(1, 0.5f);
  FloatHandle explored = unvisited_child(0.4f);
  EXPECT_EQ(PolicyWeightedUCB<float>().select(root).get(), explored.get());
}

TEST_F(PolicyWeightedUcbTest, ChildrenWithoutPriorScoreTheirMean) {
  record_visits(*root, 7, 0.0f);
  visited_child(1, -0.5f);
  FloatHandle unvisited = unvisited_child();
  visited_child(2, -0.2f);
  EXPECT_EQ(PolicyWeightedUCB<float>().select(root).get(), unvisited.get());
}

TEST_F(PolicyWeightedUcbTest, ZeroConstantChoosesTheHighestMean) {
  record_visits(*root, 9, 0.0f);
  visited_child(2, 1.0f, 0.9f);
  FloatHandle best_mean = visited_child(1, 0.8f, 0.1f);
  unvisited_child(0.9f);
  EXPECT_EQ(PolicyWeightedUCB<float>(0.0f).select(root).get(), best_mean.get());
}

TEST_F(PolicyWeightedUcbTest, DefaultConstantIsSinglePrecision1414) {
  root->update(0.0f);
  // The unvisited child scores c: 1.41400003 for the default, 1.41421354 for sqrt(2).
  FloatHandle by_prior = unvisited_child(1.0f);
  FloatHandle by_mean = visited_child(1, 1.4141f);
  EXPECT_EQ(PolicyWeightedUCB<float>().select(root).get(), by_mean.get());
  EXPECT_EQ(PolicyWeightedUCB<float>(kSqrt2).select(root).get(), by_prior.get());
}

// What both rules share, checked through the base class.
struct PolicyCase {
  std::string name;
  std::shared_ptr<SelectionPolicy<float>> (*make)();
};

void PrintTo(const PolicyCase& policy_case, std::ostream* out) { *out << policy_case.name; }

class EverySelectionPolicyTest : public SelectionTest,
                                 public ::testing::WithParamInterface<PolicyCase> {
 protected:
  FloatHandle select(FloatHandle node) const { return GetParam().make()->select(std::move(node)); }
};

TEST_P(EverySelectionPolicyTest, EmptyHandleGivesEmptyHandle) {
  EXPECT_FALSE(select(FloatHandle()));
}

TEST_P(EverySelectionPolicyTest, LeafReturnsItself) {
  record_visits(*root, 3, 1.0f);
  EXPECT_EQ(select(root).get(), root.get());
}

TEST_P(EverySelectionPolicyTest, TiesGoToTheEarlierChild) {
  record_visits(*root, 10, 0.0f);
  visited_child(1, -1.0f, 0.5f);
  FloatHandle earlier = visited_child(2, 1.0f, 0.5f);
  visited_child(2, 1.0f, 0.5f);
  EXPECT_EQ(select(root).get(), earlier.get());
}

TEST_P(EverySelectionPolicyTest, OnlyNaNScoresReturnTheNodeItself) {
  record_visits(*root, 10, 0.0f);
  visited_child(1, kNaN, 0.5f);
  visited_child(3, kNaN, 0.5f);
  EXPECT_EQ(select(root).get(), root.get());
}

TEST_P(EverySelectionPolicyTest, ChosenChildKeepsItsTreeAlive) {
  record_visits(*root, 4, 2.0f);
  visited_child(1, 1.0f, 0.5f);
  FloatHandle chosen = select(root);
  ASSERT_NE(chosen.get(), root.get());
  root = FloatHandle();
  ASSERT_NE(chosen->parent(), nullptr);
  EXPECT_EQ(chosen->parent()->visit_count(), 4);
  EXPECT_EQ(chosen->parent()->total_value(), 2.0f);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, EverySelectionPolicyTest,
    ::testing::Values(PolicyCase{"UCBSelection",
                                 [] {
                                   return std::shared_ptr<SelectionPolicy<float>>(
                                       std::make_shared<UCBSelection<float>>());
                                 }},
                      PolicyCase{"PolicyWeightedUCB",
                                 [] {
                                   return std::shared_ptr<SelectionPolicy<float>>(
                                       std::make_shared<PolicyWeightedUCB<float>>());
                                 }}),
    [](const ::testing::TestParamInfo<PolicyCase>& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace veltra::policies
