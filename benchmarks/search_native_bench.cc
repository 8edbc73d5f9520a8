// The native search loop of veltra_search alone: descents, node creation and backups of a forest
// of R roots, with an evaluation that only encodes fixed rows (as the bindings encode a model's
// outputs). Reported per simulation per root, under PUCT and under the Gumbel policy (which also
// keeps the shifted logits, as the bindings do for it).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "forest/evaluation.h"
#include "forest/forest.h"
#include "forest/formulas.h"
#include "forest/gumbel.h"
#include "forest/search_config.h"

namespace {

using veltra::forest::Evaluations;
using veltra::forest::Expansion;

void search(benchmark::State& state, veltra::forest::Policy policy) {
  const auto num_roots = static_cast<std::size_t>(state.range(0));
  const std::size_t num_actions = 7;
  veltra::forest::SearchConfig config;
  config.num_actions = static_cast<std::int32_t>(num_actions);
  config.num_simulations = static_cast<std::int32_t>(state.range(1));
  config.policy = policy;
  config.num_threads = static_cast<std::int32_t>(state.range(2));
  const bool with_logits = policy == veltra::forest::Policy::kGumbel;

  std::mt19937_64 random(0);
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  const std::size_t num_positions = 4099;
  std::vector<double> logits(num_positions * num_actions);
  std::vector<double> values(num_positions);
  for (double& x : logits) x = normal(random);
  for (double& x : values) x = uniform(random);

  // Row k of a batch gets the k-th of a stream of prepared positions, so that values vary along
  // every path as a model's would.
  std::size_t next_position = 0;
  const auto fill = [&](std::size_t rows, Evaluations& e) {
    e.resize(rows, num_actions, with_logits);
    for (std::size_t k = 0; k < rows; ++k) {
      const std::size_t position = next_position++ % num_positions;
      e.rewards[k] = 0.0;
      e.discounts[k] = -1.0;
      e.values[k] = values[position];
      veltra::forest::encode_priors(logits.data() + position * num_actions,
                                    veltra::forest::EveryActionLegal{}, num_actions,
                                    e.priors.data() + k * num_actions, e.softmax_scratch.data());
      if (with_logits) {
        veltra::forest::shift_logits(logits.data() + position * num_actions,
                                     veltra::forest::EveryActionLegal{}, num_actions,
                                     e.logits.data() + k * num_actions);
      }
    }
  };
  Evaluations roots;
  fill(num_roots, roots);

  std::size_t nodes = 0;
  for (auto _ : state) {
    veltra::forest::Forest forest(config, roots);
    forest.search([&](const std::vector<Expansion>& expansions, Evaluations& e) {
      fill(expansions.size(), e);
    });
    nodes = forest.num_nodes();
  }
  state.counters["nodes"] = static_cast<double>(nodes);
  state.counters["ns_per_simulation_per_root"] =
      benchmark::Counter(static_cast<double>(state.iterations() * state.range(0) * state.range(1)),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ForestSearch(benchmark::State& state) { search(state, veltra::forest::Policy::kPuct); }
void BM_ForestSearchGumbel(benchmark::State& state) {
  search(state, veltra::forest::Policy::kGumbel);
}

// Arguments: roots, simulations, threads. 16 roots: the same work per simulation with every tree in
// the core's L2 cache, which shows how much of the 256-root figure is waiting for memory. The
// Gumbel policy also at the few simulations per move of self-play training (m = 16, the default).
// Wall time, since with threads the calling thread's CPU time leaves out the others'.
BENCHMARK(BM_ForestSearch)
    ->Args({256, 200, 1})
    ->Args({256, 200, 2})
    ->Args({16, 200, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ForestSearchGumbel)
    ->Args({256, 200, 1})
    ->Args({256, 200, 2})
    ->Args({16, 200, 1})
    ->Args({256, 16, 1})
    ->Args({256, 32, 1})
    ->Args({256, 64, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
