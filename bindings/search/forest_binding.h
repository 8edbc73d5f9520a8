#pragma once

// The Python side of a native forest: the state object of every node, kept by node id, and the
// calls of recurrent_fn and root_fn, whose results batch_reader.h reads.
//
// States are strong references, read and written only with the GIL held. They live apart from
// the node store, which searches change without the GIL, so the garbage collector (which may
// traverse this object from another thread while a search runs) reads only what it may.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bindings/common/python_callable.h"
#include "bindings/common/released_interpreter.h"
#include "bindings/search/arrays.h"
#include "bindings/search/batch_reader.h"
#include "forest/evaluation.h"
#include "forest/forest.h"
#include "forest/search_config.h"
#include "forest/time_budget.h"

namespace veltra::bindings {

using forest::Evaluations;
using forest::Expansion;
using forest::NodeId;

// References taken out of a forest's slots by an operation, dropped when this goes (once the
// operation is complete and the forest idle again), so that a finaliser they run sees a
// consistent forest. Called with a node id, it takes that node's state: the release function
// of the native forest's advance and reset. Room for `most` references is made first, so that
// taking them cannot fail half-way (MemoryError then comes before anything changed).
class ReleasedStates {
 public:
  ReleasedStates(std::vector<PyObject*>& slots, std::size_t most) : slots_(slots) {
    taken_.reserve(most);
  }
  ReleasedStates(const ReleasedStates&) = delete;
  ReleasedStates& operator=(const ReleasedStates&) = delete;
  ~ReleasedStates() {
    // Not on a thread being ended at exit, which no longer holds the interpreter.
    if (!may_release_references()) return;
    for (PyObject* state : taken_) Py_XDECREF(state);
  }

  void take(PyObject*& slot) { taken_.push_back(std::exchange(slot, nullptr)); }
  void operator()(NodeId id) { take(slots_[static_cast<std::size_t>(id)]); }

