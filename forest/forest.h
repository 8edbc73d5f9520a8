#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "forest/evaluation.h"
#include "forest/formulas.h"
#include "forest/node_store.h"
#include "forest/random.h"
#include "forest/search_config.h"
#include "forest/tree_invariants.h"

namespace veltra::forest {

// Independent search trees, one per root, searched together: every simulation step descends once
// in each tree, has all the positions those descents reached evaluated in one batch, then backs
// up. States are not stored here: a caller keeps one per node id (Expansion::node, root_node)
// and is told about every node it frees.
//
// Selection is PUCT with min-max normalised values; at the roots of a search, the priors are mixed
// with Dirichlet noise drawn at its start. Each step either applies completely or not at all: an
// evaluation that throws leaves the trees as the previous step left them.
//
// Not thread-safe; the caller serialises calls.
class Forest {
 public:
  // One root per row of `roots`, each with N = 1 and V = v0 = its value.
  Forest(const SearchConfig& config, const Evaluations& roots)
      : config_(config),
        num_actions_(static_cast<std::size_t>(config.num_actions)),
        store_(num_actions_, roots.rows()),
        generator_(config.seed),
        roots_(roots.rows(), kNoNode),
        pending_actions_(roots.rows(), -1),
        path_starts_(roots.rows() + 1),
        noisy_priors_(config.dirichlet_fraction > 0.0 ? roots.rows() * num_actions_ : 0),
        exploration_scales_(exploration_scales(config)) {
    for (std::size_t i = 0; i < roots.rows(); ++i) roots_[i] = create_root(i, roots, i);
    check_forest_invariants(store_, roots_, num_actions_);
  }

  const SearchConfig& config() const noexcept { return config_; }
  std::size_t num_roots() const noexcept { return roots_.size(); }
  std::size_t num_actions() const noexcept { return num_actions_; }
  // Nodes of all trees; a pending root has none.
  std::size_t num_nodes() const noexcept { return store_.live(); }
  std::size_t node_capacity() const noexcept { return store_.capacity(); }

  // Nodes of tree i: an upper bound on how many an advance or reset of it releases.
  std::size_t tree_size(std::size_t i) const noexcept { return store_.tree_size(i); }

  // The root node of tree i, or kNoNode while it is pending (advanced to a child that does not
  // exist yet; the next search creates it).
  NodeId root_node(std::size_t i) const { return roots_.at(i); }
  bool is_pending(std::size_t i) const { return root_node(i) == kNoNode; }
  const Node& node(NodeId id) const noexcept { return store_[id]; }
  const float* priors(NodeId id) const noexcept { return store_.priors(id); }
  NodeId child(NodeId parent, std::int32_t action) const noexcept {
    return store_.child(parent, action);
  }

  // Why `action` cannot be played at root i, or an empty string if it can. With `all_roots` (a
  // move for every root at once), -1 is the move of a root without legal action (a finished
  // game), which stays as it is, and the only move such a root accepts.
  std::string move_error(std::size_t i, std::int64_t action, bool all_roots = false) const {
    const NodeId root = root_node(i);
    const auto where = [i] { return "root " + std::to_string(i); };
    if (root == kNoNode) return where() + " has not been evaluated yet; run search first";
    if (all_roots && !has_legal_action(root)) {
      return action == -1 ? std::string() : where() + " has no legal action; its action must be -1";
    }
    if (action < 0 || action >= config_.num_actions || !is_legal(store_.priors(root)[action])) {
      return "action " + std::to_string(action) + " is not a legal action of " + where();
    }
    return {};
  }

  // Makes the child of root i reached by `action` the new root with its statistics and subtree,
  // calling release(id) for every node dropped. If that child was never created, the whole tree
  // goes and the root is pending until the next search evaluates it.
  template <typename Release>
  void advance(std::size_t i, std::int64_t action, Release&& release) {
    if (std::string error = move_error(i, action); !error.empty()) {
      throw std::invalid_argument(error);
    }
    apply_move(i, action, release);
    check_forest_invariants(store_, roots_, num_actions_);
  }

