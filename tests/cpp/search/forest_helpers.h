#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "forest/evaluation.h"
#include "forest/forest.h"
#include "forest/formulas.h"
#include "forest/gumbel.h"
#include "forest/random.h"
#include "forest/search_config.h"

namespace veltra::testing {

using forest::Evaluations;
using forest::Expansion;
using forest::NodeId;

// Puts one position into row `row`: the edge into it, its value and its logits over a legal mask
// (as priors, and as shifted logits too if `e` keeps them).
inline void put_row(Evaluations& e, std::size_t row, double reward, double discount, double value,
                    const std::vector<double>& logits, const std::vector<std::uint8_t>& legal) {
  e.rewards[row] = reward;
  e.discounts[row] = discount;
  e.values[row] = value;
  forest::encode_priors(logits.data(), legal.data(), logits.size(),
                        e.priors.data() + row * logits.size(), e.softmax_scratch.data());
  if (!e.logits.empty()) {
    forest::shift_logits(logits.data(), legal.data(), logits.size(),
                         e.logits.data() + row * logits.size());
  }
}

// A deterministic game for search tests. A position is a 64-bit key; the child reached by an
// action is a hash of the parent's key and the action, and everything about a position (logits,
// legal actions, value, reward, discount) is drawn from a generator seeded with its key. Like the
// Python bindings, it keeps the key of every node by node id.
class HashGame {
 public:
  // With `exact_outcomes`, as searches that solve positions need: no rewards, discount -1, and
  // terminal values -1, 0 or 1.
  HashGame(std::size_t num_actions, double terminal_rate, bool with_logits = false,
           bool exact_outcomes = false)
      : num_actions_(num_actions),
        terminal_rate_(terminal_rate),
        with_logits_(with_logits),
        exact_outcomes_(exact_outcomes) {}

  void describe(std::uint64_t key, Evaluations& e, std::size_t row) const {
    forest::Generator draw(key);
    std::vector<double> logits(num_actions_);
    std::vector<std::uint8_t> legal(num_actions_);
    const bool terminal = draw.uniform() < terminal_rate_;
    for (std::size_t a = 0; a < num_actions_; ++a) {
      logits[a] = 4.0 * draw.uniform() - 2.0;
      legal[a] = !terminal && draw.uniform() < 0.8 ? 1 : 0;
    }
    const double reward = draw.uniform() - 0.5;
    const double discount = draw.uniform() < 0.5 ? -1.0 : 0.9;
    const double value = 2.0 * draw.uniform() - 1.0;
    if (exact_outcomes_) {
      put_row(e, row, 0.0, -1.0, terminal ? std::round(value) : value, logits, legal);
    } else {
      put_row(e, row, reward, discount, value, logits, legal);
    }
  }

  static std::uint64_t child_key(std::uint64_t parent, std::int32_t action) {
    return forest::Generator(parent * 31 + static_cast<std::uint64_t>(action) + 1).next_u64();
  }

  Evaluations roots(const std::vector<std::uint64_t>& keys) const {
    Evaluations e;
    e.resize(keys.size(), num_actions_, with_logits_);
    for (std::size_t i = 0; i < keys.size(); ++i) describe(keys[i], e, i);
    return e;
  }

  // Records the keys of a new forest's roots (root_keys[i] for root i).
  void adopt_roots(const forest::Forest& f, const std::vector<std::uint64_t>& root_keys) {
    for (std::size_t i = 0; i < root_keys.size(); ++i) remember(f.root_node(i), root_keys[i]);
    pending_parents_ = root_keys;
  }

  // The evaluate function of Forest::search. Pending roots are expanded from the key their root
  // had when it was advanced (kept by note_advance).
  auto evaluator() {
    return [this](const std::vector<Expansion>& expansions, Evaluations& e) {
      ++calls;
      rows += expansions.size();
      std::vector<std::uint64_t> keys;
      for (std::size_t k = 0; k < expansions.size(); ++k) {
        const Expansion& x = expansions[k];
        const std::uint64_t parent = x.parent == forest::kNoNode
                                         ? pending_parents_[static_cast<std::size_t>(x.root)]
                                         : keys_[static_cast<std::size_t>(x.parent)];
        keys.push_back(x.action == Expansion::kOwnState ? parent : child_key(parent, x.action));
        describe(keys.back(), e, k);
      }
      for (std::size_t k = 0; k < expansions.size(); ++k) remember(expansions[k].node, keys[k]);
    };
  }

  // Records the keys of a forest's roots pending on their own states.
  void pend_roots(const std::vector<std::uint64_t>& root_keys) { pending_parents_ = root_keys; }
  void pend_root(std::size_t root, std::uint64_t key) { pending_parents_[root] = key; }

  // Call before Forest::advance so that a root left pending can be evaluated later.
  void note_advance(const forest::Forest& f, std::size_t root) {
    pending_parents_[root] = keys_[static_cast<std::size_t>(f.root_node(root))];
  }

  int calls = 0;
  std::size_t rows = 0;

 private:
  void remember(NodeId id, std::uint64_t key) {
    if (keys_.size() <= static_cast<std::size_t>(id))
      keys_.resize(static_cast<std::size_t>(id) + 1);
    keys_[static_cast<std::size_t>(id)] = key;
  }

  std::size_t num_actions_;
  double terminal_rate_;
  bool with_logits_;
  bool exact_outcomes_;
  std::vector<std::uint64_t> keys_;
  std::vector<std::uint64_t> pending_parents_;
};

inline constexpr auto kKeepAll = [](NodeId) {};

// Search results of a forest, for comparing forests.
struct RootResults {
  std::vector<std::int64_t> visits;
  std::vector<double> q_values;
  double value;
  std::int32_t root_visits;

  bool operator==(const RootResults& other) const {
    if (visits != other.visits || value != other.value || root_visits != other.root_visits) {
      return false;
    }
    for (std::size_t a = 0; a < q_values.size(); ++a) {
      const bool both_nan = q_values[a] != q_values[a] && other.q_values[a] != other.q_values[a];
      if (!both_nan && q_values[a] != other.q_values[a]) return false;
    }
    return true;
  }
};

inline RootResults results_of(const forest::Forest& f, std::size_t i) {
  RootResults r;
  r.visits.resize(f.num_actions());
  r.q_values.resize(f.num_actions());
  f.root_visit_counts(i, r.visits.data());
  f.root_q_values(i, r.q_values.data());
  const forest::Node& root = f.node(f.root_node(i));
  r.value = root.value;
  r.root_visits = root.visits;
  return r;
}

}  // namespace veltra::testing
