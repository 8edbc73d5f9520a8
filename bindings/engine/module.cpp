// The veltra_engine Python module: one registration function per area, called in the order the
// classes appear to Python (records, node, tree, engine, selection, expansion).

#include <ATen/core/Tensor.h>
#include <ATen/ops/empty.h>
#include <pybind11/pybind11.h>
// Number conversions first: nothing may convert a number before they are declared.
#include "bindings/common/number_casters.h"
// Then the conversions that convert numbers.
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "bindings/common/instance_guards.h"
#include "bindings/common/interpreter_turns.h"
#include "bindings/common/python_callable.h"
#include "core/batch_search_result.h"
#include "core/node.h"
#include "core/search_config.h"
#include "core/search_engine.h"
#include "core/search_result.h"
#include "core/search_tree.h"
#include "policies/expansion_policy.h"
#include "policies/full_expansion.h"
#include "policies/policy_weighted_ucb.h"
#include "policies/progressive_expansion.h"
#include "policies/selection_policy.h"
#include "policies/ucb_selection.h"

namespace py = pybind11;

// A node lives inside its parent's child block and is freed by its hold and owner counts, never
// with delete. Python receives nodes only as the shared pointers to_python makes; a binding that
// returned Node* or Node& would have pybind11 take ownership of the node or copy it, so casting a
// node itself to Python does not compile. (This and the holder casters below are type_caster
// specialisations, pybind11's documented way to customise a conversion, in its detail namespace.)
template <>
class pybind11::detail::type_caster<veltra::core::Node<float>>
    : public ConstructedCaster<veltra::core::Node<float>> {
 public:
  template <typename T>
  static handle cast(T&& /*node*/, return_value_policy /*policy*/, handle /*parent*/) {
    static_assert(!std::is_same_v<T, T>, "return nodes to Python through to_python(NodeHandle)");
    return {};
  }
};

namespace {

using veltra::bindings::guard_class;
using State = float;
using Node = veltra::core::Node<State>;
using NodeHandle = veltra::core::NodeHandle<State>;
using SearchTree = veltra::core::SearchTree<State>;
using SearchEngine = veltra::core::SearchEngine<State>;
using SelectionPolicy = veltra::policies::SelectionPolicy<State>;
using UCBSelection = veltra::policies::UCBSelection<State>;
using PolicyWeightedUCB = veltra::policies::PolicyWeightedUCB<State>;
using ExpansionPolicy = veltra::policies::ExpansionPolicy<State>;
using FullExpansion = veltra::policies::FullExpansion<State>;
using ProgressiveExpansion = veltra::policies::ProgressiveExpansion<State>;
template <typename Signature>
using PythonCallable = veltra::bindings::PythonCallable<Signature>;

}  // namespace

// Every bound class refuses objects whose constructor never ran.
template <typename T>
struct veltra::bindings::Guarded<
    T, std::enable_if_t<veltra::bindings::is_one_of<
           T, veltra::SearchConfig, veltra::SearchResult, veltra::BatchSearchResult, Node,
           SearchTree, SearchEngine, SelectionPolicy, UCBSelection, PolicyWeightedUCB,
           ExpansionPolicy, FullExpansion, ProgressiveExpansion>>> : std::true_type {};
template <>
class pybind11::detail::type_caster<std::shared_ptr<Node>> : public ConstructedHolderCaster<Node> {
};
template <>
class pybind11::detail::type_caster<std::shared_ptr<SearchTree>>
    : public ConstructedHolderCaster<SearchTree> {};

