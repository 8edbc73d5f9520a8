// libFuzzer target for the search core. Each input is decoded into a sequence of operations on
// nodes, handles, trees, policies and the engine; the engine's callbacks draw their answers from
// the same input and may re-enter the structure (reroot, clear, update, drop handles, search
// again). After every operation the structure is checked (invariants.h). AddressSanitizer,
// UndefinedBehaviorSanitizer and LeakSanitizer (leaks are checked after every input, once all
// handles and trees are gone) cover the memory side.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/node.h"
#include "core/search_config.h"
#include "core/search_engine.h"
#include "core/search_result.h"
#include "core/search_tree.h"
#include "fuzz/invariants.h"
#include "policies/full_expansion.h"
#include "policies/policy_weighted_ucb.h"
#include "policies/progressive_expansion.h"
#include "policies/ucb_selection.h"

namespace {

using State = float;
using Handle = veltra::core::NodeHandle<State>;
using Engine = veltra::core::SearchEngine<State>;
using veltra::fuzz::Node;
using veltra::fuzz::Tree;

constexpr std::size_t kMaxHandles = 32;
constexpr std::size_t kMaxTrees = 4;
constexpr std::size_t kMaxActions = 5;
constexpr int kMaxSimulations = 8;
constexpr int kMaxChain = 1024;
constexpr int kMaxSteps = 256;
constexpr int kChainBudget = 4096;  // nodes grow_chain may add per input

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kValues[] = {0.0f,
                             1.0f,
                             -1.0f,
                             0.5f,
                             2.0f,
                             -3.5f,
                             1e30f,
                             -1e30f,
                             kInf,
                             -kInf,
                             std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::lowest(),
                             std::numeric_limits<float>::max(),
                             std::numeric_limits<float>::denorm_min()};
constexpr float kWeights[] = {
    1.414f, 0.0f, 0.5f, 2.0f, -1.0f, kInf, std::numeric_limits<float>::quiet_NaN()};

// Thrown by callbacks; the engine must let it through untouched.
struct CallbackError {};

struct TrackedTree {
  std::shared_ptr<Tree> tree;
  // False once a node of the tree was updated by hand (outside the engine's backups).
  bool engine_only = true;
};

class Session {
 public:
  explicit Session(FuzzedDataProvider& data) : data_(data) {}

  void run() {
    for (int step = 0; step < kMaxSteps && data_.remaining_bytes() > 0; ++step) {
      execute(data_.ConsumeIntegral<std::uint8_t>());
      check_all();
    }
  }

 private:
  enum Op : std::uint8_t {
    kMakeRoot,
    kMakeTree,
    kTakeRoot,
    kTakeChild,
    kCopyHandle,
    kDropHandle,
    kDropTree,
    kAddChild,
    kAppendChildren,
    kUpdate,
    kClearChildren,
    kReroot,
    kClear,
    kGrowChain,
    kSelect,
    kExpand,
    kSearch,
    kOpCount
  };

  void execute(std::uint8_t op) {
    switch (op % kOpCount) {
      case kMakeRoot:
        keep(Node::make_root(action(), value()));
        break;
      case kMakeTree:
        if (trees_.size() < kMaxTrees) {
          trees_.push_back(
              std::make_shared<TrackedTree>(TrackedTree{std::make_shared<Tree>(action()), true}));
        }
        break;
      case kTakeRoot:
        if (TrackedTree* tracked = pick_tree()) keep(tracked->tree->root());
        break;
      case kTakeChild:
        if (Node* node = pick_node()) {
          const std::size_t index = data_.ConsumeIntegral<std::uint8_t>();
          std::size_t i = 0;
          for (Node& child : node->children()) {
            if (i++ == index) {
              keep(Handle(&child));
              break;
            }
          }
        }
        break;
      case kCopyHandle:
        if (Node* node = pick_node()) keep(Handle(node));
        break;
      case kDropHandle:
        drop_handle();
        break;
      case kDropTree:
        drop_tree();
        break;
      case kAddChild:
        if (Node* node = pick_node()) {
          Handle child = node->add_child(action(), value());
          FUZZ_CHECK(child->parent() == node && child->visit_count() == 0);
          if (data_.ConsumeBool()) keep(std::move(child));
        }
        break;
      case kAppendChildren:
        if (Node* node = pick_node()) {
          const std::vector<int> actions = action_list();
          Node* first = node->append_children(actions.data(), actions.size(), 0.0f);
          FUZZ_CHECK((first == nullptr) == actions.empty());
        }
        break;
      case kUpdate:
        if (Node* node = pick_node()) update_by_hand(*node, value());
        break;
      case kClearChildren:
        if (Node* node = pick_node()) {
          node->clear_children();
          FUZZ_CHECK(!node->is_expanded());
        }
        break;
      case kReroot:
        if (TrackedTree* tracked = pick_tree()) reroot(*tracked, action());
        break;
      case kClear:
        if (TrackedTree* tracked = pick_tree()) clear(*tracked);
        break;
      case kGrowChain:
        grow_chain();
        break;
      case kSelect:
        select();
        break;
      case kExpand:
        expand();
        break;
      case kSearch:
        search(/*nested=*/false, pick_tree_shared());
        break;
    }
  }

