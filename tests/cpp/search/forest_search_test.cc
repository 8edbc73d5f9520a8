#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "forest/forest.h"
#include "forest_helpers.h"

namespace veltra::testing {
namespace {

using forest::Forest;
using forest::SearchConfig;

SearchConfig config_of(std::int32_t num_actions, std::int32_t num_simulations,
                       double dirichlet_fraction = 0.0, std::uint64_t seed = 0) {
  SearchConfig config;
  config.num_actions = num_actions;
  config.num_simulations = num_simulations;
  config.dirichlet_fraction = dirichlet_fraction;
  config.seed = seed;
  return config;
}

Evaluations single_row(double value, const std::vector<double>& logits,
                       const std::vector<std::uint8_t>& legal, double reward = 0.0,
                       double discount = 1.0) {
  Evaluations e;
  e.resize(1, logits.size());
  put_row(e, 0, reward, discount, value, logits, legal);
  return e;
}

// Every expansion is answered with the same position; the (parent, action) pairs are recorded.
struct ConstantModel {
  Evaluations answer;
  std::vector<std::pair<NodeId, std::int32_t>> expanded;

  auto evaluator() {
    return [this](const std::vector<Expansion>& expansions, Evaluations& e) {
      const std::size_t width = answer.priors.size();
      for (std::size_t k = 0; k < expansions.size(); ++k) {
        expanded.emplace_back(expansions[k].parent, expansions[k].action);
        e.rewards[k] = answer.rewards[0];
        e.discounts[k] = answer.discounts[0];
        e.values[k] = answer.values[0];
        std::copy(answer.priors.begin(), answer.priors.end(), e.priors.data() + k * width);
      }
    };
  }
};

TEST(ForestSearchTest, TwoPlayerTreeByHand) {
  // Root: V 0, priors 1/2 each. Every child: value 1 for the player to move there, discount -1.
  Forest f(config_of(2, 3), single_row(0.0, {0.0, 0.0}, {1, 1}));
  ConstantModel model{single_row(1.0, {0.0, 0.0}, {1, 1}, 0.0, -1.0), {}};
  f.search(model.evaluator());

  // 1: tie, action 0; root V (0 - 1) / 2. 2: Q0 = -1 is the range's low end, so q_hat0 = 0 and the
  // unvisited action 1 wins on its larger exploration term; root V (-0.5 * 2 - 1) / 3 = -2/3.
  // 3: Q0 = Q1 = -1, both at the low end, tie, action 0, then action 0 again below it; the
  // grandchild's 1 reaches child 0 as -1 (V 0) and the root as 1 (V (-2/3 * 3 + 1) / 4).
  const NodeId root = f.root_node(0);
  const NodeId child0 = f.child(root, 0);
  const std::vector<std::pair<NodeId, std::int32_t>> expected{{root, 0}, {root, 1}, {child0, 0}};
  EXPECT_EQ(model.expanded, expected);
  const RootResults r = results_of(f, 0);
  EXPECT_EQ(r.visits, (std::vector<std::int64_t>{2, 1}));
  EXPECT_EQ(r.root_visits, 4);
  EXPECT_DOUBLE_EQ(r.value, -0.25);
  EXPECT_DOUBLE_EQ(r.q_values[0], 0.0);
  EXPECT_DOUBLE_EQ(r.q_values[1], -1.0);
  EXPECT_EQ(f.num_nodes(), 4u);
}

TEST(ForestSearchTest, TerminalNodesBackUpTheirOwnValue) {
  // The only move leads to a terminal position worth 0.5 over an edge with reward 1, discount
  // 0.5: it is evaluated once, then every descent stops there and backs up 1 + 0.5 * 0.5.
  Forest f(config_of(2, 3), single_row(0.0, {0.0, 0.0}, {0, 1}));
  ConstantModel model{single_row(0.5, {0.0, 0.0}, {0, 0}, 1.0, 0.5), {}};
  f.search(model.evaluator());
  EXPECT_EQ(model.expanded.size(), 1u);
  const RootResults r = results_of(f, 0);
  EXPECT_EQ(r.visits, (std::vector<std::int64_t>{0, 3}));
  EXPECT_DOUBLE_EQ(r.value, 1.25 * 3 / 4);
  EXPECT_DOUBLE_EQ(r.q_values[1], 1.25);
  EXPECT_TRUE(std::isnan(r.q_values[0]));
}

TEST(ForestSearchTest, TerminalRootNeverCallsTheModel) {
  Forest f(config_of(3, 5, 0.25), single_row(0.75, {0.0, 0.0, 0.0}, {0, 0, 0}));
  ConstantModel model{single_row(0.0, {0.0, 0.0, 0.0}, {1, 1, 1}), {}};
  f.search(model.evaluator());
  EXPECT_TRUE(model.expanded.empty());
  EXPECT_EQ(results_of(f, 0).root_visits, 6);
  EXPECT_EQ(results_of(f, 0).value, 0.75);
  std::int64_t move = 0;
  f.select(0.0, &move);
  EXPECT_EQ(move, -1);
}

class ForestBatchTest : public ::testing::TestWithParam<double> {};

// Trees do not interact: a forest of R roots gives what R one-root forests give, while asking
// the model once per step with the expansions in root order.
TEST_P(ForestBatchTest, ForestOfRootsMatchesSeparateForests) {
  const std::vector<std::uint64_t> keys{3, 14, 15, 92, 65, 35};
  HashGame game(5, GetParam());
  Forest batched(config_of(5, 40), game.roots(keys));
  game.adopt_roots(batched, keys);
  auto evaluate = game.evaluator();
  batched.search([&](const std::vector<Expansion>& expansions, Evaluations& e) {
    for (std::size_t k = 1; k < expansions.size(); ++k) {
      EXPECT_LT(expansions[k - 1].root, expansions[k].root);
    }
    evaluate(expansions, e);
  });
  EXPECT_LE(game.calls, 40);

  for (std::size_t i = 0; i < keys.size(); ++i) {
    HashGame own_game(5, GetParam());
    Forest single(config_of(5, 40), own_game.roots({keys[i]}));
    own_game.adopt_roots(single, {keys[i]});
    single.search(own_game.evaluator());
    EXPECT_EQ(results_of(single, 0), results_of(batched, i)) << "root " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(TerminalRates, ForestBatchTest, ::testing::Values(0.0, 0.3));

TEST(ForestSearchTest, FailedStepAppliesNothing) {
  const std::vector<std::uint64_t> keys{1, 2, 3};
  HashGame reference_game(4, 0.0);
  Forest reference(config_of(4, 3), reference_game.roots(keys));
  reference_game.adopt_roots(reference, keys);
  reference.search(reference_game.evaluator());

  HashGame game(4, 0.0);
  Forest f(config_of(4, 10), game.roots(keys));
  game.adopt_roots(f, keys);
  auto evaluate = game.evaluator();
  int calls = 0;
  const auto failing = [&](const std::vector<Expansion>& expansions, Evaluations& e) {
    if (++calls == 4) throw std::runtime_error("model failed");
    evaluate(expansions, e);
  };
  EXPECT_THROW(f.search(failing), std::runtime_error);
  EXPECT_EQ(f.num_nodes(), reference.num_nodes());
  for (std::size_t i = 0; i < keys.size(); ++i)
    EXPECT_EQ(results_of(f, i), results_of(reference, i));

  const std::size_t before = f.num_nodes();
  f.search(evaluate);  // still usable: every step of a game without terminals adds one node a root
  EXPECT_EQ(f.num_nodes(), before + keys.size() * 10);
}

TEST(ForestSearchTest, RootNoiseIsDrawnFromTheSeed) {
  // With the whole prior replaced by noise, the first simulation takes the action with the most
  // noise: eta_a is g_a / sum g, with g drawn in action order over the legal actions only.
  const std::uint64_t seed = 11;
  SearchConfig config = config_of(4, 1, 1.0, seed);
  config.dirichlet_alpha = 0.5;
  Forest f(config, single_row(0.0, {5.0, 0.0, 0.0, 0.0}, {1, 0, 1, 1}));
  ConstantModel model{single_row(0.0, {0.0, 0.0, 0.0, 0.0}, {1, 1, 1, 1}), {}};
  f.search(model.evaluator());

  forest::Generator draws(seed);
  const double g0 = draws.gamma(0.5);
  const double g2 = draws.gamma(0.5);
  const double g3 = draws.gamma(0.5);
  const std::int32_t expected = g0 >= g2 && g0 >= g3 ? 0 : (g2 >= g3 ? 2 : 3);
  ASSERT_EQ(model.expanded.size(), 1u);
  EXPECT_EQ(model.expanded[0].second, expected);
  EXPECT_EQ(f.priors(f.root_node(0))[1], forest::kIllegal);  // stored priors keep no noise
  EXPECT_GT(f.priors(f.root_node(0))[0], 0.9f);
}

TEST(ForestSearchTest, SameSeedSameSearchesAndMoves) {
  const std::vector<std::uint64_t> keys{5, 6, 7, 8};
  std::vector<std::vector<RootResults>> runs;
  std::vector<std::vector<std::int64_t>> moves;
  for (const std::uint64_t seed : {9u, 9u, 10u}) {
    HashGame game(6, 0.1);
    Forest f(config_of(6, 30, 0.25, seed), game.roots(keys));
    game.adopt_roots(f, keys);
    f.search(game.evaluator());
    f.search(game.evaluator());
    runs.emplace_back();
    for (std::size_t i = 0; i < keys.size(); ++i) runs.back().push_back(results_of(f, i));
    moves.emplace_back(keys.size());
    f.select(1.0, moves.back().data());
  }
  EXPECT_EQ(runs[0], runs[1]);
  EXPECT_EQ(moves[0], moves[1]);
  EXPECT_NE(runs[0], runs[2]);
}

TEST(ForestSelectTest, MostVisitedOrProportionalDraw) {
  // Root priors steer visits to action 2; action 0 is illegal.
  Forest f(config_of(3, 20), single_row(0.0, {9.0, -3.0, 3.0}, {0, 1, 1}));
  ConstantModel model{single_row(0.0, {0.0, 0.0, 0.0}, {1, 1, 1}), {}};
  f.search(model.evaluator());
  std::int64_t move = -2;
  f.select(0.0, &move);
  EXPECT_EQ(move, 2);
  f.select(1e-3, &move);  // visits^1000 overflows: the most visited, without a draw
  EXPECT_EQ(move, 2);
  EXPECT_THROW(f.select(-1.0, &move), std::invalid_argument);
  EXPECT_THROW(f.select(std::nan(""), &move), std::invalid_argument);

  Forest unsearched(config_of(3, 0), single_row(0.0, {0.0, 0.0, 0.0}, {0, 1, 1}));
  unsearched.select(0.0, &move);  // no visits anywhere: the lowest legal action
  EXPECT_EQ(move, 1);
  unsearched.select(1.0, &move);
  EXPECT_EQ(move, 1);
}

}  // namespace
}  // namespace veltra::testing
