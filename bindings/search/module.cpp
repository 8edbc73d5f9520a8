// The veltra_search Python module: batched, model-guided search over many roots at once. The
// trees are native (forest/); this file registers the records and the Forest class.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>

#include "bindings/common/instance_guards.h"
#include "bindings/common/main_interpreter.h"
#include "bindings/search/arrays.h"
#include "bindings/search/config_reader.h"
#include "bindings/search/docstrings.h"
#include "bindings/search/draw_tree.h"
#include "bindings/search/forest_binding.h"
#include "bindings/search/root_selection.h"
#include "bindings/search/tree_view.h"
#include "bindings/search/type_hints.h"
#include "forest/search_config.h"

namespace py = pybind11;
namespace hint = veltra::bindings::hint;

namespace {

using namespace veltra::bindings::search_docs;  // NOLINT(google-build-using-namespace)
using veltra::bindings::guard_class;
using veltra::bindings::make_config;
using veltra::bindings::policy_name;
using veltra::bindings::PyForest;
using veltra::bindings::read_int;
using veltra::bindings::read_real;
using veltra::bindings::read_roots;
using veltra::bindings::read_time_limit;
using veltra::bindings::unvisited_value_name;
using veltra::forest::SearchConfig;

// The result arrays of a search and the simulations it ran per root.
struct SearchOutput {
  py::array_t<std::int64_t> visit_counts;
  py::array_t<double> q_values;
  py::array_t<double> root_values;
  py::array_t<double> action_weights;
  std::int32_t num_simulations;
  py::array_t<std::int64_t> selected_actions;
  py::array_t<bool> solved;
  py::array_t<double> solved_values;
};

}  // namespace

// Every class refuses objects whose constructor never ran, other classes' objects and pickling.
template <typename T>
struct veltra::bindings::Guarded<
    T, std::enable_if_t<veltra::bindings::is_one_of<T, SearchConfig, SearchOutput, PyForest>>>
    : std::true_type {};

