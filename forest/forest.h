#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "forest/descent.h"
#include "forest/evaluation.h"
#include "forest/exact_values.h"
#include "forest/formulas.h"
#include "forest/gumbel_roots.h"
#include "forest/lane_backup.h"
#include "forest/node_store.h"
#include "forest/puct_selection.h"
#include "forest/random.h"
#include "forest/root_noise.h"
#include "forest/root_results.h"
#include "forest/root_set.h"
#include "forest/search_config.h"
#include "forest/step_lanes.h"
#include "forest/thread_pool.h"
#include "forest/tree_invariants.h"

namespace veltra::forest {

// Independent search trees, one per root, searched together: every simulation step descends once
// in each tree, has all the positions those descents reached evaluated in one batch, then backs
// up. States are not stored here: a caller keeps one per node id (Expansion::node, root_node)
// and is told about every node it frees.
//
// Selection is PUCT with min-max normalised values (PuctSelection); at the roots of a search, the
// priors are mixed with Dirichlet noise drawn at its start (RootNoise). Under Policy::kGumbel,
// GumbelRoots chooses instead (sequential halving at the roots, the improved policy below them),
// and every node keeps its shifted logits, which the evaluations must then carry. Backups are
// back_up's; what a search reports about its roots comes from root_results.h. Each step either
// applies completely or not at all: an evaluation that throws leaves the trees as the previous
// step left them.
//
// With config.leaves_per_step K > 1, a step descends up to K times in each tree before the
// evaluation, each descent seeing the pending visits of the earlier ones (PendingVisits), and a
// search of S simulations runs ceil(S / K) steps, the last with what remains.
//
// The descents and backups of a step run on config.num_threads native threads (see StepLane),
// each over its own roots, with results that do not depend on their number; evaluate and
// after_step run on the calling thread. Not thread-safe; the caller serialises calls.
class Forest {
 public:
  // `num_roots` roots pending on their own states, which the caller keeps: the next search has
  // them evaluated first (expansions with action Expansion::kOwnState).
  Forest(const SearchConfig& config, std::size_t num_roots)
      : config_(config),
        num_actions_(static_cast<std::size_t>(config.num_actions)),
        gumbel_policy_(config.policy == Policy::kGumbel),
        store_(num_actions_, num_roots, gumbel_policy_, config.solve),
        generator_(config.seed),
        roots_(num_roots, kNoNode),
        pending_actions_(num_roots, Expansion::kOwnState),
        puct_(config),
        root_noise_(config, num_roots),
        gumbel_(config, num_roots),
        pool_(std::make_unique<ThreadPool>(std::min(thread_count(config), num_roots))),
        lanes_(make_lanes(num_roots, pool_->size(),
                          static_cast<std::size_t>(config.leaves_per_step), gumbel_)) {}

