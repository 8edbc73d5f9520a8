#pragma once

// The Python side of a native forest: the states of its nodes (node_states.h: objects or array
// rows), and the calls of recurrent_fn and root_fn, whose results batch_reader.h reads.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bindings/common/python_callable.h"
#include "bindings/common/released_interpreter.h"
#include "bindings/search/array_states.h"
#include "bindings/search/arrays.h"
#include "bindings/search/batch_reader.h"
#include "bindings/search/node_states.h"
#include "bindings/search/object_states.h"
#include "forest/evaluation.h"
#include "forest/forest.h"
#include "forest/search_config.h"
#include "forest/time_budget.h"

namespace veltra::bindings {

using forest::Evaluations;
using forest::Expansion;
using forest::NodeId;

class PyForest {
 public:
  // Raises RuntimeError while the forest is searching (from another thread, or from inside its
  // own recurrent_fn); while held, every other call raises instead of seeing a tree mid-change.
  class Busy {
   public:
    explicit Busy(PyForest& forest) : forest_(forest) {
      if (forest_.busy_.exchange(true)) throw_busy();
    }
    ~Busy() { forest_.busy_.store(false); }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

   private:
    PyForest& forest_;
  };

  // Without prior_logits and values, every root is pending on its state until root_fn
  // evaluates it.
  PyForest(const forest::SearchConfig& config, py::handle states, py::handle prior_logits,
           py::handle values, py::handle legal, py::handle root_fn)
      : reader_(static_cast<std::size_t>(config.num_actions),
                config.policy == forest::Policy::kGumbel),
        root_fn_(read_root_fn(root_fn)),
        states_(read_node_states(states)),
        native_(make_native(config, prior_logits, values, legal)) {
    states_->place_roots(native_, states);
  }

  ~PyForest() { clear_states(); }
  PyForest(const PyForest&) = delete;
  PyForest& operator=(const PyForest&) = delete;

  void check_idle() const {
    if (busy_.load()) throw_busy();
  }

  const forest::Forest& native() const { return native_; }
  std::size_t num_roots() const noexcept { return native_.num_roots(); }

  // Root i from a Python index (negative counts from the end).
  std::size_t root_index(py::handle index) const {
    const auto count = static_cast<std::int64_t>(num_roots());
    const auto out_of_range = [&](const std::string& i) {
      return py::index_error("root index " + i + " is out of range for " + std::to_string(count) +
                             " roots");
    };
    std::int64_t i = 0;
    try {
      i = read_int(index, "i");
    } catch (const OutOfRange&) {
      throw out_of_range(py::str(index).cast<std::string>());
    }
    if (i < -count || i >= count) throw out_of_range(std::to_string(i));
    return static_cast<std::size_t>(i < 0 ? i + count : i);
  }

  py::object root_states() const {
    check_idle();
    return states_->root_states(native_);
  }

  // Runs a search and returns output() (made before the forest is idle again, so that no
  // finaliser can move the trees first); the GIL is released except while recurrent_fn runs and
  // its results are read, and while pending signals are checked.
  // The search stops at the first step boundary after `time_limit` seconds (infinity: none);
  // output(simulations) gets the number of simulations run. Only `roots` are searched.
  template <typename Output>
  auto search(py::handle recurrent_fn, double time_limit, forest::RootSet roots, Output&& output) {
    // Pending roots' parent states, dropped once idle again.
    ReleasedStates retired = states_->released(num_roots());
    Busy busy(*this);
    if (PyCallable_Check(recurrent_fn.ptr()) == 0) {
      throw py::type_error("recurrent_fn must be callable, not " + type_name(recurrent_fn));
    }
    ReleasedInterpreter interpreter;
    std::int32_t simulations = 0;
    interpreter.run([&] {
      const forest::TimeBudget budget(time_limit);
      simulations = native_.search(
          [&](const std::vector<Expansion>& expansions, Evaluations& out) {
            interpreter.with_lock([&] { evaluate(recurrent_fn, expansions, out, retired); });
          },
          [&] { interpreter.check_signals(); }, [&] { return budget.spent(); }, std::move(roots));
    });
    return output(simulations);
  }

  void select(double temperature, std::int64_t* moves) {
    check_idle();
    native_.select(temperature, moves);
  }

