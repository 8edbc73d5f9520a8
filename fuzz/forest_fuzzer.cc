// libFuzzer target for the forest of veltra_search. Each input is decoded into a configuration,
// a model (positions are keys; a position's value, edge, logits and legal actions are a hash of
// its key, with terminal positions, -inf logits, overflowing values) and a sequence of searches,
// moves (one root or all, legal or not), resets and selections; recurrent evaluations may fail
// at a chosen call. The forest checks its own invariants after every operation (assertions are
// on in this target); on top of that:
//   - every failed operation changes nothing: a refused move keeps every node, a failing
//     evaluation keeps every statistic of the steps before it;
//   - advance and reset release exactly the nodes they drop;
//   - without root noise, every search of the forest gives each root exactly the visit counts
//     and values of a forest of that root alone.

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "forest/evaluation.h"
#include "forest/forest.h"
#include "forest/formulas.h"
#include "forest/search_config.h"

namespace {

using veltra::forest::Evaluations;
using veltra::forest::Expansion;
using veltra::forest::Forest;
using veltra::forest::kNoNode;
using veltra::forest::NodeId;

constexpr std::size_t kMaxRoots = 4;
constexpr int kMaxOperations = 48;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kValues[] = {0.0, 1.0, -1.0, 0.25, -0.75, 1e200, -1e200, 3.0};
constexpr double kDiscounts[] = {-1.0, 1.0, 0.5, -1e200, 0.0};
constexpr double kLogits[] = {0.0, 1.0, -2.0, -kInf, 30.0, -700.0};
constexpr double kExploration[] = {1.25, 0.0, -1.0, 1e300, 19652.0};

struct CallbackError {};

std::uint64_t mix(std::uint64_t key, std::uint64_t salt) {
  std::uint64_t z = key * 0x9E3779B97F4A7C15ULL + (salt + 1) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 31)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 29);
}

template <typename T, std::size_t N>
T pick(const T (&table)[N], std::uint64_t hash) {
  return table[hash % N];
}

// The answers of one position: a function of its key alone.
struct Model {
  std::size_t num_actions;
  std::uint64_t salt;

  void fill(std::uint64_t key, Evaluations& out, std::size_t row) const {
    const std::uint64_t h = mix(key, salt);
    out.values[row] = pick(kValues, h);
    out.rewards[row] = pick(kValues, h >> 8);
    out.discounts[row] = pick(kDiscounts, h >> 16);
    std::vector<double> logits(num_actions);
    std::vector<int> legal(num_actions);
    const bool terminal = (h >> 24) % 5 == 0;
    bool any_finite = false;
    const std::size_t always_legal = num_actions == 0 ? 0 : (h >> 32) % num_actions;
    for (std::size_t a = 0; a < num_actions; ++a) {
      const std::uint64_t ha = mix(h, a);
      legal[a] = !terminal && (ha % 4 != 0 || a == always_legal) ? 1 : 0;
      logits[a] = pick(kLogits, ha >> 8);
      any_finite = any_finite || (legal[a] != 0 && std::isfinite(logits[a]));
    }
    if (!any_finite) logits[always_legal] = 0.0;  // one usable logit per legal row
    const auto check = veltra::forest::encode_priors(logits.data(), legal.data(), num_actions,
                                                     out.priors.data() + row * num_actions,
                                                     out.softmax_scratch.data());
    if (check.fault != veltra::forest::LogitFault::kNone) __builtin_trap();
  }
};

// A forest with the key of every node (the caller's states) and of every pending root's parent.
class KeyedForest {
 public:
  KeyedForest(const veltra::forest::SearchConfig& config, const Model& model,
              const std::vector<std::uint64_t>& root_keys)
      : model_(model), pending_keys_(root_keys.size()), forest_(config, roots(model, root_keys)) {
    for (std::size_t i = 0; i < root_keys.size(); ++i) key_of(forest_.root_node(i)) = root_keys[i];
  }

  Forest& forest() { return forest_; }

