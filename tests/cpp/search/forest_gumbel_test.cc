#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "forest/forest.h"
#include "forest/gumbel.h"
#include "forest_helpers.h"

namespace veltra::testing {
namespace {

using forest::Forest;
using forest::Policy;
using forest::SearchConfig;

std::vector<std::int32_t> schedule(std::int64_t k, std::int64_t simulations) {
  std::vector<std::int32_t> row;
  for (std::int64_t s = 0; s < simulations; ++s) {
    row.push_back(forest::considered_visits(k, simulations, s));
  }
  return row;
}

// The table built round by round: each phase appends E rounds of the considered actions' visits.
std::vector<std::int32_t> schedule_by_rounds(std::int64_t k, std::int64_t simulations) {
  std::vector<std::int32_t> row;
  if (k <= 1) {
    for (std::int64_t s = 0; s < simulations; ++s) row.push_back(static_cast<std::int32_t>(s));
    return row;
  }
  std::int64_t log2_k = 0;
  while ((std::int64_t{1} << log2_k) < k) ++log2_k;
  std::vector<std::int32_t> visits(static_cast<std::size_t>(k), 0);
  std::int64_t considered = k;
  while (static_cast<std::int64_t>(row.size()) < simulations) {
    const std::int64_t rounds = std::max<std::int64_t>(1, simulations / (log2_k * considered));
    for (std::int64_t r = 0; r < rounds; ++r) {
      row.insert(row.end(), visits.begin(), visits.begin() + considered);
      for (std::int64_t a = 0; a < considered; ++a) ++visits[static_cast<std::size_t>(a)];
    }
    considered = std::max<std::int64_t>(2, considered / 2);
  }
  row.resize(static_cast<std::size_t>(simulations));
  return row;
}

TEST(ConsideredVisits, MatchesTheDocumentedExamples) {
  using Row = std::vector<std::int32_t>;
  EXPECT_EQ(schedule(4, 16), (Row{0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5}));
  EXPECT_EQ(schedule(3, 10), (Row{0, 0, 0, 1, 1, 2, 2, 3, 3, 4}));
  EXPECT_EQ(schedule(5, 12), (Row{0, 0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4}));
  EXPECT_EQ(schedule(2, 7), (Row{0, 0, 1, 1, 2, 2, 3}));
  Row sixteen(16, 0);
  sixteen.insert(sixteen.end(), 4, 1);
  EXPECT_EQ(schedule(16, 20), sixteen);
  EXPECT_EQ(schedule(7, 3), (Row{0, 0, 0}));
  EXPECT_EQ(schedule(1, 4), (Row{0, 1, 2, 3}));
  EXPECT_EQ(schedule(0, 3), (Row{0, 1, 2}));
}

TEST(ConsideredVisits, WalksPhasesAsTheRoundByRoundTableDoes) {
  for (std::int64_t k = 0; k <= 40; ++k) {
    for (std::int64_t simulations = 0; simulations <= 300; ++simulations) {
      ASSERT_EQ(schedule(k, simulations), schedule_by_rounds(k, simulations))
          << "k=" << k << " S=" << simulations;
    }
  }
}

SearchConfig gumbel_config(std::int32_t num_actions, std::int32_t num_simulations,
                           std::int32_t max_considered = 16) {
  SearchConfig config;
  config.num_actions = num_actions;
  config.num_simulations = num_simulations;
  config.policy = Policy::kGumbel;
  config.max_considered_actions = max_considered;
  return config;
}

Evaluations gumbel_row(const std::vector<double>& logits, const std::vector<std::uint8_t>& legal) {
  Evaluations e;
  e.resize(1, logits.size(), true);
  put_row(e, 0, 0.0, 1.0, 0.25, logits, legal);
  return e;
}

TEST(GumbelSearch, AnswersWithTheOnlyLegalActionAndAllItsWeight) {
  Forest f(gumbel_config(3, 10), gumbel_row({0.0, -1.0, 2.0}, {0, 1, 0}));
  HashGame game(3, 0.0, true);
  game.adopt_roots(f, {7});
  f.search(game.evaluator());
  std::vector<double> weights(3);
  f.root_action_weights(0, weights.data());
  std::int64_t move = 0;
  f.select(0.0, &move);
  EXPECT_EQ(results_of(f, 0).visits, (std::vector<std::int64_t>{0, 10, 0}));
  EXPECT_EQ(weights, (std::vector<double>{0.0, 1.0, 0.0}));
  EXPECT_EQ(move, 1);
}

TEST(GumbelSearch, VisitsARootWithoutLegalActionItself) {
  Forest f(gumbel_config(2, 5), gumbel_row({0.0, 0.0}, {0, 0}));
  f.search([](const std::vector<Expansion>&, Evaluations&) { FAIL() << "nothing to evaluate"; });
  std::vector<double> weights(2, 1.0);
  f.root_action_weights(0, weights.data());
  std::int64_t move = 0;
  f.select(0.0, &move);
  EXPECT_EQ(f.node(f.root_node(0)).visits, 6);
  EXPECT_EQ(weights, (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(move, -1);
}

TEST(GumbelSearch, OneConsideredActionTakesEverySimulationAndIsTheMove) {
  HashGame game(6, 0.1, true);
  std::vector<std::uint64_t> keys;
  for (std::uint64_t k = 0; k < 40; ++k) keys.push_back(k * 977 + 3);
  Forest f(gumbel_config(6, 12, 1), game.roots(keys));
  game.adopt_roots(f, keys);
  f.search(game.evaluator());
  std::vector<std::int64_t> moves(keys.size());
  f.select(0.0, moves.data());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const RootResults r = results_of(f, i);
    if (moves[i] < 0) continue;
    EXPECT_EQ(r.visits[static_cast<std::size_t>(moves[i])], 12) << "root " << i;
  }
}

TEST(GumbelSearch, RefusesEvaluationsWithoutLogits) {
  Evaluations plain;
  plain.resize(1, 2);
  put_row(plain, 0, 0.0, 1.0, 0.0, {0.0, 0.0}, {1, 1});
  EXPECT_THROW(Forest(gumbel_config(2, 4), plain), std::invalid_argument);
  Forest f(gumbel_config(2, 4), gumbel_row({0.0, 0.0}, {1, 1}));
  const auto without_logits = [](const std::vector<Expansion>& expansions, Evaluations& e) {
    e.logits.clear();
    for (std::size_t k = 0; k < expansions.size(); ++k) {
      put_row(e, k, 0.0, 1.0, 0.0, {0.0, 0.0}, {1, 1});
    }
  };
  EXPECT_THROW(f.search(without_logits), std::invalid_argument);
  EXPECT_EQ(f.num_nodes(), 1u);
}

}  // namespace
}  // namespace veltra::testing