  // -- picking --------------------------------------------------------------------------------

  std::size_t pick_index(std::size_t size) {
    return data_.ConsumeIntegralInRange<std::size_t>(0, size - 1);
  }
  Node* pick_node() {
    return handles_.empty() ? nullptr : handles_[pick_index(handles_.size())].get();
  }
  TrackedTree* pick_tree() {
    return trees_.empty() ? nullptr : trees_[pick_index(trees_.size())].get();
  }
  std::shared_ptr<TrackedTree> pick_tree_shared() {
    if (trees_.empty() || data_.ConsumeIntegral<std::uint8_t>() == 0) return nullptr;
    return trees_[pick_index(trees_.size())];
  }
  std::int32_t action() {
    const auto raw = data_.ConsumeIntegral<std::uint8_t>();
    if (raw == 255) return std::numeric_limits<std::int32_t>::max();
    if (raw == 254) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(raw % 6) - 1;
  }
  float value() { return data_.PickValueInArray(kValues); }
  std::vector<int> action_list() {
    std::vector<int> actions(data_.ConsumeIntegralInRange<std::size_t>(0, kMaxActions));
    for (int& a : actions) a = action();
    return actions;
  }

  void keep(Handle handle) {
    if (handle && handles_.size() < kMaxHandles) handles_.push_back(std::move(handle));
  }
  // Removes an element the input picks, if there is one.
  template <typename T>
  void erase_one(std::vector<T>& items) {
    if (items.empty()) return;
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(pick_index(items.size())));
  }
  void drop_handle() { erase_one(handles_); }
  void drop_tree() { erase_one(trees_); }

  // -- structure changes ----------------------------------------------------------------------

  void update_by_hand(Node& node, float v) {
    const Node* top = &node;
    while (top->parent() != nullptr) top = top->parent();
    for (auto& tracked : trees_) {
      if (tracked->tree->root_node() == top) tracked->engine_only = false;
    }
    if (active_ != nullptr && active_->tree->root_node() == top) active_->engine_only = false;
    node.update(v);
  }

  void reroot(TrackedTree& tracked, std::int32_t a) {
    bool has_child = false;
    tracked.tree->root_node()->for_each_child(
        [&](const Node& child) { has_child = has_child || child.action() == a; });
    tracked.tree->reroot(a);
    FUZZ_CHECK(tracked.tree->root_node()->action() == a);
    FUZZ_CHECK(tracked.tree->root_node()->parent() == nullptr);
    if (!has_child) {
      FUZZ_CHECK(tracked.tree->total_nodes() == 1);
      tracked.engine_only = true;
    }
  }

  void clear(TrackedTree& tracked) {
    tracked.tree->clear();
    FUZZ_CHECK(tracked.tree->total_nodes() == 1 && tracked.tree->root_node()->action() == -1);
    tracked.engine_only = true;
  }

  void grow_chain() {
    Node* node = pick_node();
    if (node == nullptr) return;
    const int length = std::min(data_.ConsumeIntegralInRange<int>(0, kMaxChain), chain_budget_);
    chain_budget_ -= length;
    Handle tip(node);
    for (int i = 0; i < length; ++i) tip = tip->add_child(i, 0.0f);
    if (data_.ConsumeBool()) keep(std::move(tip));
  }

  void select() {
    Node* node = pick_node();
    const float c = data_.PickValueInArray(kWeights);
    Handle chosen;
    if (data_.ConsumeBool()) {
      chosen = veltra::policies::UCBSelection<State>(c).select(node ? Handle(node) : Handle());
    } else {
      chosen = veltra::policies::PolicyWeightedUCB<State>(c).select(node ? Handle(node) : Handle());
    }
    if (node == nullptr) {
      FUZZ_CHECK(!chosen);
      return;
    }
    bool is_child = false;
    for (Node& child : node->children()) is_child = is_child || &child == chosen.get();
    FUZZ_CHECK(chosen.get() == node || is_child);
    FUZZ_CHECK(node->is_expanded() || chosen.get() == node);
    if (data_.ConsumeBool()) keep(std::move(chosen));
  }

  void expand() {
    Node* node = pick_node();
    const std::vector<int> actions = action_list();
    const Handle handle = node ? Handle(node) : Handle();
    Handle result;
    if (data_.ConsumeBool()) {
      result = veltra::policies::FullExpansion<State>().expand(handle, actions);
      if (node != nullptr) {
        FUZZ_CHECK(node->is_expanded() ? result.get() == &node->first_child()
                                       : result.get() == node);
      }
    } else {
      result = progressive_.expand(handle, actions);
      if (node != nullptr && !actions.empty()) {
        Node* last = nullptr;
        for (Node& child : node->children()) last = &child;
        FUZZ_CHECK(result.get() == last && result->parent() == node);
      } else {
        FUZZ_CHECK(result.get() == node);
      }
    }
    if (node == nullptr) FUZZ_CHECK(!result);
    if (data_.ConsumeBool()) keep(std::move(result));
  }

