#include "core/node.h"

#include <gtest/gtest.h>

#include <limits>

namespace veltra::core {
namespace {

using FloatNode = Node<float>;

TEST(NodeTest, VisitCountSaturatesAtItsMaximum) {
  auto node = FloatNode::make_root(0);
  for (int i = 0; i < 3; ++i) node->update(1.0f);
  EXPECT_EQ(node->visit_count(), 3);
  EXPECT_FLOAT_EQ(node->total_value(), 3.0f);
}

}  // namespace
}  // namespace veltra::core