  // The temperature-0 move of every root, for the output of the search that holds the forest.
  void recommended_moves(std::int64_t* moves) { native_.select(0.0, moves); }

  void advance(std::size_t i, std::int64_t action) {
    ReleasedStates released = states_->released(native_.tree_size(i));
    {
      Busy busy(*this);
      const NodeId root = native_.root_node(i);
      py::object before = states_->before_move(native_, i);
      native_.advance(i, action, released);
      states_->after_move(native_, i, root, std::move(before));
    }
  }

  void advance_all(py::handle actions) {
    const auto moves = read_ints(actions, "actions", {static_cast<py::ssize_t>(num_roots())});
    ReleasedStates released = states_->released(native_.num_nodes());
    {
      Busy busy(*this);
      std::vector<NodeId> roots(num_roots());
      std::vector<py::object> before(num_roots());
      for (std::size_t i = 0; i < num_roots(); ++i) {
        roots[i] = native_.root_node(i);
        before[i] = states_->before_move(native_, i);
      }
      native_.advance_all(moves.data(), released);
      for (std::size_t i = 0; i < num_roots(); ++i) {
        states_->after_move(native_, i, roots[i], std::move(before[i]));
      }
    }
  }

  void reset(std::size_t i, py::handle state, py::handle prior_logits, py::handle value,
             py::handle legal) {
    check_idle();
    const py::object root_state = states_->read_state(state);
    if (!given(prior_logits, value, legal, "value")) {
      ReleasedStates released = states_->released(native_.tree_size(i) + 1);
      Busy busy(*this);
      native_.reset_pending(i, released);
      states_->hold_root(i, forest::kNoNode, root_state, released);
      return;
    }
    const auto num_actions = static_cast<py::ssize_t>(native_.num_actions());
    const double root_value = read_real(value, "value");
    FloatArray logits = read_floats(prior_logits, "prior_logits", {num_actions});
    py::object mask = py::none();
    if (!legal.is_none())
      mask = read_mask(legal, "legal", {num_actions}).reshape(Shape{1, num_actions});
    Evaluations row;
    reader_.read(kArgument, 1, py::handle(), py::handle(), py::array_t<double>(1, &root_value),
                 logits.array().reshape(Shape{1, num_actions}), mask, {1, num_actions}, row);
    // Room for every state this may release, and for the new root's (a new chunk's, at worst),
    // before anything changes.
    ReleasedStates released = states_->released(native_.tree_size(i) + 1);
    states_->reserve(native_.node_capacity() + forest::NodeStore::kChunk);
    {
      Busy busy(*this);
      const NodeId root = native_.reset(i, row, 0, released);
      states_->hold_root(i, root, root_state, released);
    }
  }

  // Garbage collector support: every object this forest holds.
  int traverse(visitproc visit, void* arg) const {
    if (const int visited = states_->traverse(visit, arg); visited != 0) return visited;
    Py_VISIT(root_fn_.ptr());
    return 0;
  }

  // Drops every state and the root_fn (the trees stay); what remains answers None for the
  // states, and a search that needs the root_fn raises.
  void clear_states() {
    states_->clear();
    root_fn_ = py::object();
  }

 private:
  [[noreturn]] static void throw_busy() {
    throw std::runtime_error("Forest is busy: it is searching");
  }

  // A callback's result must be a tuple of `size` items.
  static void check_tuple(PyObject* returned, py::ssize_t size, const char* message) {
    if (!PyTuple_Check(returned) || PyTuple_GET_SIZE(returned) != size) {
      throw py::type_error(message);
    }
  }

  static py::object read_root_fn(py::handle root_fn) {
    if (root_fn.is_none()) return py::object();
    if (PyCallable_Check(root_fn.ptr()) == 0) {
      throw py::type_error("root_fn must be callable or None, not " + type_name(root_fn));
    }
    return py::reinterpret_borrow<py::object>(root_fn);
  }

  // Whether a root's arrays are given (one of them is enough: the readers then name the other);
  // all of them may be omitted (None) only with a root_fn.
  bool given(py::handle prior_logits, py::handle values, py::handle legal,
             const char* values_name) const {
    if (!prior_logits.is_none() || !values.is_none()) return true;
    if (!legal.is_none()) {
      throw py::value_error(std::string("legal is given without prior_logits and ") + values_name);
    }
    if (!root_fn_) {
      throw py::value_error(std::string("prior_logits and ") + values_name +
                            " must be given to a forest without a root_fn");
    }
    return false;
  }

