#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "bindings/search/arrays.h"
#include "forest/forest.h"

namespace veltra::bindings {

// The `max_depth` argument of Forest.tree: None (every level) or an int >= 0.
inline std::int64_t read_max_depth(py::handle value) {
  if (value.is_none()) return std::numeric_limits<std::int64_t>::max();
  const std::int64_t depth = read_int(value, "max_depth");
  if (depth < 0) {
    throw py::value_error("max_depth must be >= 0 or None, got " + std::to_string(depth));
  }
  return depth;
}

// Tree i as nested dicts (see Forest.tree), down to `max_depth` levels below the root; None for
// a pending root. Walks with an explicit stack, so a deep tree cannot overflow the call stack.
inline py::object tree_view(const forest::Forest& forest, std::size_t i, std::int64_t max_depth) {
  const forest::NodeId root = forest.root_node(i);
  if (root == forest::kNoNode) return py::none();
  const auto make = [&](forest::NodeId id, py::object action, py::object prior) {
    const forest::Node& n = forest.node(id);
    py::dict node;
    node["action"] = std::move(action);
    node["visits"] = n.visits;
    node["value"] = n.value;
    node["prior"] = std::move(prior);
    node["reward"] = id == root ? py::none() : py::object(py::float_(n.reward));
    node["discount"] = id == root ? py::none() : py::object(py::float_(n.discount));
    node["solved"] = forest.solved(id);
    node["children"] = py::list();
    return node;
  };
  py::dict top = make(root, py::none(), py::none());
  std::vector<std::pair<forest::NodeId, std::int64_t>> stack{{root, 0}};
  std::vector<py::list> lists{top["children"].cast<py::list>()};
  while (!stack.empty()) {
    const auto [id, depth] = stack.back();
    py::list children = lists.back();
    stack.pop_back();
    lists.pop_back();
    if (depth >= max_depth) continue;
    const float* priors = forest.priors(id);
    for (forest::NodeId c = forest.node(id).first_child; c != forest::kNoNode;
         c = forest.node(c).next_sibling) {
      const std::int32_t action = forest.node(c).action;
      py::dict child = make(c, py::int_(action), py::float_(static_cast<double>(priors[action])));
      children.append(child);
      stack.emplace_back(c, depth + 1);
      lists.push_back(child["children"].cast<py::list>());
    }
  }
  return std::move(top);
}

}  // namespace veltra::bindings
