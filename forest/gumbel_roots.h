#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "forest/formulas.h"
#include "forest/gumbel.h"
#include "forest/node.h"
#include "forest/node_store.h"
#include "forest/random.h"
#include "forest/root_set.h"
#include "forest/search_config.h"

namespace veltra::forest {

// What the Gumbel policy keeps about the roots of a forest: for the search under way, each root's
// visits before it (B_a), its noise (G_a) and its number of considered actions k; after a search,
// each root's final action and improved policy. Searches start with start(), choose root actions
// with root_choice(s) at simulation s, interior ones with interior_choice(), and end with
// finish(). Everything is sized at construction and nothing allocates during a search; a forest
// searched with PUCT holds an empty one.
class GumbelRoots {
 public:
  static constexpr std::int64_t kNoSelection = -2;

  // What one choice needs for itself: each thread that descends has its own.
  struct Scratch {
    explicit Scratch(std::size_t num_actions)
        : rows(num_actions), policy(num_actions), counts(num_actions) {}
    ChildRows rows;                    // the children of the node being scored
    std::vector<double> policy;        // its improved policy
    std::vector<std::int32_t> counts;  // N_a + P_a with pending visits
  };

  GumbelRoots(const SearchConfig& config, std::size_t num_roots)
      : params_{config.value_scale, config.maxvisit_init},
        noise_scale_(config.gumbel_scale),
        max_considered_(config.max_considered_actions),
        simulations_(config.num_simulations),
        num_actions_(static_cast<std::size_t>(config.num_actions)),
        rows_(config.policy == Policy::kGumbel ? num_actions_ : 0) {
    if (config.policy != Policy::kGumbel) return;
    base_visits_.resize(num_roots * num_actions_);
    noise_.resize(num_roots * num_actions_);
    considered_.resize(num_roots);
    selected_.assign(num_roots, kNoSelection);
    weights_.resize(num_roots * num_actions_);
  }

  // Takes the visits each root's children have now and draws this search's noise: one standard
  // Gumbel per legal action of every root with one, roots in order, actions in increasing order,
  // none when the scale is 0.
  void start(const NodeStore& store, const std::vector<NodeId>& roots, Generator& generator,
             const RootSet& searched) {
    for (std::size_t i = 0; i < roots.size(); ++i) {
      if (!searched.contains(i)) continue;
      const float* priors = store.priors(roots[i]);
      rows_.gather(store, roots[i], priors);
      std::int64_t legal = 0;
      for (std::size_t a = 0; a < num_actions_; ++a) {
        const std::size_t k = i * num_actions_ + a;
        base_visits_[k] = rows_.visits[a];
        noise_[k] = 0.0;
        if (!is_legal(priors[a])) continue;
        ++legal;
        if (noise_scale_ != 0.0) noise_[k] = noise_scale_ * generator.gumbel();
      }
      considered_[i] = std::min<std::int64_t>(max_considered_, legal);
    }
  }

  // The action of root i (node `root`) at simulation s of this search: among the legal actions
  // with exactly T_k[s] visits in this search, the highest root score, lowest on ties. With
  // `pending` (null or the tree's pending visits), the visits in this search count them too;
  // sigma is always that of the real visits.
  Choice root_choice(const NodeStore& store, std::size_t i, NodeId root, std::int32_t s,
                     Scratch& scratch, const PendingVisits* pending = nullptr) const noexcept {
    scratch.rows.gather(store, root, store.priors(root));
    const std::int32_t considered = considered_visits(considered_[i], simulations_, s);
    return best_considered(store, i, root, considered, scratch.rows,
                           counts(scratch, root, pending).of);
  }

  // The interior action at node id, counting `pending` visits as root_choice does.
  Choice interior_choice(const NodeStore& store, NodeId id, Scratch& scratch,
                         const PendingVisits* pending = nullptr) const noexcept {
    const ChildRows& rows = scratch.rows;
    scratch.rows.gather(store, id, store.priors(id));
    const std::int32_t action =
        interior_action(store.priors(id), store.logits(id), store[id].raw_value, rows, params_,
                        counts(scratch, id, pending), scratch.policy.data());
    return {action, action < 0 ? kNoNode : rows.child[static_cast<std::size_t>(action)]};
  }