 private:
  std::vector<PyObject*>& slots_;
  std::vector<PyObject*> taken_;
};

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
        native_(make_native(config, states, prior_logits, values, legal)) {
    pending_states_.assign(native_.num_roots(), nullptr);
    // Reading the arrays may have run Python code that changed the list: check it again.
    const py::sequence sequence = read_states(states, "states", native_.num_roots());
    for (std::size_t i = 0; i < native_.num_roots(); ++i) {
      PyObject* state = PySequence_Fast_GET_ITEM(sequence.ptr(), static_cast<py::ssize_t>(i));
      if (native_.is_pending(i)) {
        pending_states_[i] = new_reference(state);
      } else {
        hold(native_.root_node(i), state);
      }
    }
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

  py::list root_states() const {
    check_idle();
    py::list result(num_roots());
    for (std::size_t i = 0; i < num_roots(); ++i) {
      const NodeId root = native_.root_node(i);
      PyObject* state = root != forest::kNoNode           ? state_of(root)
                        : native_.pending_on_own_state(i) ? pending_states_[i]
                                                          : nullptr;
      PyList_SET_ITEM(result.ptr(), static_cast<py::ssize_t>(i), new_reference(state));
    }
    return result;
  }

  // Runs a search and returns output() (made before the forest is idle again, so that no
  // finaliser can move the trees first); the GIL is released except while recurrent_fn runs and
  // its results are read, and while pending signals are checked.
  // The search stops at the first step boundary after `time_limit` seconds (infinity: none);
  // output(steps) gets the number of steps run. Only `roots` are searched.
  template <typename Output>
  auto search(py::handle recurrent_fn, double time_limit, forest::RootSet roots, Output&& output) {
    // Pending roots' parent states, dropped once idle again.
    ReleasedStates retired(pending_states_, num_roots());
    Busy busy(*this);
    if (PyCallable_Check(recurrent_fn.ptr()) == 0) {
      throw py::type_error("recurrent_fn must be callable, not " + type_name(recurrent_fn));
    }
    ReleasedInterpreter interpreter;
    std::int32_t steps = 0;
    interpreter.run([&] {
      const forest::TimeBudget budget(time_limit);
      steps = native_.search(
          [&](const std::vector<Expansion>& expansions, Evaluations& out) {
            interpreter.with_lock([&] { evaluate(recurrent_fn, expansions, out, retired); });
          },
          [&] { interpreter.check_signals(); }, [&] { return budget.spent(); }, std::move(roots));
    });
    return output(steps);
  }

  void select(double temperature, std::int64_t* moves) {
    check_idle();
    native_.select(temperature, moves);
  }

  // The temperature-0 move of every root, for the output of the search that holds the forest.
  void recommended_moves(std::int64_t* moves) { native_.select(0.0, moves); }

  void advance(std::size_t i, std::int64_t action) {
    ReleasedStates released(states_, native_.tree_size(i));
    {
      Busy busy(*this);
      py::object parent = borrow_state(native_.root_node(i));
      native_.advance(i, action, released);
      if (native_.is_pending(i)) pending_states_[i] = parent.release().ptr();
    }
  }

  void advance_all(py::handle actions) {
    const auto moves = read_ints(actions, "actions", {static_cast<py::ssize_t>(num_roots())});
    ReleasedStates released(states_, native_.num_nodes());
    {
      Busy busy(*this);
      std::vector<py::object> parents(num_roots());
      for (std::size_t i = 0; i < num_roots(); ++i) parents[i] = borrow_state(native_.root_node(i));
      native_.advance_all(moves.data(), released);
      for (std::size_t i = 0; i < num_roots(); ++i) {
        if (native_.is_pending(i) && pending_states_[i] == nullptr) {
          pending_states_[i] = parents[i].release().ptr();
        }
      }
    }
  }

  void reset(std::size_t i, py::handle state, py::handle prior_logits, py::handle value,
             py::handle legal) {
    check_idle();
    if (!given(prior_logits, value, legal, "value")) {
      ReleasedStates released(states_, native_.tree_size(i) + 1);
      Busy busy(*this);
      native_.reset_pending(i, released);
      released.take(pending_states_[i]);
      pending_states_[i] = new_reference(state.ptr());
      return;
    }
    const auto num_actions = static_cast<py::ssize_t>(native_.num_actions());
    const double root_value = read_real(value, "value");
    auto logits = read_floats(prior_logits, "prior_logits", {num_actions});
    py::object mask = py::none();
    if (!legal.is_none())
      mask = read_mask(legal, "legal", {num_actions}).reshape(Shape{1, num_actions});
    Evaluations row;
    reader_.read(kArgument, 1, py::handle(), py::handle(), py::array_t<double>(1, &root_value),
                 logits.reshape(Shape{1, num_actions}), mask, {1, num_actions}, row);
    // Room for every state this may release, and for the new root's (a new chunk's, at worst),
    // before anything changes.
    ReleasedStates released(states_, native_.tree_size(i) + 1);
    reserve_states(static_cast<NodeId>(native_.node_capacity() + forest::NodeStore::kChunk));
    {
      Busy busy(*this);
      const NodeId root = native_.reset(i, row, 0, released);
      released.take(pending_states_[i]);
      hold(root, state.ptr());
    }
  }

  // Garbage collector support: every object this forest holds.
  int traverse(visitproc visit, void* arg) const {
    for (PyObject* state : states_) Py_VISIT(state);
    for (PyObject* state : pending_states_) Py_VISIT(state);
    Py_VISIT(root_fn_.ptr());
    return 0;
  }

  // Drops every state and the root_fn (the trees stay); what remains answers None for the
  // states, and a search that needs the root_fn raises.
  void clear_states() {
    std::vector<PyObject*> dropped;
    dropped.swap(states_);
    for (PyObject*& state : pending_states_) dropped.push_back(std::exchange(state, nullptr));
    dropped.push_back(root_fn_.release().ptr());
    for (PyObject* state : dropped) Py_XDECREF(state);
  }

 private:
  [[noreturn]] static void throw_busy() {
    throw std::runtime_error("Forest is busy: it is searching");
  }

  static PyObject* new_reference(PyObject* object) {
    PyObject* result = object == nullptr ? Py_None : object;
    Py_INCREF(result);
    return result;
  }

  // A new list of the `count` states state(k) gives (null reads as None): a callback's argument.
  template <typename State>
  static PyObject* new_state_list(std::size_t count, State&& state) {
    PyObject* list = PyList_New(static_cast<py::ssize_t>(count));
    if (list == nullptr) throw py::error_already_set();
    for (std::size_t k = 0; k < count; ++k) {
      PyList_SET_ITEM(list, static_cast<py::ssize_t>(k), new_reference(state(k)));
    }
    return list;
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

  forest::Forest make_native(const forest::SearchConfig& config, py::handle states,
                             py::handle prior_logits, py::handle values, py::handle legal) {
    if (!PyList_Check(states.ptr()) && !PyTuple_Check(states.ptr())) {
      throw py::type_error("states must be a list, not " + type_name(states));
    }
    const auto count = PySequence_Fast_GET_SIZE(states.ptr());
    if (count == 0) throw py::value_error("states must hold at least one root state");
    if (!given(prior_logits, values, legal, "values")) {
      return forest::Forest(config, static_cast<std::size_t>(count));
    }
    Evaluations roots;
    reader_.read(kArgument, static_cast<std::size_t>(count), py::handle(), py::handle(), values,
                 prior_logits, legal, {count, config.num_actions}, roots);
    return forest::Forest(config, roots);
  }

  PyObject* state_of(NodeId id) const {
    const auto slot = static_cast<std::size_t>(id);
    return slot < states_.size() ? states_[slot] : nullptr;
  }

  py::object borrow_state(NodeId id) const {
    if (id == forest::kNoNode) return py::none();
    return py::reinterpret_steal<py::object>(new_reference(state_of(id)));
  }

  // Makes room for the states of nodes up to the store's capacity (at least `id`).
  void reserve_states(NodeId id) {
    const std::size_t size = std::max(native_.node_capacity(), static_cast<std::size_t>(id) + 1);
    if (states_.size() < size) states_.resize(size, nullptr);
  }

  // Stores a new reference to `state` as node id's state.
  void hold(NodeId id, PyObject* state) {
    reserve_states(id);
    Py_INCREF(state);
    states_[static_cast<std::size_t>(id)] = state;
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
    const CallReference parents(new_state_list(count, [&](std::size_t k) {
      const Expansion& e = expansions[k];
      return e.parent == forest::kNoNode ? pending_states_[static_cast<std::size_t>(e.root)]
                                         : state_of(e.parent);
    }));
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
    const std::string& states_name = kRecurrentOutput.next_states;
    read_states(output(0), states_name, count);
    reader_.read(kRecurrentOutput, count, output(1), output(2), output(4), output(3), output(5),
                 {static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(native_.num_actions())},
                 out);
    // Reading the arrays may have run Python code (an __array__) that changed the list.
    const py::sequence next_states = read_states(output(0), states_name, count);

    reserve_states(expansions.back().node);
    for (std::size_t k = 0; k < count; ++k) {
      const Expansion& e = expansions[k];
      hold(e.node, PySequence_Fast_GET_ITEM(next_states.ptr(), static_cast<py::ssize_t>(k)));
      if (e.parent == forest::kNoNode) {
        retired.take(pending_states_[static_cast<std::size_t>(e.root)]);
      }
    }
  }

  // One root_fn call for the roots pending on their own states, which become their states.
  void evaluate_roots(const std::vector<Expansion>& expansions, Evaluations& out,
                      ReleasedStates& retired) {
    if (!root_fn_) throw std::runtime_error("the forest's root_fn was cleared");
    const std::size_t count = expansions.size();
    const CallReference states(new_state_list(count, [&](std::size_t k) {
      return pending_states_[static_cast<std::size_t>(expansions[k].root)];
    }));
    PyObject* arguments[] = {states.get()};
    PyObject* returned = PyObject_Vectorcall(root_fn_.ptr(), arguments, 1, nullptr);
    if (returned == nullptr) throw py::error_already_set();
    const CallReference call(returned);
    check_tuple(returned, 3, "root_fn must return a tuple (prior_logits, values, legal)");
    const auto output = [&](py::ssize_t k) { return py::handle(PyTuple_GET_ITEM(returned, k)); };
    reader_.read(kRootOutput, count, py::handle(), py::handle(), output(1), output(0), output(2),
                 {static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(native_.num_actions())},
                 out);
    reserve_states(expansions.back().node);
    for (std::size_t k = 0; k < count; ++k) {
      const Expansion& e = expansions[k];
      PyObject*& pending = pending_states_[static_cast<std::size_t>(e.root)];
      hold(e.node, pending);
      retired.take(pending);
    }
  }

  BatchReader reader_;
  py::object root_fn_;  // or null
  forest::Forest native_;
  std::vector<PyObject*> states_;          // by node id; nullptr for an unused id
  std::vector<PyObject*> pending_states_;  // by root: the parent state of a pending root
  std::atomic<bool> busy_{false};
};

}  // namespace veltra::bindings