  // advance for every root at once, action i for root i; all are checked before any is applied.
  template <typename Release>
  void advance_all(const std::int64_t* actions, Release&& release) {
    for (std::size_t i = 0; i < num_roots(); ++i) {
      if (std::string error = move_error(i, actions[i], true); !error.empty()) {
        throw std::invalid_argument(error);
      }
    }
    for (std::size_t i = 0; i < num_roots(); ++i) apply_move(i, actions[i], release);
    check_forest_invariants(store_, roots_, num_actions_);
  }

  // Replaces tree i by a single root made from row `row` of `evaluation`, calling release(id) for
  // every node dropped. Returns the new root's id.
  template <typename Release>
  NodeId reset(std::size_t i, const Evaluations& evaluation, std::size_t row, Release&& release) {
    // The old tree's nodes go to tree i's free list first, so the new root never needs to grow
    // the store once the old tree is gone.
    const NodeId old_root = root_node(i);
    if (old_root != kNoNode) store_.free_tree(i, old_root, kNoNode, release);
    roots_[i] = create_root(i, evaluation, row);
    check_forest_invariants(store_, roots_, num_actions_);
    return roots_[i];
  }

  // Runs config().num_simulations simulations in every tree. `evaluate(expansions, evaluations)`
  // must fill one row of `evaluations` (already sized) per expansion, or throw; a throw leaves
  // every step before it applied. Pending roots are evaluated first, in one call of their own.
  // `after_step()` runs after every step and may throw to end the search there.
  template <typename Evaluate, typename AfterStep>
  void search(Evaluate&& evaluate, AfterStep&& after_step) {
    check_visit_capacity();
    evaluate_pending_roots(evaluate);
    draw_root_noise();
    for (std::int32_t s = 0; s < config_.num_simulations; ++s) {
      step(evaluate);
      after_step();
    }
    check_forest_invariants(store_, roots_, num_actions_);
  }
  template <typename Evaluate>
  void search(Evaluate&& evaluate) {
    search(evaluate, [] {});
  }

  // Visits of each child of root i (0 for absent ones), num_actions entries.
  void root_visit_counts(std::size_t i, std::int64_t* out) const {
    for_each_root_action(
        i, [&](std::size_t a, NodeId c) { out[a] = c == kNoNode ? 0 : node(c).visits; });
  }

  // r + gamma * V of each child of root i, NaN for absent ones.
  void root_q_values(std::size_t i, double* out) const {
    for_each_root_action(i, [&](std::size_t a, NodeId c) {
      out[a] = c == kNoNode ? std::numeric_limits<double>::quiet_NaN()
                            : edge_value(node(c).reward, node(c).discount, node(c).value);
    });
  }

  // The move of every root: the most visited legal action (lowest on ties) for temperature 0,
  // otherwise a legal action drawn with probability proportional to visits^(1/temperature).
  // -1 for a root without legal action or a pending one.
  void select(double temperature, std::int64_t* out) {
    if (!(temperature >= 0.0)) throw std::invalid_argument("temperature must be >= 0");
    std::vector<std::int32_t>& visits = child_visits_;
    visits.resize(num_actions_);
    for (std::size_t i = 0; i < num_roots(); ++i) {
      out[i] = -1;
      const NodeId root = roots_[i];
      if (root == kNoNode || !has_legal_action(root)) continue;
      for_each_root_action(
          i, [&](std::size_t a, NodeId c) { visits[a] = c == kNoNode ? 0 : node(c).visits; });
      out[i] = temperature == 0.0 ? most_visited(root, visits.data())
                                  : sample_by_visits(root, visits.data(), temperature);
    }
  }

 private:
  bool has_legal_action(NodeId id) const noexcept {
    const float* p = store_.priors(id);
    for (std::size_t a = 0; a < num_actions_; ++a) {
      if (is_legal(p[a])) return true;
    }
    return false;
  }

