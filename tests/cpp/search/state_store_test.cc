#include "forest/state_store.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>

#include "forest/node_store.h"

namespace veltra::forest {
namespace {

using Row = std::array<float, 3>;

Row read(const StateStore& store, std::size_t id) {
  Row row{};
  store.read(id, row.data());
  return row;
}

TEST(StateStore, KeepsARowPerIdAcrossGrowthAndReuse) {
  StateStore store(sizeof(Row));
  store.reserve(2);
  store.write(0, Row{1, 2, 3}.data());
  store.write(1, Row{4, 5, 6}.data());
  store.reserve(1);  // never shrinks
  store.reserve(1000);
  EXPECT_EQ(store.rows(), 1000U);
  EXPECT_GE(store.memory_bytes(), 1000 * sizeof(Row));
  EXPECT_EQ(read(store, 0), (Row{1, 2, 3}));
  EXPECT_EQ(read(store, 1), (Row{4, 5, 6}));
  store.write(0, Row{7, 8, 9}.data());  // an id taken again is overwritten
  EXPECT_EQ(read(store, 0), (Row{7, 8, 9}));
  EXPECT_EQ(read(store, 1), (Row{4, 5, 6}));
}

TEST(StateStore, FollowsTheNodeStoresIdsAsTreesFreeAndRetakeThem) {
  NodeStore nodes(2, 1);
  StateStore states(sizeof(Row));
  const NodeId first = nodes.allocate(0);
  const NodeId second = nodes.allocate(0);
  states.reserve(nodes.capacity());
  states.write(static_cast<std::size_t>(first), Row{1, 1, 1}.data());
  states.write(static_cast<std::size_t>(second), Row{2, 2, 2}.data());
  nodes.free(first, 0);
  const NodeId again = nodes.allocate(0);
  ASSERT_EQ(again, first);
  states.write(static_cast<std::size_t>(again), Row{3, 3, 3}.data());
  EXPECT_EQ(read(states, static_cast<std::size_t>(again)), (Row{3, 3, 3}));
  EXPECT_EQ(read(states, static_cast<std::size_t>(second)), (Row{2, 2, 2}));
}

TEST(StateStore, EmptyStatesTakeNoBytes) {
  StateStore store(0);
  store.reserve(10);
  EXPECT_EQ(store.rows(), 10U);
  EXPECT_EQ(store.memory_bytes(), 0U);
  Row row{1, 2, 3};
  store.write(3, row.data());
  store.read(3, row.data());
  EXPECT_EQ(row, (Row{1, 2, 3}));
}

}  // namespace
}  // namespace veltra::forest
