#pragma once

#include <cstddef>
#include <vector>

#include "forest/formulas.h"
#include "forest/node.h"
#include "forest/node_store.h"
#include "forest/random.h"
#include "forest/root_set.h"
#include "forest/search_config.h"

namespace veltra::forest {

// The roots' priors mixed with Dirichlet noise for one PUCT search: drawn at its start, one gamma
// draw per legal action of every root, roots in order and actions in increasing order, then
// p' = (1 - fraction) * p + fraction * eta (eta uniform over the legal actions if every draw is 0).
// Empty when the fraction is 0 or the policy is not PUCT.
class RootNoise {
 public:
  RootNoise(const SearchConfig& config, std::size_t num_roots)
      : alpha_(config.dirichlet_alpha),
        fraction_(config.dirichlet_fraction),
        num_actions_(static_cast<std::size_t>(config.num_actions)),
        noisy_priors_(applies(config) ? num_roots * num_actions_ : 0) {}

  static bool applies(const SearchConfig& config) noexcept {
    return config.policy == Policy::kPuct && config.dirichlet_fraction > 0.0;
  }

  void draw(const NodeStore& store, const std::vector<NodeId>& roots, Generator& generator,
            const RootSet& searched) {
    if (noisy_priors_.empty()) return;
    for (std::size_t i = 0; i < roots.size(); ++i) {
      if (!searched.contains(i)) continue;
      const float* priors = store.priors(roots[i]);
      double* noisy = noisy_priors_.data() + i * num_actions_;
      double total = 0.0;
      std::size_t num_legal = 0;
      for (std::size_t a = 0; a < num_actions_; ++a) {
        if (!is_legal(priors[a])) continue;
        noisy[a] = generator.gamma(alpha_);
        total += noisy[a];
        ++num_legal;
      }
      for (std::size_t a = 0; a < num_actions_; ++a) {
        if (!is_legal(priors[a])) {
          noisy[a] = static_cast<double>(kIllegal);
          continue;
        }
        const double eta = total == 0.0 ? 1.0 / static_cast<double>(num_legal) : noisy[a] / total;
        noisy[a] = ((1.0 - fraction_) * static_cast<double>(priors[a])) + (fraction_ * eta);
      }
    }
  }

  // Root i's noisy priors, num_actions entries (kIllegal on illegal actions).
  const double* priors(std::size_t i) const noexcept {
    return noisy_priors_.data() + i * num_actions_;
  }

 private:
  double alpha_;
  double fraction_;
  std::size_t num_actions_;
  std::vector<double> noisy_priors_;  // roots x actions
};

}  // namespace veltra::forest
