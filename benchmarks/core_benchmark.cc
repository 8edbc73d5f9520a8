// Benchmarks of the search core with native callbacks: whole searches at several sizes, and the
// two operations a simulation repeats, expanding a leaf and picking the best child by UCB1.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <numeric>
#include <vector>

#include "core/child_selection.h"
#include "core/node.h"
#include "core/search_config.h"
#include "core/search_engine.h"
#include "core/search_tree.h"

namespace {

using Node = veltra::core::Node<float>;
using SearchEngine = veltra::core::SearchEngine<float>;
using SearchTree = veltra::core::SearchTree<float>;

constexpr int kNumActions = 8;
constexpr float kExploration = 1.414f;

// Reports the time per item (simulation, expansion, selection) as the counter "per_item".
void report_time_per_item(benchmark::State& state, std::int64_t items_per_iteration) {
  state.counters["per_item"] = benchmark::Counter(
      static_cast<double>(items_per_iteration),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

std::vector<int> action_list(int count) {
  std::vector<int> actions(static_cast<std::size_t>(count));
  std::iota(actions.begin(), actions.end(), 0);
  return actions;
}

// A search of range(0) simulations on a fresh tree, callbacks giving 8 actions and the value 0.0.
// With that value every score is its exploration term, so the tree grows as a balanced 8-ary
// tree; a non-zero constant would send every descent down one ever longer line. Freeing the tree
// is not timed.
void BM_Search(benchmark::State& state) {
  veltra::SearchConfig config;
  config.num_simulations = static_cast<std::int32_t>(state.range(0));
  const SearchEngine engine(config);
  const SearchEngine::LegalActionsFn legal_actions = [](const float&) {
    return action_list(kNumActions);
  };
  const SearchEngine::TransitionFn transition = [](const float& s, int a) {
    return std::vector<float>{s, static_cast<float>(a)};
  };
  const SearchEngine::RolloutFn rollout = [] { return 0.0f; };

  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the library's idiom
    auto tree = std::make_shared<SearchTree>();
    benchmark::DoNotOptimize(engine.search(tree, legal_actions, transition, rollout));
    state.PauseTiming();
    tree.reset();
    state.ResumeTiming();
  }
  report_time_per_item(state, config.num_simulations);
}
BENCHMARK(BM_Search)->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(
    benchmark::kMillisecond);

// Expansion of a leaf with range(0) children, repeated down a chain of first children from a
// fresh root. Freeing the chain is not timed.
void BM_ExpandNode(benchmark::State& state) {
  constexpr std::int64_t kExpansionsPerIteration = 1024;
  const std::vector<int> actions = action_list(static_cast<int>(state.range(0)));
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the library's idiom
    Node::Handle root = Node::make_root(-1);
    Node* leaf = root.get();
    for (std::int64_t i = 0; i < kExpansionsPerIteration; ++i) {
      leaf = leaf->append_children(actions.data(), actions.size(), 0.0f);
    }
    benchmark::DoNotOptimize(leaf);
    state.PauseTiming();
    root = Node::Handle();
    state.ResumeTiming();
  }
  report_time_per_item(state, kExpansionsPerIteration);
}
BENCHMARK(BM_ExpandNode)->Arg(1)->Arg(8)->Arg(64);

// One descent step: the best of range(0) visited children by UCB1, a full scan since no child is
// unvisited. Visit counts and values vary so that the best child is not the first.
void BM_BestUcbChild(benchmark::State& state) {
  const int num_children = static_cast<int>(state.range(0));
  const std::vector<int> actions = action_list(num_children);
  Node::Handle parent = Node::make_root(-1);
  parent->append_children(actions.data(), actions.size(), 0.0f);
  int child_index = 0;
  for (Node& child : parent->children()) {
    const int visits = 1 + (child_index * 7) % 13;
    for (int v = 0; v < visits; ++v) {
      const float value = static_cast<float>((child_index + v) % 5) * 0.25f - 0.5f;
      child.update(value);
      parent->update(-value);
    }
    ++child_index;
  }
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the library's idiom
    benchmark::DoNotOptimize(veltra::core::best_ucb_child(*parent, kExploration));
  }
  report_time_per_item(state, 1);
}
BENCHMARK(BM_BestUcbChild)->Arg(2)->Arg(8)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