  // -- searches -------------------------------------------------------------------------------

  struct SearchRecord {
    int legal_calls = 0;
    int completed = 0;  // rollouts that returned, so simulations that were backed up
    bool reentered = false;
  };

  // One callback's re-entrant action, chosen by the input; returns true if it changed anything.
  bool reenter(TrackedTree* searched, int depth) {
    switch (data_.ConsumeIntegralInRange<int>(0, 7)) {
      case 0:
        if (searched != nullptr) reroot(*searched, action());
        return true;
      case 1:
        if (searched != nullptr) clear(*searched);
        return true;
      case 2:
        drop_handle();
        return true;
      case 3:
        if (Node* node = pick_node()) update_by_hand(*node, value());
        return true;
      case 4:
        if (Node* node = pick_node()) node->add_child(action(), 0.0f);
        return true;
      case 5:
        if (Node* node = pick_node()) node->clear_children();
        return true;
      case 6:
        drop_tree();
        return true;
      default:
        if (depth == 0) search(/*nested=*/true, pick_tree_shared());
        return true;
    }
  }

  void search(bool nested, std::shared_ptr<TrackedTree> tracked) {
    veltra::SearchConfig config;
    config.num_simulations = data_.ConsumeIntegralInRange<int>(-1, kMaxSimulations);
    config.exploration_constant = data_.PickValueInArray(kWeights);
    const Engine engine(config);
    const int depth = nested ? 1 : 0;
    TrackedTree* const searched = tracked.get();
    TrackedTree* const outer = std::exchange(active_, searched);

    veltra::fuzz::VisitCounts before;
    Node* root_before = nullptr;
    if (searched != nullptr) {
      root_before = searched->tree->root_node();
      before = veltra::fuzz::visit_counts(*root_before);
    }

    SearchRecord record;
    Engine::LegalActionsFn legal = [&](const State& state) {
      FUZZ_CHECK(state == 0.0f);
      ++record.legal_calls;
      const auto mode = data_.ConsumeIntegral<std::uint8_t>();
      if (mode >= 224 && mode < 240) record.reentered |= reenter(searched, depth);
      if (mode >= 240) throw CallbackError{};
      return action_list();
    };
    Engine::RolloutFn rollout = [&]() {
      const auto mode = data_.ConsumeIntegral<std::uint8_t>();
      if (mode >= 224 && mode < 240) record.reentered |= reenter(searched, depth);
      if (mode >= 240) throw CallbackError{};
      ++record.completed;
      return value();
    };
    Engine::TransitionFn transition = [](const State&, int) -> std::vector<float> {
      constexpr bool kTransitionIsInvoked = false;
      FUZZ_CHECK(kTransitionIsInvoked);
      return {};
    };
    // Now and then a callback is missing; invoking it must throw, not crash.
    const auto missing = data_.ConsumeIntegral<std::uint8_t>();
    if (missing == 1) legal = nullptr;
    if (missing == 2) rollout = nullptr;

    bool failed = false;
    veltra::SearchResult result;
    try {
      result = engine.search(tracked ? tracked->tree : nullptr, legal, transition, rollout);
    } catch (const CallbackError&) {
      failed = true;
    } catch (const std::bad_function_call&) {
      failed = true;
    }
    active_ = outer;

    if (searched == nullptr) {
      FUZZ_CHECK(!failed && record.legal_calls == 0);
      FUZZ_CHECK(result.best_action == -1 && result.actions.empty() && result.num_simulations == 0);
      return;
    }
    if (!failed) {
      veltra::fuzz::check_result(result, *searched->tree->root_node(), config.num_simulations);
    }
    if (!record.reentered) {
      FUZZ_CHECK(searched->tree->root_node() == root_before);
      veltra::fuzz::check_backups(*root_before, before, record.completed);
    }
  }

  void check_all() {
    for (const auto& tracked : trees_) {
      veltra::fuzz::check_tree(*tracked->tree, tracked->engine_only);
    }
    for (const Handle& handle : handles_) veltra::fuzz::check_held_chain(*handle);
  }

  FuzzedDataProvider& data_;
  std::vector<Handle> handles_;
  std::vector<std::shared_ptr<TrackedTree>> trees_;
  veltra::policies::ProgressiveExpansion<State> progressive_{0};
  TrackedTree* active_ = nullptr;  // the tree being searched, while a search runs
  int chain_budget_ = kChainBudget;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  Session(provider).run();
  return 0;
}