  // A search whose evaluation call number `fail_at` throws (never, if negative).
  void search(int fail_at) {
    int calls = 0;
    forest_.search([&](const std::vector<Expansion>& expansions, Evaluations& out) {
      if (calls++ == fail_at) {
        // The step's nodes are reserved; the throw must give them back and change nothing else.
        expected_nodes_ = forest_.num_nodes() - expansions.size();
        visits_before_ = root_visits();
        throw CallbackError{};
      }
      for (std::size_t k = 0; k < expansions.size(); ++k) {
        const Expansion& e = expansions[k];
        const std::uint64_t parent = e.parent == kNoNode
                                         ? pending_keys_[static_cast<std::size_t>(e.root)]
                                         : key_of(e.parent);
        key_of(e.node) = mix(parent, static_cast<std::uint64_t>(e.action));
        model_.fill(key_of(e.node), out, k);
      }
    });
  }

  void check_failed_search() {
    if (forest_.num_nodes() != expected_nodes_ || root_visits() != visits_before_) {
      __builtin_trap();
    }
  }

  // The child keys a move to a pending root needs.
  void note_move(std::size_t i, std::int64_t action) {
    if (action < 0) return;
    const NodeId root = forest_.root_node(i);
    if (forest_.child(root, static_cast<std::int32_t>(action)) == kNoNode) {
      pending_keys_[i] = key_of(root);
    }
  }

  std::vector<std::int64_t> root_visits() const {
    std::vector<std::int64_t> visits(forest_.num_roots() * forest_.num_actions());
    for (std::size_t i = 0; i < forest_.num_roots(); ++i) {
      forest_.root_visit_counts(i, visits.data() + i * forest_.num_actions());
    }
    return visits;
  }

  std::uint64_t key(std::size_t i) const { return key_of(forest_.root_node(i)); }

  template <typename Release>
  void reset(std::size_t i, std::uint64_t key, Release& release) {
    key_of(forest_.reset(i, roots(model_, {key}), 0, release)) = key;
  }

 private:
  static Evaluations roots(const Model& model, const std::vector<std::uint64_t>& keys) {
    Evaluations e;
    e.resize(keys.size(), model.num_actions);
    for (std::size_t i = 0; i < keys.size(); ++i) model.fill(keys[i], e, i);
    return e;
  }

  std::uint64_t& key_of(NodeId id) {
    const auto slot = static_cast<std::size_t>(id);
    if (keys_.size() <= slot) keys_.resize(slot + 1);
    return keys_[slot];
  }
  std::uint64_t key_of(NodeId id) const { return keys_[static_cast<std::size_t>(id)]; }

  Model model_;
  std::vector<std::uint64_t> keys_;
  std::vector<std::uint64_t> pending_keys_;
  Forest forest_;
  std::size_t expected_nodes_ = 0;
  std::vector<std::int64_t> visits_before_;
};