namespace {

// A read-only attribute of a record.
template <typename T, typename Class, typename Field>
void field(Class& cls, const char* name, Field T::*member, const char* doc) {
  cls.def_property_readonly(
      name, [member](const T& self) -> Field { return self.*member; }, doc);
}

void register_config(py::module_& m) {
  auto cls = guard_class(py::class_<SearchConfig>(m, "SearchConfig", kConfigDoc));
  cls.def(py::init(&make_config), kConfigInitDoc, py::arg("num_actions"), py::kw_only(),
          py::arg("num_simulations") = 100, py::arg("pb_c_init") = 1.25,
          py::arg("pb_c_base") = 19652.0, py::arg("dirichlet_alpha") = 0.3,
          py::arg("dirichlet_fraction") = 0.25, py::arg("seed") = 0, py::arg("policy") = "puct",
          py::arg("max_considered_actions") = 16, py::arg("gumbel_scale") = 1.0,
          py::arg("value_scale") = 0.1, py::arg("maxvisit_init") = 50.0,
          // Speed
          py::arg("num_threads") = 1, py::arg("leaves_per_step") = 1,
          // Playing real games.
          py::arg("unvisited_value") = "min", py::arg("solve") = false,
          py::arg("value_bounds") = py::make_tuple(-1.0, 1.0));
  field(cls, "num_actions", &SearchConfig::num_actions, "A: the number of actions of every node.");
  field(cls, "num_simulations", &SearchConfig::num_simulations,
        "S: the simulations per root of one search.");
  field(cls, "pb_c_init", &SearchConfig::pb_c_init, "The PUCT exploration constant c1.");
  field(cls, "pb_c_base", &SearchConfig::pb_c_base, "The PUCT exploration constant c2.");
  field(cls, "dirichlet_alpha", &SearchConfig::dirichlet_alpha,
        "The alpha of the Dirichlet noise at the roots (PUCT).");
  field(cls, "dirichlet_fraction", &SearchConfig::dirichlet_fraction,
        "The share of the Dirichlet noise in the root priors; 0 turns it off.");
  field(cls, "seed", &SearchConfig::seed,
        "The seed of the forest's generator (noise and sampled moves).");
  cls.def_property_readonly(
      "policy", [](const SearchConfig& c) { return std::string(policy_name(c.policy)); },
      "The root policy: 'puct' or 'gumbel'.");
  field(cls, "max_considered_actions", &SearchConfig::max_considered_actions,
        "m: the root actions sequential halving starts with (Gumbel).");
  field(cls, "gumbel_scale", &SearchConfig::gumbel_scale,
        "The scale of the roots' Gumbel noise; 0 turns it off (Gumbel).");
  field(cls, "value_scale", &SearchConfig::value_scale,
        "c_scale of the completed-Q transform (Gumbel).");
  field(cls, "maxvisit_init", &SearchConfig::maxvisit_init,
        "c_visit of the completed-Q transform (Gumbel).");
  // Speed
  field(cls, "num_threads", &SearchConfig::num_threads,
        "The native threads a step's descents and backups run on (0: one per core).");
  field(cls, "leaves_per_step", &SearchConfig::leaves_per_step,
        "K: the descents per tree of each step, evaluated by one recurrent_fn call.");
  // Playing real games.
  cls.def_property_readonly(
      "unvisited_value",
      [](const SearchConfig& c) { return std::string(unvisited_value_name(c.unvisited_value)); },
      "The score of an unvisited child under PUCT: 'min' (0), 'parent' (the node's value) or "
      "'mixed' (its mixed value).");
  field(cls, "solve", &SearchConfig::solve,
        "Whether searches prove positions from exact terminal values.");
  cls.def_property_readonly(
      "value_bounds",
      [](const SearchConfig& c) { return py::make_tuple(c.value_low, c.value_high); },
      "(low, high): the range of every value; a move whose value reaches high is proven best.");
  cls.def(
         "__eq__",
         [](const SearchConfig& self, py::handle other) -> py::object {
           if (!py::isinstance<SearchConfig>(other))
             return py::reinterpret_borrow<py::object>(Py_NotImplemented);
           return py::bool_(self == py::cast<const SearchConfig&>(other));
         },
         "Whether the two configs hold the same fields.", py::is_operator())
      .def(
          "__hash__",
          [](const SearchConfig& c) {
            return py::hash(py::make_tuple(
                c.num_actions, c.num_simulations, c.pb_c_init, c.pb_c_base, c.dirichlet_alpha,
                c.dirichlet_fraction, c.seed, policy_name(c.policy), c.max_considered_actions,
                c.gumbel_scale, c.value_scale, c.maxvisit_init,
                // Speed
                c.num_threads, c.leaves_per_step,
                // Playing real games.
                unvisited_value_name(c.unvisited_value), c.solve, c.value_low, c.value_high));
          },
          "A hash of the fields, equal for equal configs.")
      .def("__repr__", [](const SearchConfig& c) {
        return py::str(
                   "SearchConfig(num_actions={}, num_simulations={}, pb_c_init={}, "
                   "pb_c_base={}, dirichlet_alpha={}, dirichlet_fraction={}, seed={}, "
                   "policy={!r}, max_considered_actions={}, gumbel_scale={}, value_scale={}, "
                   "maxvisit_init={}, "
                   // Speed
                   "num_threads={}, leaves_per_step={}, "
                   // Playing real games.
                   "unvisited_value={!r}, solve={}, value_bounds=({}, {}))")
            .format(c.num_actions, c.num_simulations, c.pb_c_init, c.pb_c_base, c.dirichlet_alpha,
                    c.dirichlet_fraction, c.seed, policy_name(c.policy), c.max_considered_actions,
                    c.gumbel_scale, c.value_scale, c.maxvisit_init,
                    // Speed
                    c.num_threads, c.leaves_per_step,
                    // Playing real games.
                    unvisited_value_name(c.unvisited_value), c.solve, c.value_low, c.value_high);
      });
}

void register_output(py::module_& m) {
  auto cls = guard_class(py::class_<SearchOutput>(m, "SearchOutput", kOutputDoc));
  field(cls, "visit_counts", &SearchOutput::visit_counts,
        "int64 [R, A]: the visits of each root's children (0 where none).");
  field(cls, "q_values", &SearchOutput::q_values,
        "float64 [R, A]: r + discount * V of each root's children (NaN where none).");
  field(cls, "root_values", &SearchOutput::root_values, "float64 [R]: V of each root.");
  field(cls, "action_weights", &SearchOutput::action_weights,
        "float64 [R, A]: the search target: visit counts normalised (PUCT) or the improved policy "
        "(Gumbel).");
  field(cls, "num_simulations", &SearchOutput::num_simulations,
        "The simulations per root the search ran (leaves_per_step per step, fewer in the last).");
  field(cls, "selected_actions", &SearchOutput::selected_actions,
        "int64 [R]: the recommended move of each root, -1 without a legal action.");
  field(cls, "solved", &SearchOutput::solved,
        "bool [R]: whether each root's value is proven exact (SearchConfig.solve).");
  field(cls, "solved_values", &SearchOutput::solved_values,
        "float64 [R]: the exact value of each solved root, NaN where unsolved.");
  cls.def("__repr__", [](const SearchOutput& o) {
    return py::str("SearchOutput(num_roots={}, num_actions={}, num_simulations={})")
        .format(o.visit_counts.shape(0), o.visit_counts.shape(1), o.num_simulations);
  });
}

// The statistics of every root after a search of `simulations` simulations.
SearchOutput output_of(PyForest& forest, std::int32_t simulations) {
  const auto& native = forest.native();
  const auto roots = static_cast<py::ssize_t>(native.num_roots());
  const auto actions = static_cast<py::ssize_t>(native.num_actions());
  SearchOutput out{py::array_t<std::int64_t>({roots, actions}),
                   py::array_t<double>({roots, actions}),
                   py::array_t<double>(roots),
                   py::array_t<double>({roots, actions}),
                   simulations,
                   py::array_t<std::int64_t>(roots),
                   py::array_t<bool>(roots),
                   py::array_t<double>(roots)};
  forest.recommended_moves(out.selected_actions.mutable_data());
  std::int64_t* visits = out.visit_counts.mutable_data();
  double* weights = out.action_weights.mutable_data();
  double* q_values = out.q_values.mutable_data();
  double* values = out.root_values.mutable_data();
  bool* solved = out.solved.mutable_data();
  double* solved_values = out.solved_values.mutable_data();
  const auto width = static_cast<std::size_t>(actions);
  for (std::size_t i = 0; i < native.num_roots(); ++i) {
    solved[i] = !native.is_pending(i) && native.solved(native.root_node(i));
    solved_values[i] = solved[i] ? native.node(native.root_node(i)).value
                                 : std::numeric_limits<double>::quiet_NaN();
    if (native.is_pending(i)) {  // a root the search left alone: no tree yet
      std::fill_n(visits + i * width, width, 0);
      std::fill_n(q_values + i * width, width, std::numeric_limits<double>::quiet_NaN());
      std::fill_n(weights + i * width, width, 0.0);
      values[i] = std::numeric_limits<double>::quiet_NaN();
      continue;
    }
    native.root_visit_counts(i, visits + i * width);
    native.root_q_values(i, q_values + i * width);
    native.root_action_weights(i, weights + i * width);
    values[i] = native.node(native.root_node(i)).value;
  }
  return out;
}

// The forest takes part in cyclic garbage collection: a state may refer back to its forest. A
// forest whose __init__ never ran holds nothing; pybind11 tells that only through
// detail::is_holder_constructed.
void enable_gc(PyHeapTypeObject* heap_type) {
  PyTypeObject* type = &heap_type->ht_type;
  type->tp_flags |= Py_TPFLAGS_HAVE_GC;
  type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!py::detail::is_holder_constructed(self)) return 0;
    return py::cast<const PyForest&>(py::handle(self)).traverse(visit, arg);
  };
  type->tp_clear = [](PyObject* self) {
    if (py::detail::is_holder_constructed(self)) {
      py::cast<PyForest&>(py::handle(self)).clear_states();
    }
    return 0;
  };
}

