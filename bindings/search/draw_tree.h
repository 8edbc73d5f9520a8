#pragma once

#include <pybind11/pybind11.h>

#include "bindings/search/docstrings.h"
#include "bindings/search/type_hints.h"

namespace veltra::bindings {

// draw_tree is text and a subprocess over Forest.tree, no tree work, so it is plain Python
// (_veltra_search_draw.py, installed beside this module); the module keeps only its entry point.
inline void register_draw_tree(pybind11::module_& m) {
  m.def(
      "draw_tree",
      [](const hint::ForestObject& forest, const hint::Int& i, const hint::Path& path,
         const hint::OptionalInt& max_depth) {
        pybind11::module_::import("_veltra_search_draw")
            .attr("draw_tree")(forest, i, path, max_depth);
      },
      search_docs::kDrawTreeDoc, pybind11::arg("forest"), pybind11::arg("i"), pybind11::arg("path"),
      pybind11::arg("max_depth") = 3);
}

}  // namespace veltra::bindings