// Root i of `forest` against a forest of that root alone, searched the same way.
void check_against_single_root(KeyedForest& forest, std::size_t i, const Model& model) {
  if (forest.forest().is_pending(i)) return;
  veltra::forest::SearchConfig config = forest.forest().config();
  KeyedForest alone(config, model, {forest.key(i)});
  alone.search(-1);
  const std::size_t width = forest.forest().num_actions();
  std::vector<std::int64_t> expected(width);
  std::vector<std::int64_t> actual(width);
  alone.forest().root_visit_counts(0, expected.data());
  forest.forest().root_visit_counts(i, actual.data());
  const double v0 = alone.forest().node(alone.forest().root_node(0)).value;
  const double v1 = forest.forest().node(forest.forest().root_node(i)).value;
  const bool same_value = v0 == v1 || (std::isnan(v0) && std::isnan(v1));
  if (expected != actual || !same_value) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  veltra::forest::SearchConfig config;
  config.num_actions = data.ConsumeIntegralInRange<std::int32_t>(1, 5);
  config.num_simulations = data.ConsumeIntegralInRange<std::int32_t>(0, 6);
  config.pb_c_init = kExploration[data.ConsumeIntegralInRange<std::size_t>(0, 4)];
  config.pb_c_base = data.ConsumeBool() ? 19652.0 : 1.0;
  config.dirichlet_fraction = data.ConsumeBool() ? 0.0 : 0.25;
  config.dirichlet_alpha = data.ConsumeBool() ? 0.3 : 2.0;
  config.seed = data.ConsumeIntegral<std::uint64_t>();
  const Model model{static_cast<std::size_t>(config.num_actions),
                    data.ConsumeIntegral<std::uint64_t>()};
  const auto num_roots = data.ConsumeIntegralInRange<std::size_t>(1, kMaxRoots);
  std::vector<std::uint64_t> keys(num_roots);
  for (std::uint64_t& key : keys) key = data.ConsumeIntegral<std::uint16_t>();
  KeyedForest keyed(config, model, keys);
  Forest& forest = keyed.forest();
  // Roots whose tree only fresh searches built (since construction or their reset).
  std::vector<bool> fresh(num_roots, true);
  std::size_t released = 0;
  const auto release = [&released](NodeId) { ++released; };

  for (int op = 0; op < kMaxOperations && data.remaining_bytes() > 0; ++op) {
    const auto i = data.ConsumeIntegralInRange<std::size_t>(0, num_roots - 1);
    const std::size_t nodes = forest.num_nodes();
    released = 0;
    switch (data.ConsumeIntegralInRange<int>(0, 4)) {
      case 0: {
        const int fail_at = data.ConsumeBool() ? -1 : data.ConsumeIntegralInRange<int>(0, 6);
        try {
          keyed.search(fail_at);
        } catch (const CallbackError&) {
          keyed.check_failed_search();
          std::fill(fresh.begin(), fresh.end(), false);
          break;
        }
        if (config.dirichlet_fraction == 0.0) {
          for (std::size_t r = 0; r < num_roots; ++r) {
            if (fresh[r]) check_against_single_root(keyed, r, model);
          }
        }
        std::fill(fresh.begin(), fresh.end(), false);
        break;
      }
      case 1: {
        const auto action = data.ConsumeIntegralInRange<std::int64_t>(-1, config.num_actions);
        const bool legal = forest.move_error(i, action).empty();
        if (legal) keyed.note_move(i, action);
        try {
          forest.advance(i, action, release);
        } catch (const std::invalid_argument&) {
          if (legal || forest.num_nodes() != nodes || released != 0) __builtin_trap();
          break;
        }
        if (!legal || nodes - released != forest.num_nodes()) __builtin_trap();
        break;
      }
      case 2: {
        std::vector<std::int64_t> moves(num_roots);
        bool legal = true;
        for (std::size_t r = 0; r < num_roots; ++r) {
          moves[r] = data.ConsumeIntegralInRange<std::int64_t>(-1, config.num_actions - 1);
          legal = legal && forest.move_error(r, moves[r], true).empty();
        }
        if (legal) {
          for (std::size_t r = 0; r < num_roots; ++r) keyed.note_move(r, moves[r]);
        }
        try {
          forest.advance_all(moves.data(), release);
        } catch (const std::invalid_argument&) {
          if (legal || forest.num_nodes() != nodes || released != 0) __builtin_trap();
          break;
        }
        if (!legal || nodes - released != forest.num_nodes()) __builtin_trap();
        break;
      }
      case 3: {
        const std::size_t tree = forest.is_pending(i) ? 0 : forest.tree_size(i);
        keyed.reset(i, data.ConsumeIntegral<std::uint16_t>(), release);
        if (released != tree || forest.num_nodes() != nodes - released + 1) __builtin_trap();
        fresh[i] = true;
        break;
      }
      default: {
        std::vector<std::int64_t> moves(num_roots);
        const double temperature = data.ConsumeBool() ? 0.0 : 1.0;
        forest.select(temperature, moves.data());
        for (std::size_t r = 0; r < num_roots; ++r) {
          if (moves[r] != -1 && !forest.move_error(r, moves[r]).empty()) __builtin_trap();
        }
        break;
      }
    }
  }
  return 0;
}