void register_forest(py::module_& m) {
  auto cls =
      guard_class(py::class_<PyForest>(m, "Forest", kForestDoc, py::custom_type_setup(enable_gc)));
  cls.def(py::init([](const SearchConfig& config, const hint::States& states,
                      const hint::OptionalArrayLike& prior_logits,
                      const hint::OptionalArrayLike& values, const hint::OptionalArrayLike& legal,
                      const hint::OptionalRootFn& root_fn) {
            return std::make_unique<PyForest>(config, states, prior_logits, values, legal, root_fn);
          }),
          kForestInitDoc, py::arg("config"), py::arg("states"),
          py::arg("prior_logits") = py::none(), py::arg("values") = py::none(),
          py::arg("legal") = py::none(), py::kw_only(), py::arg("root_fn") = py::none())
      .def_property_readonly(
          "config", [](const PyForest& forest) { return forest.native().config(); },
          "The forest's SearchConfig.")
      .def_property_readonly("num_roots", &PyForest::num_roots, "R: the number of roots (trees).")
      .def("__len__", &PyForest::num_roots, "R: the number of roots (trees).")
      .def_property_readonly(
          "num_nodes",
          [](const PyForest& forest) {
            forest.check_idle();
            return forest.native().num_nodes();
          },
          "The nodes of all trees; a pending root has none.")
      .def_property_readonly(
          "root_states",
          [](const PyForest& forest) { return hint::RootStates(forest.root_states()); },
          "The state of every root (a list, or an array [R, *S] for array states); None, or a row "
          "of NaN, for a root pending on a move.")
      .def(
          "search",
          [](PyForest& forest, const hint::RecurrentFn& recurrent_fn,
             const hint::OptionalFloat& time_limit, const hint::OptionalArrayLike& roots) {
            const double seconds = read_time_limit(time_limit);
            return forest.search(
                recurrent_fn, seconds, read_roots(roots, forest.num_roots()),
                [&](std::int32_t simulations) { return output_of(forest, simulations); });
          },
          kSearchDoc, py::arg("recurrent_fn"), py::kw_only(), py::arg("time_limit") = py::none(),
          py::arg("roots") = py::none())
      .def(
          "select",
          [](PyForest& forest, const hint::Float& temperature) {
            forest.check_idle();
            const double t = read_real(temperature, "temperature");
            if (!(t >= 0.0)) {
              throw py::value_error("temperature must be >= 0, got " +
                                    py::str(py::float_(t)).cast<std::string>());
            }
            py::array_t<std::int64_t> moves(static_cast<py::ssize_t>(forest.num_roots()));
            forest.select(t, moves.mutable_data());
            return moves;
          },
          kSelectDoc, py::arg("temperature") = 0.0)
      .def(
          "advance",
          [](PyForest& forest, const hint::Int& i, const hint::Int& action) {
            forest.check_idle();
            const std::size_t root = forest.root_index(i);
            forest.advance(root, read_int(action, "action"));
          },
          kAdvanceOneDoc, py::arg("i"), py::arg("action"))
      .def(
          "advance",
          [](PyForest& forest, const hint::ArrayLike& actions) {
            forest.check_idle();
            forest.advance_all(actions);
          },
          kAdvanceAllDoc, py::arg("actions"))
      .def(
          "reset",
          [](PyForest& forest, const hint::Int& i, const hint::Any& state,
             const hint::OptionalArrayLike& prior_logits,
             const hint::OptionalFloatOrArrayLike& value, const hint::OptionalArrayLike& legal) {
            forest.check_idle();
            forest.reset(forest.root_index(i), state, prior_logits, value, legal);
          },
          kResetDoc, py::arg("i"), py::arg("state"), py::arg("prior_logits") = py::none(),
          py::arg("value") = py::none(), py::arg("legal") = py::none())
      .def(
          "tree",
          [](PyForest& forest, const hint::Int& i, const hint::OptionalInt& max_depth) {
            forest.check_idle();
            const std::size_t root = forest.root_index(i);
            return hint::TreeOrNone(veltra::bindings::tree_view(
                forest.native(), root, veltra::bindings::read_max_depth(max_depth)));
          },
          kTreeDoc, py::arg("i"), py::arg("max_depth") = py::none());
}

}  // namespace