  // One root per row of `roots`, each with N = 1 and V = v0 = its value.
  Forest(const SearchConfig& config, const Evaluations& roots) : Forest(config, roots.rows()) {
    check_evaluations(roots);
    for (std::size_t i = 0; i < roots.rows(); ++i) roots_[i] = create_root(i, roots, i);
    check_invariants();
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
  // exist yet, or reset to a state the caller evaluates; the next search creates it).
  NodeId root_node(std::size_t i) const { return roots_.at(i); }
  bool is_pending(std::size_t i) const { return root_node(i) == kNoNode; }
  // Whether node id's value is exact (SearchConfig::solve; see exact_values.h).
  bool solved(NodeId id) const noexcept { return store_.solved(id); }
  bool pending_on_own_state(std::size_t i) const {
    return is_pending(i) && pending_actions_[i] == Expansion::kOwnState;
  }
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
    if (all_roots && !store_.has_legal_action(root)) {
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
    check_invariants();
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
    check_invariants();
  }

  // Replaces tree i by a single root made from row `row` of `evaluation`, calling release(id) for
  // every node dropped. Returns the new root's id.
  template <typename Release>
  NodeId reset(std::size_t i, const Evaluations& evaluation, std::size_t row, Release&& release) {
    // The old tree's nodes go to tree i's free list first, so the new root never needs to grow
    // the store once the old tree is gone.
    check_evaluations(evaluation);
    const NodeId old_root = root_node(i);
    if (old_root != kNoNode) store_.free_tree(i, old_root, kNoNode, release);
    gumbel_.forget(i);
    roots_[i] = create_root(i, evaluation, row);
    check_invariants();
    return roots_[i];
  }

  // Replaces tree i by a root pending on its own state (see Forest(config, num_roots)), calling
  // release(id) for every node dropped.
  template <typename Release>
  void reset_pending(std::size_t i, Release&& release) {
    const NodeId old_root = root_node(i);
    if (old_root != kNoNode) store_.free_tree(i, old_root, kNoNode, release);
    gumbel_.forget(i);
    roots_[i] = kNoNode;
    pending_actions_[i] = Expansion::kOwnState;
    check_invariants();
  }

  // Runs config().num_simulations simulations in every tree. `evaluate(expansions, evaluations)`
  // must fill one row of `evaluations` (already sized) per expansion, or throw; a throw leaves
  // every step before it applied. Pending roots are evaluated first: those pending on their own
  // states in one call, then those reached by a move in another.
  // `after_step()` runs after every step and may throw to end the search there; `stop()` runs
  // after it and ends the search there when it returns true (a search cut short: under Gumbel,
  // its final action and improved policy are those of the tree it leaves). With
  // SearchConfig::solve, a solved root takes no more steps, and the search ends once every root
  // it steps is solved. Returns the number of
  // simulations run (K per step, fewer in a last step). Only the roots in `roots` are evaluated,
  // stepped and drawn noise for; the others and their trees (and Gumbel results) stay as they are.
  template <typename Evaluate, typename AfterStep, typename Stop>
  std::int32_t search(Evaluate&& evaluate, AfterStep&& after_step, Stop&& stop,
                      RootSet roots = RootSet()) {
    searching_ = std::move(roots);
    gumbel_.forget_all(searching_);
    check_visit_capacity();
    evaluate_pending_roots(evaluate);
    if (gumbel_policy_) {
      gumbel_.start(store_, roots_, generator_, searching_);
    } else {
      root_noise_.draw(store_, roots_, generator_, searching_);
    }
    std::int32_t simulations = 0;
    while (simulations < config_.num_simulations && !every_searched_root_solved()) {
      const std::int32_t descents =
          std::min(config_.leaves_per_step, config_.num_simulations - simulations);
      step(evaluate, simulations, descents);
      simulations += descents;
      after_step();
      if (stop()) break;
    }
    if (gumbel_policy_) gumbel_.finish(store_, roots_, searching_);
    check_invariants();
    return simulations;
  }
  template <typename Evaluate, typename AfterStep>
  std::int32_t search(Evaluate&& evaluate, AfterStep&& after_step) {
    return search(evaluate, after_step, [] { return false; });
  }
  template <typename Evaluate>
  std::int32_t search(Evaluate&& evaluate) {
    return search(evaluate, [] {});
  }

  // The search target of root i, num_actions entries: its visit counts normalised (PUCT), or the
  // improved policy after the last completed search (Gumbel); zeros for a root without visits or
  // without legal action.
  void root_action_weights(std::size_t i, double* out) const {
    if (gumbel_policy_ && gumbel_.selected(i) != GumbelRoots::kNoSelection) {
      std::copy(gumbel_.weights(i), gumbel_.weights(i) + num_actions_, out);
      return;
    }
    visit_distribution(store_, root_node(i), num_actions_, out);
  }

  // Visits of each child of root i (0 for absent ones), num_actions entries.
  void root_visit_counts(std::size_t i, std::int64_t* out) const {
    child_visit_counts(store_, root_node(i), num_actions_, out);
  }

  // r + gamma * V of each child of root i, NaN for absent ones.
  void root_q_values(std::size_t i, double* out) const {
    child_q_values(store_, root_node(i), num_actions_, out);
  }

  // The move of every root: for temperature 0, the move a solved root proves (proven_move), or
  // the final action of the last completed Gumbel search of the root if it has one, else the most
  // visited legal action (lowest on ties);
  // otherwise a legal action drawn with probability proportional to visits^(1/temperature).
  // -1 for a root without legal action or a pending one.
  void select(double temperature, std::int64_t* out) {
    if (!(temperature >= 0.0)) throw std::invalid_argument("temperature must be >= 0");
    std::vector<std::int32_t>& visits = child_visits_;
    visits.resize(num_actions_);
    for (std::size_t i = 0; i < num_roots(); ++i) {
      out[i] = root_move(store_, roots_[i], gumbel_.selected(i), temperature, visits.data(),
                         num_actions_, generator_);
    }
  }

 private:
  NodeId create_root(std::size_t tree, const Evaluations& evaluation, std::size_t row) {
    const NodeId id = store_.allocate(tree);
    store_.fill(id, evaluation, row, -1);
    return id;
  }

  // Refuses evaluations the forest cannot take: without logits under the Gumbel policy, or, with
  // SearchConfig::solve, with positions whose values cannot be exact. `expansions` are the
  // positions of the rows, or null for roots.
  void check_evaluations(const Evaluations& evaluation,
                         const std::vector<Expansion>* expansions = nullptr) const {
    if (gumbel_policy_ && evaluation.logits.size() != evaluation.priors.size()) {
      throw std::invalid_argument("evaluations for the Gumbel policy must carry their logits");
    }
    if (config_.solve) check_exact_values(config_, evaluation, expansions);
  }

  // A leaf that several descents of one step reach is visited by each, so with several leaves per
  // step a node may have more visits than one plus its children's.
  void check_invariants() const {
    check_forest_invariants(store_, roots_, num_actions_, config_.leaves_per_step > 1);
  }

  bool every_searched_root_solved() const noexcept {
    if (!config_.solve) return false;
    for (std::size_t i = 0; i < num_roots(); ++i) {
      if (searching_.contains(i) && !store_.solved(roots_[i])) return false;
    }
    return true;
  }

  template <typename Release>
  void apply_move(std::size_t i, std::int64_t action, Release& release) {
    gumbel_.forget(i);
    if (action < 0) return;  // a finished game stays as it is
    const NodeId root = roots_[i];
    const NodeId next = store_.child(root, static_cast<std::int32_t>(action));
    store_.free_tree(i, root, next, release);
    roots_[i] = next;
    if (next == kNoNode) pending_actions_[i] = static_cast<std::int32_t>(action);
  }

  void check_visit_capacity() const {
    for (std::size_t i = 0; i < num_roots(); ++i) {
      if (!searching_.contains(i)) continue;
      const NodeId root = roots_[i];
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
      evaluations_.resize(expansions_.size(), num_actions_, gumbel_policy_);
      evaluate(static_cast<const std::vector<Expansion>&>(expansions_), evaluations_);
      check_evaluations(evaluations_, &expansions_);
    } catch (...) {
      for (auto e = expansions_.rbegin(); e != expansions_.rend(); ++e) {
        if (e->node != kNoNode) store_.free(e->node, static_cast<std::size_t>(e->root));
      }
      expansions_.clear();
      throw;
    }
  }

  template <typename Evaluate>
  void evaluate_pending_roots(Evaluate& evaluate) {
    for (const bool own_state : {true, false}) {
      reserve_and_evaluate(
          [&] {
            for (std::size_t i = 0; i < num_roots(); ++i) {
              if (roots_[i] != kNoNode || !searching_.contains(i) ||
                  (pending_actions_[i] == Expansion::kOwnState) != own_state) {
                continue;
              }
              expansions_.push_back(
                  {static_cast<std::int32_t>(i), kNoNode, pending_actions_[i], store_.allocate(i)});
            }
          },
          evaluate);
      for (std::size_t k = 0; k < expansions_.size(); ++k) {
        const Expansion& e = expansions_[k];
        store_.fill(e.node, evaluations_, k, e.action);
        roots_[static_cast<std::size_t>(e.root)] = e.node;
      }
    }
  }

  // A step of `descents` descents per tree, simulations first_simulation onwards.
  template <typename Evaluate>
  void step(Evaluate& evaluate, std::int32_t first_simulation, std::int32_t descents) {
    const bool several = config_.leaves_per_step > 1;
    if (several) pending_.resize(store_.capacity(), 0);
    try {
      reserve_and_evaluate([&] { descend_all(first_simulation, descents); }, evaluate);
    } catch (...) {
      if (several) {
        for (const StepLane& lane : lanes_) lane.clear_pending(pending_.data());
      }
      throw;
    }
    pool_->run([&](std::size_t w) {
      StepLane& lane = lanes_[w];
      if (several) lane.clear_pending(pending_.data());
      back_up_lane(store_, lane, expansions_, evaluations_, num_actions_, config_.value_high);
    });
  }

  // Every lane descends in its trees; then, on this thread, the expansions are gathered in root
  // order and those whose tree had no free node get one, in that order, as a single thread would.
  void descend_all(std::int32_t first_simulation, std::int32_t descents) {
    const SelectionRules rules{puct_, RootNoise::applies(config_) ? &root_noise_ : nullptr,
                               gumbel_};
    pool_->run([&](std::size_t w) {
      StepLane& lane = lanes_[w];
      lane.path.clear();
      lane.descents.clear();
      lane.expansions.clear();
      lane.edge_pending.clear();
      for (std::size_t i = lane.first; i < lane.end; ++i) {
        if (!searching_.contains(i) || store_.solved(roots_[i])) continue;
        if (gumbel_policy_) {
          descend_step<Policy::kGumbel>(config_, store_, roots_[i], i, first_simulation, descents,
                                        rules, lane, pending_.data());
        } else {
          descend_step<Policy::kPuct>(config_, store_, roots_[i], i, first_simulation, descents,
                                      rules, lane, pending_.data());
        }
      }
    });
    std::size_t taken = 0;
    for (StepLane& lane : lanes_) {
      lane.expansion_offset = expansions_.size();
      for (const Expansion& e : lane.expansions) {
        taken += e.node != kNoNode ? 1 : 0;
        expansions_.push_back(e);
      }
    }
    store_.count_taken(taken);
    for (Expansion& e : expansions_) {
      if (e.node == kNoNode) e.node = store_.allocate(static_cast<std::size_t>(e.root));
    }
  }

  SearchConfig config_;
  std::size_t num_actions_;
  bool gumbel_policy_;
  NodeStore store_;
  Generator generator_;
  std::vector<NodeId> roots_;
  std::vector<std::int32_t> pending_actions_;  // the action a pending root is reached by
  RootSet searching_;                          // the roots the search under way steps

  // Buffers of one step, kept to avoid allocating per step.
  std::vector<Expansion> expansions_;  // of every lane, in root order
  Evaluations evaluations_;
  std::vector<std::int32_t> child_visits_;
  std::vector<std::int32_t> pending_;  // pending visits by node id, with several leaves per step
  PuctSelection puct_;
  RootNoise root_noise_;  // empty without Dirichlet noise
  GumbelRoots gumbel_;    // empty under PUCT
  std::unique_ptr<ThreadPool> pool_;
  std::vector<StepLane> lanes_;  // one per thread of pool_
};

}  // namespace veltra::forest