  NodeId create_root(std::size_t tree, const Evaluations& evaluation, std::size_t row) {
    const NodeId id = store_.allocate(tree);
    fill_node(id, evaluation, row, -1);
    return id;
  }

  void fill_node(NodeId id, const Evaluations& evaluation, std::size_t row, std::int32_t action) {
    Node& n = store_[id];
    n.value = evaluation.values[row];
    n.raw_value = evaluation.values[row];
    n.reward = evaluation.rewards[row];
    n.discount = evaluation.discounts[row];
    n.visits = 1;
    n.action = action;
    n.first_child = kNoNode;
    n.next_sibling = kNoNode;
    const float* source = evaluation.priors.data() + row * num_actions_;
    std::copy(source, source + num_actions_, store_.priors(id));
  }

  template <typename Release>
  void apply_move(std::size_t i, std::int64_t action, Release& release) {
    if (action < 0) return;  // a finished game stays as it is
    const NodeId root = roots_[i];
    const NodeId next = store_.child(root, static_cast<std::int32_t>(action));
    store_.free_tree(i, root, next, release);
    roots_[i] = next;
    if (next == kNoNode) pending_actions_[i] = static_cast<std::int32_t>(action);
  }

  void check_visit_capacity() const {
    for (const NodeId root : roots_) {
      const std::int64_t visits = root == kNoNode ? 1 : node(root).visits;
      if (visits + config_.num_simulations > std::numeric_limits<std::int32_t>::max()) {
        throw std::overflow_error("a root would exceed 2^31 - 1 visits");
      }
    }
  }

  // Collects the expansions `reserve` records (each with a reserved node) and has them evaluated.
  // If either throws, the reserved nodes go back to their free lists and nothing else changed.
  template <typename Reserve, typename Evaluate>
  void reserve_and_evaluate(Reserve&& reserve, Evaluate& evaluate) {
    expansions_.clear();
    try {
      reserve();
      if (expansions_.empty()) return;
      evaluations_.resize(expansions_.size(), num_actions_);
      evaluate(static_cast<const std::vector<Expansion>&>(expansions_), evaluations_);
    } catch (...) {
      for (auto e = expansions_.rbegin(); e != expansions_.rend(); ++e) {
        store_.free(e->node, static_cast<std::size_t>(e->root));
      }
      expansions_.clear();
      throw;
    }
  }

  template <typename Evaluate>
  void evaluate_pending_roots(Evaluate& evaluate) {
    reserve_and_evaluate(
        [&] {
          for (std::size_t i = 0; i < num_roots(); ++i) {
            if (roots_[i] != kNoNode) continue;
            expansions_.push_back(
                {static_cast<std::int32_t>(i), kNoNode, pending_actions_[i], store_.allocate(i)});
          }
        },
        evaluate);
    for (std::size_t k = 0; k < expansions_.size(); ++k) {
      const Expansion& e = expansions_[k];
      fill_node(e.node, evaluations_, k, e.action);
      roots_[static_cast<std::size_t>(e.root)] = e.node;
    }
  }

  void draw_root_noise() {
    const double fraction = config_.dirichlet_fraction;
    if (!(fraction > 0.0)) return;
    for (std::size_t i = 0; i < num_roots(); ++i) {
      const float* priors = store_.priors(roots_[i]);
      double* noisy = noisy_priors_.data() + i * num_actions_;
      double total = 0.0;
      std::size_t num_legal = 0;
      for (std::size_t a = 0; a < num_actions_; ++a) {
        if (!is_legal(priors[a])) continue;
        noisy[a] = generator_.gamma(config_.dirichlet_alpha);
        total += noisy[a];
        ++num_legal;
      }
      for (std::size_t a = 0; a < num_actions_; ++a) {
        if (!is_legal(priors[a])) {
          noisy[a] = static_cast<double>(kIllegal);
          continue;
        }
        const double eta = total == 0.0 ? 1.0 / static_cast<double>(num_legal) : noisy[a] / total;
        noisy[a] = ((1.0 - fraction) * static_cast<double>(priors[a])) + (fraction * eta);
      }
    }
  }