// The entry point of PYBIND11_MODULE, behind the check for a sub-interpreter, which must come
// before pybind11 sets up its internals; it is PYBIND11_MODULE's own expansion (pybind11::detail's
// slots), with that check first.
static int pybind11_exec_veltra_search(PyObject*);
extern "C" PYBIND11_EXPORT PyObject* PyInit_veltra_search() {
  PYBIND11_CHECK_PYTHON_VERSION
  if (!veltra::bindings::in_main_interpreter("veltra_search")) return nullptr;
  try {
    py::detail::ensure_internals();
    static py::detail::slots_array slots = py::detail::init_slots(&pybind11_exec_veltra_search);
    static PyModuleDef definition{
        PyModuleDef_HEAD_INIT, "veltra_search", /*m_doc=*/nullptr,      /*m_size=*/0,
        /*m_methods=*/nullptr, slots.data(),    /*m_traverse=*/nullptr, /*m_clear=*/nullptr,
        /*m_free=*/nullptr};
    return PyModuleDef_Init(&definition);
  }
  PYBIND11_CATCH_INIT_EXCEPTIONS
  return nullptr;
}

PYBIND11_MODULE_EXEC(veltra_search, m) {
  m.doc() = "Batched, model-guided tree search over many roots at once";
  register_config(m);
  register_output(m);
  register_forest(m);
  veltra::bindings::register_draw_tree(m);
  for (const char* name : {"SearchConfig", "Forest"}) {
    veltra::bindings::refuse_second_init(m.attr(name));
  }
}