namespace {

// The one way a node reaches Python. Python holds nodes through std::shared_ptr; each such pointer
// carries one node hold, dropped by its deleter, so a Python object keeps its node and the node's
// ancestors alive. Returning a node that already has a Python object yields that object
// (pybind11 looks nodes up by address).
std::shared_ptr<Node> to_python(NodeHandle handle) {
  Node* node = handle.release();
  if (node == nullptr) return {};
  return std::shared_ptr<Node>(node, [](Node* held) { NodeHandle::adopt(held); });
}

NodeHandle from_python(const std::shared_ptr<Node>& node) { return NodeHandle(node.get()); }

std::vector<float> tensor_to_list(const at::Tensor& tensor) {
  if (!tensor.defined()) return {};
  const at::Tensor values = tensor.to(at::kFloat).contiguous().reshape({-1});
  const float* data = values.data_ptr<float>();
  return std::vector<float>(data, data + values.numel());
}

at::Tensor list_to_tensor(const std::vector<float>& values) {
  at::Tensor tensor = at::empty({static_cast<std::int64_t>(values.size())}, at::kFloat);
  std::copy(values.begin(), values.end(), tensor.data_ptr<float>());
  return tensor;
}

void register_records(py::module_& m) {
  using veltra::BatchSearchResult;
  using veltra::SearchConfig;
  using veltra::SearchResult;

  guard_class(py::class_<SearchConfig>(m, "SearchConfig", py::module_local()))
      .def(py::init<>())
      .def_readwrite("num_simulations", &SearchConfig::num_simulations)
      .def_readwrite("exploration_constant", &SearchConfig::exploration_constant)
      .def_readwrite("max_rollout_depth", &SearchConfig::max_rollout_depth)
      .def_readwrite("discount_factor", &SearchConfig::discount_factor)
      .def_readwrite("seed", &SearchConfig::seed);

  guard_class(py::class_<SearchResult>(m, "SearchResult", py::module_local()))
      .def(py::init<>())
      .def_readwrite("best_action", &SearchResult::best_action)
      .def_readwrite("actions", &SearchResult::actions)
      .def_readwrite("visit_counts", &SearchResult::visit_counts)
      .def_readwrite("root_value", &SearchResult::root_value)
      .def_readwrite("num_simulations", &SearchResult::num_simulations);

  // root_values is a tensor natively; Python sees it as a list of floats, stored 1-D float32.
  // The accessors are made as methods so that their signatures name `self`.
  auto batch =
      guard_class(py::class_<BatchSearchResult>(m, "BatchSearchResult", py::module_local()));
  batch.def(py::init<>())
      .def_readwrite("best_actions", &BatchSearchResult::best_actions)
      .def_property(
          "root_values",
          py::cpp_function(
              [](const BatchSearchResult& self) { return tensor_to_list(self.root_values); },
              py::is_method(batch)),
          py::cpp_function(
              [](BatchSearchResult& self, const std::vector<float>& values) {
                self.root_values = list_to_tensor(values);
              },
              py::is_method(batch)))
      .def_readwrite("num_simulations", &BatchSearchResult::num_simulations);
}

void register_node(py::module_& m) {
  guard_class(py::class_<Node, std::shared_ptr<Node>>(m, "Node"))
      .def(py::init([](std::int32_t action, float prior_prob) {
             return to_python(Node::make_root(action, prior_prob));
           }),
           py::arg("action") = -1, py::arg("prior_prob") = 0.0f)
      .def("action", &Node::action)
      .def("visit_count", &Node::visit_count)
      .def("total_value", &Node::total_value)
      .def("mean_value", &Node::mean_value)
      .def("ucb_score", &Node::ucb_score)
      .def("is_expanded", &Node::is_expanded)
      .def("add_child",
           [](Node& self, std::int32_t action, float prior_prob) {
             return to_python(self.add_child(action, prior_prob));
           })
      .def("clear_children", &Node::clear_children)
      .def("update", &Node::update);
}

void register_tree(py::module_& m) {
  guard_class(py::class_<SearchTree, std::shared_ptr<SearchTree>>(m, "SearchTree"))
      .def(py::init<std::int32_t>(), py::arg("root_action") = -1)
      .def("root", [](const SearchTree& self) { return to_python(self.root()); })
      .def("total_nodes", &SearchTree::total_nodes)
      .def("reroot", &SearchTree::reroot)
      .def("clear", &SearchTree::clear);
}

void register_engine(py::module_& m) {
  // Between simulations the search takes pending signals and lets other threads run.
  guard_class(py::class_<SearchEngine, std::shared_ptr<SearchEngine>>(m, "SearchEngine"))
      .def(py::init<const veltra::SearchConfig&>())
      .def(
          "search",
          [](const SearchEngine& self, std::shared_ptr<SearchTree> tree,
             PythonCallable<std::vector<int>(const State&)> legal_actions_fn,
             PythonCallable<std::vector<float>(const State&, int)> transition_fn,
             PythonCallable<float()> rollout_fn) {
            return self.search(std::move(tree), std::move(legal_actions_fn),
                               std::move(transition_fn), std::move(rollout_fn),
                               veltra::bindings::InterpreterTurns());
          },
          py::arg("tree"), py::arg("legal_actions_fn"), py::arg("transition_fn"),
          py::arg("rollout_fn"));
}

// select and expand are bound on each concrete class, as Python sees them, through the virtual
// call of the base.
template <typename Policy, typename... ClassOptions>
void bind_select(py::class_<Policy, ClassOptions...>& cls) {
  cls.def("select", [](const Policy& self, const std::shared_ptr<Node>& node) {
    return to_python(self.select(from_python(node)));
  });
}

template <typename Policy, typename... ClassOptions>
void bind_expand(py::class_<Policy, ClassOptions...>& cls) {
  cls.def("expand",
          [](Policy& self, const std::shared_ptr<Node>& node, const std::vector<int>& actions) {
            return to_python(self.expand(from_python(node), actions));
          });
}

void register_selection(py::module_& m) {
  // The abstract base is registered only so that Python sees the hierarchy; it has no methods.
  guard_class(py::class_<SelectionPolicy, std::shared_ptr<SelectionPolicy>>(m, "SelectionPolicy"));

  py::class_<UCBSelection, SelectionPolicy, std::shared_ptr<UCBSelection>> ucb(m, "UCBSelection");
  ucb.def(py::init<float>(), py::arg("c") = 1.414f);
  bind_select(ucb);

  py::class_<PolicyWeightedUCB, SelectionPolicy, std::shared_ptr<PolicyWeightedUCB>> weighted(
      m, "PolicyWeightedUCB");
  weighted.def(py::init<float>(), py::arg("c") = 1.414f);
  bind_select(weighted);
}

void register_expansion(py::module_& m) {
  guard_class(py::class_<ExpansionPolicy, std::shared_ptr<ExpansionPolicy>>(m, "ExpansionPolicy"));

  py::class_<FullExpansion, ExpansionPolicy, std::shared_ptr<FullExpansion>> full(m,
                                                                                  "FullExpansion");
  full.def(py::init<>());
  bind_expand(full);

  py::class_<ProgressiveExpansion, ExpansionPolicy, std::shared_ptr<ProgressiveExpansion>>
      progressive(m, "ProgressiveExpansion");
  progressive.def(py::init<std::uint32_t>(), py::arg("seed") = 0);
  bind_expand(progressive);
}

}  // namespace

PYBIND11_MODULE(veltra_engine, m) {
  m.doc() = "Veltra LibTorch backend with pybind11 bindings";
  register_records(m);
  register_node(m);
  register_tree(m);
  register_engine(m);
  register_selection(m);
  register_expansion(m);
}