  template <typename Evaluate>
  void step(Evaluate& evaluate) {
    reserve_and_evaluate(
        [&] {
          path_.clear();
          for (std::size_t i = 0; i < num_roots(); ++i) {
            path_starts_[i] = path_.size();
            descend(i);
          }
          path_starts_[num_roots()] = path_.size();
        },
        evaluate);

    auto expansion = expansions_.begin();
    for (std::size_t i = 0; i < num_roots(); ++i) {
      const NodeId* path = path_.data() + path_starts_[i];
      const std::size_t length = path_starts_[i + 1] - path_starts_[i];
      if (expansion == expansions_.end() || static_cast<std::size_t>(expansion->root) != i) {
        back_up(path, length, kNoNode);  // the descent ended at a node without legal action
        continue;
      }
      fill_node(expansion->node, evaluations_,
                static_cast<std::size_t>(expansion - expansions_.begin()), expansion->action);
      store_.link_child(expansion->parent, expansion->node);
      back_up(path, length, expansion->node);
      ++expansion;
    }
  }

  struct Choice {
    std::int32_t action;  // -1 at a node without legal action
    NodeId child;         // kNoNode if the chosen action has no child yet
  };

  // Walks down tree i from its root, recording the path in path_, until a chosen action has no
  // child yet (recorded as an expansion with a reserved node) or a node has no legal action.
  void descend(std::size_t i) {
    NodeId id = roots_[i];
    const bool noisy = config_.dirichlet_fraction > 0.0;
    Choice choice =
        noisy ? choose(id, noisy_priors_.data() + i * num_actions_) : choose(id, store_.priors(id));
    for (;;) {
      path_.push_back(id);
      if (choice.action < 0) return;
      if (choice.child == kNoNode) {
        expansions_.push_back(
            {static_cast<std::int32_t>(i), id, choice.action, store_.allocate(i)});
        return;
      }
      id = choice.child;
      choice = choose(id, store_.priors(id));
    }
  }

  static constexpr std::size_t kExplorationTableSize = 1024;

  // The legal action with the highest PUCT score at node `id`, lowest action on ties.
  //
  // A first walk of the sibling list gathers the min-max range and, from the gaps between the
  // children, the unvisited action with the highest prior; a second walk scores the children
  // (recomputing each Q, the same expression, is cheaper than storing and reloading it). An
  // unvisited action's score is scale * p, and for float32 priors p_a > p_b implies scale * p_a >
  // scale * p_b (the gap between two floats is far wider than a double's rounding, as long as the
  // product is a normal double), so that action is the best unvisited one and the only one scored;
  // ties among unvisited actions still go to the lowest index. With no NaN among the scores the
  // first highest score in action order is the one with the highest score and lowest index, which
  // the final comparison reproduces. Noisy root priors (double), a non-finite Q or range and an
  // exploration scale outside [2^-800, max] take the action-by-action scan instead.
  template <typename Prior>
  [[gnu::always_inline]] Choice choose(NodeId id, const Prior* priors) noexcept {
    const Node& n = store_[id];
    QRange range(n.value);
    double q_sum = 0.0;  // NaN or inf if any Q is not finite
    Unvisited unvisited{num_actions_, kIllegal};
    std::size_t gap_start = 0;
    for (NodeId c = n.first_child; c != kNoNode;) {
      const Node& child = store_[c];
      if constexpr (std::is_same_v<Prior, float>) {
        const auto action = static_cast<std::size_t>(child.action);
        unvisited = scan_gap(priors, gap_start, action, unvisited);
        gap_start = action + 1;
      }
      const double q = edge_value(child.reward, child.discount, child.value);
      range.include(q);
      q_sum += q;
      c = child.next_sibling;
    }
    const double scale = exploration_scale_at(n.visits);
    if constexpr (std::is_same_v<Prior, float>) {
      // Finite Qs and a finite high - low make every normalised Q, hence every score, finite.
      const bool finite_scores = std::isfinite(q_sum + (range.high - range.low));
      if (finite_scores && scale >= 0x1p-800 && scale <= kMaxDouble) {
        unvisited = scan_gap(priors, gap_start, num_actions_, unvisited);
        return best_of(n, range, scale, priors, unvisited);
      }
    }
    return scan_actions(n, range, scale, priors);
  }