  // Object states for a list or tuple, array states for a float array (NumPy or DLPack).
  static std::unique_ptr<NodeStates> read_node_states(py::handle states) {
    if (PyList_Check(states.ptr()) || PyTuple_Check(states.ptr())) {
      return std::make_unique<ObjectStates>(states);
    }
    if (is_state_array(states)) return std::make_unique<ArrayStates>(states);
    throw py::type_error("states must be a list or an array of floats, not " + type_name(states));
  }

  forest::Forest make_native(const forest::SearchConfig& config, py::handle prior_logits,
                             py::handle values, py::handle legal) {
    const auto count = static_cast<py::ssize_t>(states_->num_roots());
    if (!given(prior_logits, values, legal, "values")) {
      return forest::Forest(config, static_cast<std::size_t>(count));
    }
    Evaluations roots;
    reader_.read(kArgument, static_cast<std::size_t>(count), py::handle(), py::handle(), values,
                 prior_logits, legal, {count, config.num_actions}, roots);
    return forest::Forest(config, roots);
  }

  // One recurrent_fn call for a batch of expansions: its results are read in full, and only then
  // are the new nodes' states stored. The references of the call in flight are left alone if
  // the thread is ended in it at exit (see ReleasedInterpreter).
  void evaluate(py::handle recurrent_fn, const std::vector<Expansion>& expansions, Evaluations& out,
                ReleasedStates& retired) {
    if (expansions.front().action == Expansion::kOwnState) {
      evaluate_roots(expansions, out, retired);
      return;
    }
    const std::size_t count = expansions.size();
    const CallReference parents(states_->parent_states(expansions).release().ptr());
    py::array_t<std::int64_t> action_array(static_cast<py::ssize_t>(count));
    std::int64_t* action_data = action_array.mutable_data();
    const CallReference actions(action_array.release().ptr());
    for (std::size_t k = 0; k < count; ++k) action_data[k] = expansions[k].action;
    PyObject* arguments[] = {parents.get(), actions.get()};
    PyObject* returned = PyObject_Vectorcall(recurrent_fn.ptr(), arguments, 2, nullptr);
    if (returned == nullptr) throw py::error_already_set();
    const CallReference call(returned);
    check_tuple(returned, 6,
                "recurrent_fn must return a tuple (next_states, rewards, discounts, prior_logits, "
                "values, legal)");
    const auto output = [&](py::ssize_t k) { return py::handle(PyTuple_GET_ITEM(returned, k)); };
    states_->check_next_states(output(0), native_, expansions);
    reader_.read(kRecurrentOutput, count, output(1), output(2), output(4), output(3), output(5),
                 {static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(native_.num_actions())},
                 out);
    states_->store_next_states(output(0), expansions, retired);
  }

  // One root_fn call for the roots pending on their own states, which become their states.
  void evaluate_roots(const std::vector<Expansion>& expansions, Evaluations& out,
                      ReleasedStates& retired) {
    if (!root_fn_) throw std::runtime_error("the forest's root_fn was cleared");
    const std::size_t count = expansions.size();
    const CallReference states(states_->own_states(expansions).release().ptr());
    PyObject* arguments[] = {states.get()};
    PyObject* returned = PyObject_Vectorcall(root_fn_.ptr(), arguments, 1, nullptr);
    if (returned == nullptr) throw py::error_already_set();
    const CallReference call(returned);
    check_tuple(returned, 3, "root_fn must return a tuple (prior_logits, values, legal)");
    const auto output = [&](py::ssize_t k) { return py::handle(PyTuple_GET_ITEM(returned, k)); };
    reader_.read(kRootOutput, count, py::handle(), py::handle(), output(1), output(0), output(2),
                 {static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(native_.num_actions())},
                 out);
    states_->store_own_states(native_, expansions, retired);
  }

  BatchReader reader_;
  py::object root_fn_;  // or null
  std::unique_ptr<NodeStates> states_;
  forest::Forest native_;
  std::atomic<bool> busy_{false};
};

}  // namespace veltra::bindings
