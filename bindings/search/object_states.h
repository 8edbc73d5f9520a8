#pragma once

// States as Python objects: a strong reference per node id and per pending root, read and
// written only with the GIL held. They live apart from the node store, which searches change
// without the GIL, so the garbage collector (which may traverse the forest from another thread
// while a search runs) reads only what it may.

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "bindings/common/python_callable.h"
#include "bindings/common/type_name.h"
#include "bindings/search/batch_reader.h"
#include "bindings/search/node_states.h"

namespace veltra::bindings {

class ObjectStates final : public NodeStates {
 public:
  // `states`: a list or tuple of at least one object.
  explicit ObjectStates(py::handle states)
      : num_roots_(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(states.ptr()))),
        pending_(num_roots_, nullptr) {
    if (num_roots_ == 0) throw py::value_error("states must hold at least one root state");
  }
  ~ObjectStates() override { clear(); }

  std::size_t num_roots() const override { return num_roots_; }

  void place_roots(const forest::Forest& native, py::handle states) override {
    // Reading the arrays may have run Python code that changed the list: check it again.
    const py::sequence sequence = read_states(states, "states", num_roots_);
    for (std::size_t i = 0; i < num_roots_; ++i) {
      PyObject* state = PySequence_Fast_GET_ITEM(sequence.ptr(), static_cast<py::ssize_t>(i));
      if (native.is_pending(i)) {
        pending_[i] = new_reference(state);
      } else {
        hold(native.root_node(i), state);
      }
    }
  }

  py::object root_states(const forest::Forest& native) const override {
    return new_list(num_roots_, [&](std::size_t i) {
      const NodeId root = native.root_node(i);
      return root != forest::kNoNode          ? state_of(root)
             : native.pending_on_own_state(i) ? pending_[i]
                                              : nullptr;
    });
  }

  py::object parent_states(const std::vector<Expansion>& expansions) const override {
    return new_list(expansions.size(), [&](std::size_t k) {
      const Expansion& e = expansions[k];
      return e.parent == forest::kNoNode ? pending_[static_cast<std::size_t>(e.root)]
                                         : state_of(e.parent);
    });
  }

  py::object own_states(const std::vector<Expansion>& expansions) const override {
    return new_list(expansions.size(), [&](std::size_t k) {
      return pending_[static_cast<std::size_t>(expansions[k].root)];
    });
  }

  void check_next_states(py::handle next_states, const forest::Forest& /*native*/,
                         const std::vector<Expansion>& expansions) override {
    read_states(next_states, kRecurrentOutput.next_states, expansions.size());
  }

  void store_next_states(py::handle next_states, const std::vector<Expansion>& expansions,
                         ReleasedStates& retired) override {
    // Reading the arrays may have run Python code (an __array__) that changed the list.
    const py::sequence states =
        read_states(next_states, kRecurrentOutput.next_states, expansions.size());
    reserve(node_rows(expansions));
    for (std::size_t k = 0; k < expansions.size(); ++k) {
      const Expansion& e = expansions[k];
      hold(e.node, PySequence_Fast_GET_ITEM(states.ptr(), static_cast<py::ssize_t>(k)));
      if (e.parent == forest::kNoNode) retired.take_pending(static_cast<std::size_t>(e.root));
    }
  }

  void store_own_states(const forest::Forest& /*native*/, const std::vector<Expansion>& expansions,
                        ReleasedStates& retired) override {
    reserve(node_rows(expansions));
    for (const Expansion& e : expansions) {
      const auto root = static_cast<std::size_t>(e.root);
      hold(e.node, pending_[root]);
      retired.take_pending(root);
    }
  }

  py::object read_state(py::handle state) const override {
    return py::reinterpret_borrow<py::object>(state);
  }

  void reserve(std::size_t capacity) override {
    if (states_.size() < capacity) states_.resize(capacity, nullptr);
  }

  void hold_root(std::size_t i, NodeId id, const py::object& state,
                 ReleasedStates& released) override {
    released.take_pending(i);
    if (id == forest::kNoNode) {
      pending_[i] = new_reference(state.ptr());
    } else {
      hold(id, state.ptr());
    }
  }

  py::object before_move(const forest::Forest& native, std::size_t i) const override {
    const NodeId root = native.root_node(i);
    if (root == forest::kNoNode) return py::none();
    return py::reinterpret_steal<py::object>(new_reference(state_of(root)));
  }

  void after_move(const forest::Forest& native, std::size_t i, NodeId /*old_root*/,
                  py::object before) override {
    if (native.is_pending(i) && pending_[i] == nullptr) pending_[i] = before.release().ptr();
  }

  ReleasedStates released(std::size_t most) override {
    return ReleasedStates(&states_, &pending_, most);
  }

  int traverse(visitproc visit, void* arg) const override {
    for (PyObject* state : states_) Py_VISIT(state);
    for (PyObject* state : pending_) Py_VISIT(state);
    return 0;
  }

  void clear() override {
    std::vector<PyObject*> dropped;
    dropped.swap(states_);
    for (PyObject*& state : pending_) dropped.push_back(std::exchange(state, nullptr));
    for (PyObject* state : dropped) Py_XDECREF(state);
  }

 private:
  static PyObject* new_reference(PyObject* object) {
    PyObject* result = object == nullptr ? Py_None : object;
    Py_INCREF(result);
    return result;
  }

  // A new list of the `count` states state(k) gives (null reads as None).
  template <typename State>
  static py::object new_list(std::size_t count, State&& state) {
    PyObject* list = PyList_New(static_cast<py::ssize_t>(count));
    if (list == nullptr) throw py::error_already_set();
    for (std::size_t k = 0; k < count; ++k) {
      PyList_SET_ITEM(list, static_cast<py::ssize_t>(k), new_reference(state(k)));
    }
    return py::reinterpret_steal<py::object>(list);
  }

  PyObject* state_of(NodeId id) const {
    const auto slot = static_cast<std::size_t>(id);
    return slot < states_.size() ? states_[slot] : nullptr;
  }

  // Stores a new reference to `state` as node id's state.
  void hold(NodeId id, PyObject* state) {
    reserve(static_cast<std::size_t>(id) + 1);
    Py_INCREF(state);
    states_[static_cast<std::size_t>(id)] = state;
  }

  std::size_t num_roots_;
  std::vector<PyObject*> states_;   // by node id; nullptr for an unused id
  std::vector<PyObject*> pending_;  // by root: the state a pending root is evaluated from
};

}  // namespace veltra::bindings
