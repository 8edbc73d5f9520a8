#pragma once

// States given as one float array [R, *S]: every node's state is a row of native memory of shape
// S and the array's dtype (forest/state_store.h), and recurrent_fn and root_fn get and give the
// states of a batch as one array [B, *S]. Nothing here holds a Python object per state.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "bindings/search/arrays.h"
#include "bindings/search/batch_reader.h"
#include "bindings/search/node_states.h"
#include "forest/state_store.h"

namespace veltra::bindings {

// Whether `states` is to be kept as arrays: a NumPy array or a DLPack producer, of anything but
// objects (an object array is not an array of states, and is refused as a list's stand-in).
inline bool is_state_array(py::handle states) {
  if (py::isinstance<py::array>(states)) {
    return py::reinterpret_borrow<py::array>(states).dtype().kind() != 'O';
  }
  return PyObject_HasAttrString(states.ptr(), "__dlpack__") != 0;
}

class ArrayStates final : public NodeStates {
 public:
  explicit ArrayStates(py::handle states) : ArrayStates(read_root_array(states)) {}

  std::size_t num_roots() const override { return pending_.rows(); }

  void place_roots(const forest::Forest& native, py::handle /*states*/) override {
    nodes_.reserve(native.node_capacity());
    for (std::size_t i = 0; i < num_roots(); ++i) {
      if (!native.is_pending(i)) nodes_.write(node_row(native.root_node(i)), pending_.row(i));
    }
  }

  py::object root_states(const forest::Forest& native) const override {
    py::array out = batch(num_roots());
    for (std::size_t i = 0; i < num_roots(); ++i) {
      unsigned char* row = row_of(out, i);
      const NodeId root = native.root_node(i);
      if (root != forest::kNoNode) {
        nodes_.read(node_row(root), row);
      } else if (native.pending_on_own_state(i)) {
        pending_.read(i, row);
      } else {
        fill_nan(row);  // pending on a move: no state yet
      }
    }
    return std::move(out);
  }

  py::object parent_states(const std::vector<Expansion>& expansions) const override {
    py::array out = batch(expansions.size());
    for (std::size_t k = 0; k < expansions.size(); ++k) {
      const Expansion& e = expansions[k];
      if (e.parent == forest::kNoNode) {
        pending_.read(static_cast<std::size_t>(e.root), row_of(out, k));
      } else {
        nodes_.read(node_row(e.parent), row_of(out, k));
      }
    }
    return std::move(out);
  }

  py::object own_states(const std::vector<Expansion>& expansions) const override {
    py::array out = batch(expansions.size());
    for (std::size_t k = 0; k < expansions.size(); ++k) {
      pending_.read(static_cast<std::size_t>(expansions[k].root), row_of(out, k));
    }
    return std::move(out);
  }

  // The rows go straight to the reserved ids, which no tree holds until the step is applied:
  // a step that fails later leaves only unused rows written.
  void check_next_states(py::handle next_states, const forest::Forest& native,
                         const std::vector<Expansion>& expansions) override {
    const py::array rows =
        read_rows(next_states, kRecurrentOutput.next_states, batch_shape(expansions.size()));
    nodes_.reserve(std::max(native.node_capacity(), node_rows(expansions)));
    const auto* data = static_cast<const unsigned char*>(rows.data());
    for (std::size_t k = 0; k < expansions.size(); ++k) {
      nodes_.write(node_row(expansions[k].node), data + k * nodes_.row_bytes());
    }
  }

  void store_next_states(py::handle /*next_states*/, const std::vector<Expansion>& /*expansions*/,
                         ReleasedStates& /*retired*/) override {}

  void store_own_states(const forest::Forest& native, const std::vector<Expansion>& expansions,
                        ReleasedStates& /*retired*/) override {
    nodes_.reserve(std::max(native.node_capacity(), node_rows(expansions)));
    for (const Expansion& e : expansions) {
      nodes_.write(node_row(e.node), pending_.row(static_cast<std::size_t>(e.root)));
    }
  }

  // A copy, which Python code run by the reading of reset's other arguments cannot change.
  py::object read_state(py::handle state) const override {
    return read_rows(state, "state", state_shape_, kEnsureCopy);
  }

  void reserve(std::size_t capacity) override { nodes_.reserve(capacity); }

  void hold_root(std::size_t i, NodeId id, const py::object& state,
                 ReleasedStates& /*released*/) override {
    const void* row = py::reinterpret_borrow<py::array>(state).data();
    if (id == forest::kNoNode) {
      pending_.write(i, row);
    } else {
      nodes_.write(node_row(id), row);
    }
  }

  py::object before_move(const forest::Forest& /*native*/, std::size_t /*i*/) const override {
    return py::object();
  }

  // A freed node keeps its row until its id is taken again, which no move does.
  void after_move(const forest::Forest& native, std::size_t i, NodeId old_root,
                  py::object /*before*/) override {
    if (native.is_pending(i)) pending_.write(i, nodes_.row(node_row(old_root)));
  }

  ReleasedStates released(std::size_t /*most*/) override {
    return ReleasedStates(nullptr, nullptr, 0);
  }