  static constexpr double kMaxDouble = std::numeric_limits<double>::max();

  struct Unvisited {
    std::size_t action;  // num_actions_ when there is none
    float prior;         // kIllegal when there is none
  };

  // `best`, or the action in [begin, end) with a higher float prior (the lowest of equal ones);
  // illegal actions (kIllegal) never are.
  static Unvisited scan_gap(const float* priors, std::size_t begin, std::size_t end,
                            Unvisited best) noexcept {
    for (std::size_t a = begin; a < end; ++a) {
      if (priors[a] > best.prior) best = {a, priors[a]};
    }
    return best;
  }

  // The choice among the gathered visited children and the best unvisited action, all scores
  // finite: highest score, lowest action on ties.
  Choice best_of(const Node& n, const QRange& range, double scale, const float* priors,
                 Unvisited unvisited) const noexcept {
    Choice best{-1, kNoNode};
    double best_score = 0.0;
    const double spread = range.spread();
    for (NodeId c = n.first_child; c != kNoNode;) {
      const Node& child = store_[c];
      const double q = edge_value(child.reward, child.discount, child.value);
      const double score = puct_score(range.normalise(q, spread), scale,
                                      static_cast<double>(priors[child.action]), child.visits);
      if (best.action < 0 || score > best_score) {
        best = {child.action, c};
        best_score = score;
      }
      c = child.next_sibling;
    }
    if (unvisited.action < num_actions_) {
      const auto action = static_cast<std::int32_t>(unvisited.action);
      const double score = puct_score(0.0, scale, static_cast<double>(unvisited.prior), 0);
      if (best.action < 0 || score > best_score || (score == best_score && action < best.action)) {
        best = {action, kNoNode};
      }
    }
    return best;
  }

  // The choice by scoring every legal action in order, the first highest score winning. A NaN
  // score never wins; if every score is NaN, the lowest legal action does.
  template <typename Prior>
  Choice scan_actions(const Node& n, const QRange& range, double scale,
                      const Prior* priors) const noexcept {
    const double spread = range.spread();
    Choice best{-1, kNoNode};
    Choice lowest{-1, kNoNode};
    double best_score = -std::numeric_limits<double>::infinity();
    NodeId next = n.first_child;
    for (std::size_t a = 0; a < num_actions_; ++a) {
      const auto prior = static_cast<double>(priors[a]);
      double score;
      NodeId c = kNoNode;
      if (next != kNoNode && static_cast<std::size_t>(store_[next].action) == a) {
        const Node& child = store_[next];
        c = next;
        next = child.next_sibling;
        const double q = edge_value(child.reward, child.discount, child.value);
        score = puct_score(range.normalise(q, spread), scale, prior, child.visits);
      } else {
        if (!is_legal(prior)) continue;
        score = puct_score(0.0, scale, prior, 0);
      }
      if (lowest.action < 0) lowest = {static_cast<std::int32_t>(a), c};
      if (score > best_score) {
        best = {static_cast<std::int32_t>(a), c};
        best_score = score;
      }
    }
    return best.action < 0 ? lowest : best;
  }

  // sqrt(N) * pb_c, from a table for the small counts most nodes have.
  double exploration_scale_at(std::int32_t visits) const noexcept {
    const auto index = static_cast<std::size_t>(visits);
    if (index < exploration_scales_.size()) return exploration_scales_[index];
    return exploration_scale(visits,
                             exploration_rate(visits, config_.pb_c_init, config_.pb_c_base));
  }

