#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "node_helpers.h"
#include "policies/expansion_policy.h"
#include "policies/full_expansion.h"
#include "policies/progressive_expansion.h"
#include "policies/uniform_index.h"

namespace veltra::policies {
namespace {

using testing::child_actions;
using testing::child_addresses;
using testing::FloatHandle;
using testing::FloatNode;
using Actions = std::vector<std::int32_t>;

class FullExpansionTest : public ::testing::Test {
 protected:
  FloatHandle leaf = FloatNode::make_root(-1);
  FullExpansion<float> policy;
};

TEST_F(FullExpansionTest, AddsOneChildPerActionAndReturnsTheFirst) {
  FloatHandle result = policy.expand(leaf, {3, 1, 2});
  EXPECT_EQ(child_actions(*leaf), (Actions{3, 1, 2}));
  EXPECT_EQ(result.get(), &leaf->first_child());
  for (const FloatNode& child : leaf->children()) {
    EXPECT_EQ(child.prior_prob(), 0.0f);
    EXPECT_EQ(child.visit_count(), 0);
    EXPECT_EQ(child.total_value(), 0.0f);
    EXPECT_EQ(child.parent(), leaf.get());
    EXPECT_FALSE(child.is_expanded());
  }
}

TEST_F(FullExpansionTest, EmptyListOnALeafReturnsTheLeaf) {
  EXPECT_EQ(policy.expand(leaf, {}).get(), leaf.get());
  EXPECT_FALSE(leaf->is_expanded());
}

TEST_F(FullExpansionTest, EmptyListOnAnExpandedNodeReturnsItsFirstChild) {
  FloatHandle existing = leaf->add_child(7, 0.5f);
  leaf->add_child(8, 0.5f);
  EXPECT_EQ(policy.expand(leaf, {}).get(), existing.get());
  EXPECT_EQ(child_actions(*leaf), (Actions{7, 8}));
}

TEST_F(FullExpansionTest, ReturnsTheOldFirstChildWhenAppending) {
  FloatHandle existing = leaf->add_child(7, 0.5f);
  EXPECT_EQ(policy.expand(leaf, {1, 2}).get(), existing.get());
  EXPECT_EQ(child_actions(*leaf), (Actions{7, 1, 2}));
}

TEST_F(FullExpansionTest, DuplicateActionsGiveDuplicateChildren) {
  policy.expand(leaf, {5, 5});
  EXPECT_EQ(child_actions(*leaf), (Actions{5, 5}));
  const auto addresses = child_addresses(*leaf);
  EXPECT_NE(addresses[0], addresses[1]);
}

TEST_F(FullExpansionTest, ExpandingTwiceDoublesTheChildren) {
  const FloatNode* first = policy.expand(leaf, {4, 6}).get();
  EXPECT_EQ(policy.expand(leaf, {4, 6}).get(), first);
  EXPECT_EQ(child_actions(*leaf), (Actions{4, 6, 4, 6}));
}

TEST_F(FullExpansionTest, EmptyHandleGivesEmptyHandle) {
  EXPECT_FALSE(policy.expand(FloatHandle(), {1, 2}));
}

TEST_F(FullExpansionTest, ApplyDispatchesThroughTheBase) {
  ExpansionPolicy<float>& base = policy;
  FloatHandle result = base.apply(leaf, {9});
  EXPECT_EQ(child_actions(*leaf), Actions{9});
  EXPECT_EQ(result.get(), &leaf->first_child());
}

// Expands `node` with `policy` once per entry of `calls` and returns the new children's actions,
// checking that each call added exactly one child, at the end, and returned it.
Actions expand_each(ExpansionPolicy<float>& policy, const FloatHandle& node,
                    const std::vector<Actions>& calls) {
  Actions drawn;
  for (const Actions& actions : calls) {
    const std::size_t before = child_actions(*node).size();
    FloatHandle child = policy.expand(node, actions);
    const auto addresses = child_addresses(*node);
    EXPECT_EQ(addresses.size(), before + 1);
    EXPECT_EQ(addresses.back(), child.get());
    EXPECT_EQ(child->parent(), node.get());
    EXPECT_EQ(child->prior_prob(), 0.0f);
    drawn.push_back(child->action());
  }
  return drawn;
}

Actions zero_to(std::int32_t count) {
  Actions actions;
  for (std::int32_t i = 0; i < count; ++i) actions.push_back(i);
  return actions;
}

class ProgressiveExpansionTest : public ::testing::Test {
 protected:
  FloatHandle leaf = FloatNode::make_root(-1);
};

TEST_F(ProgressiveExpansionTest, SeedZeroDrawsTheReferenceSequence) {
  ProgressiveExpansion<float> policy(0);
  const Actions drawn = expand_each(policy, leaf, std::vector<Actions>(5, {10, 20, 30}));
  EXPECT_EQ(drawn, (Actions{20, 20, 30, 30, 20}));
  EXPECT_EQ(child_actions(*leaf), drawn);
}

TEST_F(ProgressiveExpansionTest, SeedZeroWithTenActions) {
  ProgressiveExpansion<float> policy(0);
  EXPECT_EQ(expand_each(policy, leaf, std::vector<Actions>(5, zero_to(10))),
            (Actions{5, 5, 7, 8, 6}));
}

TEST_F(ProgressiveExpansionTest, SeedSevenWithThreeActions) {
  ProgressiveExpansion<float> policy(7);
  EXPECT_EQ(expand_each(policy, leaf, std::vector<Actions>(5, zero_to(3))),
            (Actions{0, 0, 2, 0, 1}));
}

TEST_F(ProgressiveExpansionTest, DefaultSeedIsZero) {
  ProgressiveExpansion<float> policy;
  EXPECT_EQ(expand_each(policy, leaf, std::vector<Actions>(5, zero_to(10))),
            (Actions{5, 5, 7, 8, 6}));
}

TEST_F(ProgressiveExpansionTest, EmptyListReturnsTheNodeWithoutDrawing) {
  ProgressiveExpansion<float> policy(0);
  EXPECT_EQ(policy.expand(leaf, {}).get(), leaf.get());
  EXPECT_FALSE(leaf->is_expanded());
  Actions drawn = expand_each(policy, leaf, {{10, 20, 30}, {10, 20, 30}});
  EXPECT_EQ(policy.expand(leaf, {}).get(), leaf.get());
  const Actions rest = expand_each(policy, leaf, std::vector<Actions>(3, {10, 20, 30}));
  drawn.insert(drawn.end(), rest.begin(), rest.end());
  EXPECT_EQ(drawn, (Actions{20, 20, 30, 30, 20}));
}

TEST_F(ProgressiveExpansionTest, EmptyHandleIsReturnedWithoutDrawing) {
  ProgressiveExpansion<float> policy(0);
  EXPECT_FALSE(policy.expand(FloatHandle(), {10, 20, 30}));
  EXPECT_EQ(expand_each(policy, leaf, std::vector<Actions>(2, {10, 20, 30})), (Actions{20, 20}));
}

TEST_F(ProgressiveExpansionTest, EqualSeedsGiveEqualSequences) {
  const std::vector<Actions> calls{{1, 2, 3, 4}, {7}, {5, 6}, zero_to(100), {8, 9, 10}, {1, 1}};
  ProgressiveExpansion<float> first(4242);
  ProgressiveExpansion<float> second(4242);
  FloatHandle other_leaf = FloatNode::make_root(-1);
  EXPECT_EQ(expand_each(first, leaf, calls), expand_each(second, other_leaf, calls));
}

TEST_F(ProgressiveExpansionTest, SingleActionIsAddedAgainOnEveryCall) {
  ProgressiveExpansion<float> policy(3);
  EXPECT_EQ(expand_each(policy, leaf, std::vector<Actions>(3, {4})), (Actions{4, 4, 4}));
}

TEST_F(ProgressiveExpansionTest, ApplyDispatchesThroughTheBase) {
  ProgressiveExpansion<float> policy(0);
  ExpansionPolicy<float>& base = policy;
  EXPECT_EQ(base.apply(leaf, {10, 20, 30})->action(), 20);
}

// An engine that returns the outputs a test chooses, in order, and counts how many were taken.
class ScriptedEngine {
 public:
  using result_type = std::uint32_t;

