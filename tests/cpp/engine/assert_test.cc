#include "common/assert.h"

#include <gtest/gtest.h>

#include "core/simulation_path.h"
#include "node_helpers.h"

namespace veltra::core {
namespace {

using testing::FloatHandle;
using testing::FloatNode;

#if defined(VELTRA_ENABLE_ASSERTIONS) || !defined(NDEBUG)

TEST(AssertDeathTest, FailedConditionPrintsItsPlaceAndAborts) {
  EXPECT_DEATH(VELTRA_ASSERT(2 + 2 == 5), "assert_test.cc:[0-9]+: assertion failed: 2 \\+ 2 == 5");
}

TEST(AssertDeathTest, PathRefusesAStepToANodeThatIsNotAChild) {
  FloatHandle root = FloatNode::make_root(-1);
  FloatHandle stranger = FloatNode::make_root(7);
  SimulationPath<float> path;
  path.start(root.get());
  EXPECT_DEATH(path.descend(stranger.get()), "child->parent\\(\\) == leaf\\(\\)");
}

#else

TEST(AssertTest, DisabledAssertionDoesNotEvaluateItsCondition) {
  int evaluations = 0;
  VELTRA_ASSERT(++evaluations > 0);
  EXPECT_EQ(evaluations, 0);
}

#endif

}  // namespace
}  // namespace veltra::core