  static std::vector<double> exploration_scales(const SearchConfig& config) {
    // Counts above num_simulations + 1 occur only at roots reused across searches.
    const auto counts = static_cast<std::size_t>(config.num_simulations) + 2;
    std::vector<double> scales(std::min(counts, kExplorationTableSize));
    for (std::size_t n = 0; n < scales.size(); ++n) {
      const auto visits = static_cast<std::int32_t>(n);
      scales[n] =
          exploration_scale(visits, exploration_rate(visits, config.pb_c_init, config.pb_c_base));
    }
    return scales;
  }

  // Backs a value up `path` (root first). With a new `leaf` below the path, G starts at the
  // leaf's value and the leaf keeps its single visit; without one, the last node of the path is
  // terminal and takes its own value as a visit too.
  void back_up(const NodeId* path, std::size_t length, NodeId leaf) noexcept {
    NodeId below = leaf;
    std::size_t j = length;
    double g;
    if (leaf != kNoNode) {
      g = store_[leaf].raw_value;
    } else {
      below = path[--j];
      g = store_[below].raw_value;
      visit(below, g);
    }
    while (j > 0) {
      const Node& edge = store_[below];
      g = edge_value(edge.reward, edge.discount, g);
      below = path[--j];
      visit(below, g);
    }
  }

  void visit(NodeId id, double g) noexcept {
    Node& n = store_[id];
    n.value = mean_after_visit(n.value, n.visits, g);
    n.visits += 1;
  }

  // Calls f(action, child or kNoNode) for every action of root i in increasing order.
  template <typename F>
  void for_each_root_action(std::size_t i, F&& f) const {
    const NodeId root = root_node(i);
    NodeId c = root == kNoNode ? kNoNode : node(root).first_child;
    for (std::size_t a = 0; a < num_actions_; ++a) {
      if (c != kNoNode && static_cast<std::size_t>(node(c).action) == a) {
        f(a, c);
        c = node(c).next_sibling;
      } else {
        f(a, kNoNode);
      }
    }
  }

  std::int64_t most_visited(NodeId root, const std::int32_t* visits) const noexcept {
    const float* priors = store_.priors(root);
    std::int64_t best = -1;
    for (std::size_t a = 0; a < num_actions_; ++a) {
      if (!is_legal(priors[a])) continue;
      if (best < 0 || visits[a] > visits[best]) best = static_cast<std::int64_t>(a);
    }
    return best;
  }

  std::int64_t sample_by_visits(NodeId root, const std::int32_t* visits, double temperature) {
    const float* priors = store_.priors(root);
    const double exponent = 1.0 / temperature;
    double total = 0.0;
    for (std::size_t a = 0; a < num_actions_; ++a) {
      if (is_legal(priors[a])) total += std::pow(static_cast<double>(visits[a]), exponent);
    }
    if (total == 0.0 || !std::isfinite(total)) return most_visited(root, visits);
    const double u = generator_.uniform() * total;
    double running = 0.0;
    std::int64_t last_legal = -1;
    for (std::size_t a = 0; a < num_actions_; ++a) {
      if (!is_legal(priors[a])) continue;
      running += std::pow(static_cast<double>(visits[a]), exponent);
      if (running > u) return static_cast<std::int64_t>(a);
      last_legal = static_cast<std::int64_t>(a);
    }
    return last_legal;
  }

  SearchConfig config_;
  std::size_t num_actions_;
  NodeStore store_;
  Generator generator_;
  std::vector<NodeId> roots_;
  std::vector<std::int32_t> pending_actions_;  // the action a pending root is reached by

  // Buffers of one step, kept to avoid allocating per step.
  std::vector<NodeId> path_;              // the descent of every root, one after the other
  std::vector<std::size_t> path_starts_;  // where root i's descent starts in path_, plus the end
  std::vector<Expansion> expansions_;
  Evaluations evaluations_;
  std::vector<double> noisy_priors_;  // root priors with noise during a search, roots x actions
  std::vector<std::int32_t> child_visits_;
  std::vector<double> exploration_scales_;  // exploration_scale at N = 0, 1, ...
};

}  // namespace veltra::forest