  explicit ScriptedEngine(std::vector<std::uint32_t> outputs) : outputs_(std::move(outputs)) {}

  std::uint32_t operator()() {
    // Throwing (rather than returning a filler) also ends a draw that would otherwise loop.
    if (taken_ == outputs_.size())
      throw std::out_of_range("more engine outputs taken than scripted");
    return outputs_[taken_++];
  }
  std::size_t taken() const { return taken_; }

 private:
  std::vector<std::uint32_t> outputs_;
  std::size_t taken_ = 0;
};

TEST(UniformIndexTest, Mt19937SeedZeroGivesTheReferenceOutputs) {
  std::mt19937 engine(0);
  EXPECT_EQ(engine(), 2357136044u);
  EXPECT_EQ(engine(), 2546248239u);
  EXPECT_EQ(engine(), 3071714933u);
}

TEST(UniformIndexTest, FirstDrawOfThreeWithSeedZero) {
  // 2357136044 * 3 = 7071408132 = 1 * 2^32 + 2776440836: index 1, low part far above rejection.
  std::mt19937 engine(0);
  EXPECT_EQ(uniform_index(engine, 3), 1u);
  EXPECT_EQ(engine(), 2546248239u);  // exactly one output was consumed
  ScriptedEngine scripted({2357136044u});
  EXPECT_EQ(uniform_index(scripted, 3), 1u);
}

TEST(UniformIndexTest, ZeroLowPartIsRejectedAndRedrawn) {
  // For n = 3 the threshold is 2^32 mod 3 = 1: the output 0 (low part 0) is rejected.
  ScriptedEngine engine({0u, 2357136044u});
  EXPECT_EQ(uniform_index(engine, 3), 1u);
  EXPECT_EQ(engine.taken(), 2u);
}

TEST(UniformIndexTest, LowPartAtTheThresholdIsAccepted) {
  // 2863311531 * 3 = 2 * 2^32 + 1: the low part 1 is below n but not below the threshold 1.
  ScriptedEngine engine({2863311531u});
  EXPECT_EQ(uniform_index(engine, 3), 2u);
  EXPECT_EQ(engine.taken(), 1u);
}

TEST(UniformIndexTest, LargeCountRejectsUntilTheLowPartClearsTheThreshold) {
  // n = 3e9: threshold 2^32 mod n = 1294967296. Output 3 gives low part 410065408 (rejected),
  // 0 gives 0 (rejected), 2 gives 1705032704 (accepted, index 1).
  constexpr std::size_t kCount = 3'000'000'000u;
  ScriptedEngine engine({3u, 0u, 2u});
  EXPECT_EQ(uniform_index(engine, kCount), 1u);
  EXPECT_EQ(engine.taken(), 3u);
  ScriptedEngine at_count({1u});  // low part exactly n: not below n, accepted as index 0
  EXPECT_EQ(uniform_index(at_count, kCount), 0u);
}

TEST(UniformIndexTest, SingleEntryStillConsumesAnOutput) {
  ScriptedEngine engine({0u, 4294967295u});
  EXPECT_EQ(uniform_index(engine, 1), 0u);
  EXPECT_EQ(uniform_index(engine, 1), 0u);
  EXPECT_EQ(engine.taken(), 2u);
}

TEST(UniformIndexTest, FullRangeReturnsTheOutputItself) {
  ScriptedEngine engine({0u, 123456789u, 4294967295u});
  constexpr std::size_t kFull = std::size_t{1} << 32;
  EXPECT_EQ(uniform_index(engine, kFull), 0u);
  EXPECT_EQ(uniform_index(engine, kFull), 123456789u);
  EXPECT_EQ(uniform_index(engine, kFull), 4294967295u);
}

TEST(UniformIndexTest, CountOutsideTheRangeIsRejected) {
  ScriptedEngine engine({});
  EXPECT_THROW(uniform_index(engine, 0), std::length_error);
  EXPECT_THROW(uniform_index(engine, (std::size_t{1} << 32) + 1), std::length_error);
  EXPECT_EQ(engine.taken(), 0u);
}

}  // namespace
}  // namespace veltra::policies
