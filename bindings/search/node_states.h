#pragma once

// What a forest keeps of its states, behind one interface: a Python object per node
// (object_states.h), or, for states given as one float array, a row of native memory per node
// (array_states.h). Node states are by node id, those of pending roots by root (the parent state
// of a root pending on a move, or the own state of one pending on its state). Every method is
// called with the GIL held; those that read Python input run before the forest changes anything.

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "bindings/common/released_interpreter.h"
#include "forest/evaluation.h"
#include "forest/forest.h"

namespace veltra::bindings {

namespace py = pybind11;

using forest::Expansion;
using forest::NodeId;

// References taken out of a forest's slots by an operation, dropped when this goes (once the
// operation is complete and the forest idle again), so that a finaliser they run sees a
// consistent forest. Called with a node id, it takes that node's state: the release function
// of the native forest's advance and reset. Room for `most` references is made first, so that
// taking them cannot fail half-way (MemoryError then comes before anything changed). Without
// slots (array states, which hold no references) it takes nothing.
class ReleasedStates {
 public:
  ReleasedStates(std::vector<PyObject*>* node_slots, std::vector<PyObject*>* pending_slots,
                 std::size_t most)
      : node_slots_(node_slots), pending_slots_(pending_slots) {
    if (node_slots_ != nullptr) taken_.reserve(most);
  }
  ReleasedStates(const ReleasedStates&) = delete;
  ReleasedStates& operator=(const ReleasedStates&) = delete;
  ~ReleasedStates() {
    // Not on a thread being ended at exit, which no longer holds the interpreter.
    if (!may_release_references()) return;
    for (PyObject* state : taken_) Py_XDECREF(state);
  }

  void operator()(NodeId id) {
    if (node_slots_ != nullptr) take((*node_slots_)[static_cast<std::size_t>(id)]);
  }
  // The state of pending root i.
  void take_pending(std::size_t i) {
    if (pending_slots_ != nullptr) take((*pending_slots_)[i]);
  }

 private:
  void take(PyObject*& slot) { taken_.push_back(std::exchange(slot, nullptr)); }

  std::vector<PyObject*>* node_slots_;
  std::vector<PyObject*>* pending_slots_;
  std::vector<PyObject*> taken_;
};

// The slots the new nodes of `expansions` need: one past their largest id.
inline std::size_t node_rows(const std::vector<Expansion>& expansions) {
  NodeId largest = 0;
  for (const Expansion& e : expansions) largest = std::max(largest, e.node);
  return static_cast<std::size_t>(largest) + 1;
}

class NodeStates {
 public:
  NodeStates() = default;
  NodeStates(const NodeStates&) = delete;
  NodeStates& operator=(const NodeStates&) = delete;
  virtual ~NodeStates() = default;

  // R, the roots the states were given for.
  virtual std::size_t num_roots() const = 0;

  // Once the native forest is made from `states` (the constructor's argument): each root's state
  // becomes its node's, or its own pending state.
  virtual void place_roots(const forest::Forest& native, py::handle states) = 0;

  // root_states: every root's state; where a root is pending on a move, None or a NaN row.
  virtual py::object root_states(const forest::Forest& native) const = 0;

  // recurrent_fn's first argument: the states the expansions start from (a parent node's, or a
  // pending root's parent state). root_fn's: the pending roots' own states.
  virtual py::object parent_states(const std::vector<Expansion>& expansions) const = 0;
  virtual py::object own_states(const std::vector<Expansion>& expansions) const = 0;

  // recurrent_fn's next_states, checked before its other outputs are read (nothing of the forest
  // changes if it is refused); then, once every output is read, stored as the new nodes' states
  // (their ids were reserved in `native`), the pending roots' parent states going to `retired`.
  virtual void check_next_states(py::handle next_states, const forest::Forest& native,
                                 const std::vector<Expansion>& expansions) = 0;
  virtual void store_next_states(py::handle next_states, const std::vector<Expansion>& expansions,
                                 ReleasedStates& retired) = 0;
  // After root_fn: the pending roots' own states become their new nodes'.
  virtual void store_own_states(const forest::Forest& native,
                                const std::vector<Expansion>& expansions,
                                ReleasedStates& retired) = 0;

  // reset's state, read and checked before anything changes.
  virtual py::object read_state(py::handle state) const = 0;
  // Room for the states of nodes below `capacity`.
  virtual void reserve(std::size_t capacity) = 0;
  // `state` (from read_state) as root i's: the state of its node `id`, or (kNoNode) its own
  // pending state; the state root i was pending on goes to `released`.
  virtual void hold_root(std::size_t i, NodeId id, const py::object& state,
                         ReleasedStates& released) = 0;

  // A move of root i: what before_move returns (taken before the native move) is what
  // after_move needs to keep root i's old state as the parent state of a root left pending.
  virtual py::object before_move(const forest::Forest& native, std::size_t i) const = 0;
  virtual void after_move(const forest::Forest& native, std::size_t i, NodeId old_root,
                          py::object before) = 0;

  // The collector of the states an operation releases, with room for `most` of them.
  virtual ReleasedStates released(std::size_t most) = 0;

  // Garbage collector support: every object held; and dropping them all.
  virtual int traverse(visitproc visit, void* arg) const = 0;
  virtual void clear() = 0;
};

}  // namespace veltra::bindings