  Scratch make_scratch() const { return Scratch(rows_.visits.size()); }

  // Each root's final action (among the legal actions visited most in this search, the highest
  // root score on the final tree) and its improved policy (zeros without legal action).
  void finish(const NodeStore& store, const std::vector<NodeId>& roots, const RootSet& searched) {
    for (std::size_t i = 0; i < roots.size(); ++i) {
      if (!searched.contains(i)) continue;
      const NodeId root = roots[i];
      double* weights = weights_.data() + i * num_actions_;
      const float* priors = store.priors(root);
      rows_.gather(store, root, priors);
      std::int32_t most = -1;
      for (std::size_t a = 0; a < num_actions_; ++a) {
        if (is_legal(priors[a])) most = std::max(most, search_visits(i, a, rows_.visits.data()));
      }
      if (most < 0) {
        selected_[i] = -1;
        std::fill(weights, weights + num_actions_, 0.0);
        continue;
      }
      selected_[i] = best_considered(store, i, root, most, rows_, rows_.visits.data()).action;
      improved_policy(priors, store.logits(root), rows_,
                      sigma_of(store[root].raw_value, priors, rows_, params_), weights);
    }
  }

  // The final action of root i's last completed search, or kNoSelection if it has none.
  std::int64_t selected(std::size_t i) const noexcept {
    return selected_.empty() ? kNoSelection : selected_[i];
  }
  // The improved policy of root i after the last completed search, num_actions entries.
  const double* weights(std::size_t i) const noexcept { return weights_.data() + i * num_actions_; }
  void forget(std::size_t i) noexcept {
    if (!selected_.empty()) selected_[i] = kNoSelection;
  }
  void forget_all(const RootSet& searched) noexcept {
    for (std::size_t i = 0; i < selected_.size(); ++i) {
      if (searched.contains(i)) selected_[i] = kNoSelection;
    }
  }

 private:
  std::int32_t search_visits(std::size_t i, std::size_t a,
                             const std::int32_t* counts) const noexcept {
    return counts[a] - base_visits_[i * num_actions_ + a];
  }

  // The counts the schedule and the interior rule compare at node id, whose children
  // scratch.rows holds: the visits, plus the pending ones at a node that has some.
  static VisitCounts counts(Scratch& scratch, NodeId id, const PendingVisits* pending) noexcept {
    if (pending == nullptr || pending->at(id) == 0) {
      return {scratch.rows.visits.data(), scratch.rows.total_visits};
    }
    return add_pending(scratch.rows, id, *pending, scratch.counts.data());
  }

  // Among the legal actions of root i with `considered` visits in this search (by `counts`), the
  // highest root score, lowest on ties; `rows` holds the root's children.
  Choice best_considered(const NodeStore& store, std::size_t i, NodeId root,
                         std::int32_t considered, const ChildRows& rows,
                         const std::int32_t* counts) const noexcept {
    const float* priors = store.priors(root);
    const double* logits = store.logits(root);
    const double* noise = noise_.data() + i * num_actions_;
    Choice best{-1, kNoNode};
    if (rows.num_visited == 0 && !rows.unvisited_legal) return best;
    const Sigma sigma = sigma_of(store[root].raw_value, priors, rows, params_);
    double best_score = 0.0;
    for (std::size_t a = 0; a < num_actions_; ++a) {
      if (!is_legal(priors[a]) || search_visits(i, a, counts) != considered) continue;
      const double score = root_score(noise[a], logits[a], sigma.of(rows, a));
      if (best.action < 0 || score > best_score) {
        best = {static_cast<std::int32_t>(a), rows.child[a]};
        best_score = score;
      }
    }
    return best;
  }

  GumbelParams params_;
  double noise_scale_;
  std::int64_t max_considered_;
  std::int64_t simulations_;
  std::size_t num_actions_;
  ChildRows rows_;                         // scratch of start() and finish()
  std::vector<std::int32_t> base_visits_;  // B_a, roots x actions
  std::vector<double> noise_;              // G_a, roots x actions
  std::vector<std::int64_t> considered_;   // k, by root
  std::vector<std::int64_t> selected_;     // final action by root, or kNoSelection
  std::vector<double> weights_;            // improved policy, roots x actions
};

}  // namespace veltra::forest