  int traverse(visitproc /*visit*/, void* /*arg*/) const override { return 0; }
  void clear() override {}

 private:
  explicit ArrayStates(const py::array& roots)
      : dtype_(roots.dtype()),
        state_shape_(roots.shape() + 1, roots.shape() + roots.ndim()),
        row_elements_(static_cast<std::size_t>(roots.size()) /
                      static_cast<std::size_t>(std::max<py::ssize_t>(roots.shape(0), 1))),
        nodes_(row_elements_ * static_cast<std::size_t>(roots.itemsize())),
        pending_(nodes_.row_bytes()) {
    const auto count = static_cast<std::size_t>(roots.shape(0));
    check_finite(roots, "states", true);
    pending_.reserve(count);
    const auto* data = static_cast<const unsigned char*>(roots.data());
    for (std::size_t i = 0; i < count; ++i) pending_.write(i, data + i * pending_.row_bytes());
  }

  // The constructor's states: a float32 or float64 array [R, *S], R >= 1.
  static py::array read_root_array(py::handle states) {
    py::array array =
        as_array(states, nullptr, kRowFlags, "states", "a list or an array of floats");
    const py::dtype dtype = array.dtype();
    if (dtype.kind() != 'f' || (dtype.itemsize() != 4 && dtype.itemsize() != 8)) {
      throw py::type_error(
          "states must be a list or an array of float32 or float64, not an "
          "array of " +
          py::str(dtype).cast<std::string>());
    }
    if (array.ndim() == 0) throw py::value_error("states must be an array [R, *S], not a scalar");
    if (array.shape(0) == 0) throw py::value_error("states must hold at least one root state");
    return array;
  }

  static constexpr int kEnsureCopy = 0x0020;  // NumPy's NPY_ARRAY_ENSURECOPY
  static constexpr int kRowFlags =
      py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_ | py::detail::npy_api::NPY_ARRAY_ALIGNED_;

  // `value` as a C-contiguous array of exactly the forest's dtype and `shape`, with finite
  // entries: ValueError naming it, with both shapes and dtypes, otherwise.
  py::array read_rows(py::handle value, const std::string& name, const Shape& shape,
                      int flags = 0) const {
    py::array array =
        as_array(value, nullptr, kRowFlags | flags, name, "an array of floats", &shape);
    auto& api = py::detail::npy_api::get();
    if (!api.PyArray_EquivTypes_(array.dtype().ptr(), dtype_.ptr()) || !has_shape(array, shape)) {
      throw py::value_error(
          name + " has shape " + shape_text(array.shape(), static_cast<std::size_t>(array.ndim())) +
          " and dtype " + py::str(array.dtype()).cast<std::string>() + "; expected shape " +
          shape_text(shape) + " and dtype " + py::str(dtype_).cast<std::string>());
    }
    check_finite(array, name, shape.size() > state_shape_.size());
    return array;
  }

  // "<name> row <r> holds nan; states must be finite" for the first non-finite entry (without
  // the row for a single state).
  template <typename Float>
  static void check_finite(const Float* data, std::size_t size, std::size_t row_elements,
                           const std::string& name) {
    for (std::size_t k = 0; k < size; ++k) {
      if (std::isfinite(data[k])) continue;
      const std::string row =
          row_elements == size ? "" : " row " + std::to_string(k / row_elements);
      throw py::value_error(name + row + " holds " + non_finite_text(data[k]) +
                            "; states must be finite");
    }
  }
  static void check_finite(const py::array& array, const std::string& name, bool batch) {
    const auto size = static_cast<std::size_t>(array.size());
    if (size == 0) return;
    const std::size_t row_elements = batch ? size / static_cast<std::size_t>(array.shape(0)) : size;
    if (array.itemsize() == 4) {
      check_finite(static_cast<const float*>(array.data()), size, row_elements, name);
    } else {
      check_finite(static_cast<const double*>(array.data()), size, row_elements, name);
    }
  }

  Shape batch_shape(std::size_t count) const {
    Shape shape{static_cast<py::ssize_t>(count)};
    shape.insert(shape.end(), state_shape_.begin(), state_shape_.end());
    return shape;
  }
  py::array batch(std::size_t count) const { return py::array(dtype_, batch_shape(count)); }

  unsigned char* row_of(py::array& array, std::size_t k) const {
    return static_cast<unsigned char*>(array.mutable_data()) + k * nodes_.row_bytes();
  }
  static std::size_t node_row(NodeId id) { return static_cast<std::size_t>(id); }

  void fill_nan(unsigned char* row) const {
    for (std::size_t e = 0; e < row_elements_; ++e) {
      if (dtype_.itemsize() == 4) {
        reinterpret_cast<float*>(row)[e] = std::numeric_limits<float>::quiet_NaN();
      } else {
        reinterpret_cast<double*>(row)[e] = std::numeric_limits<double>::quiet_NaN();
      }
    }
  }

  py::dtype dtype_;
  Shape state_shape_;           // S
  std::size_t row_elements_;    // the entries of a state
  forest::StateStore nodes_;    // by node id
  forest::StateStore pending_;  // by root: the state a pending root is evaluated from
};

}  // namespace veltra::bindings
