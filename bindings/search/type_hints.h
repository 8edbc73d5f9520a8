#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

// Parameter and result types that take or give any object, as py::object does, but name the
// Python type the module expects in the signatures pybind11 writes into every docstring (what
// help() shows), the same annotations as the module's stub. pybind11's typing::TypeVar is the one
// public type that carries a name of our choosing and converts like py::object; the module's own
// readers (bindings/search/arrays.h, bindings/common/number_casters.h) then check the values.
namespace veltra::bindings::hint {

namespace typing = pybind11::typing;

using Int = typing::TypeVar<"typing.SupportsIndex">;
using Float = typing::TypeVar<"typing.SupportsFloat | typing.SupportsIndex">;
using Str = typing::TypeVar<"str">;
using Any = typing::TypeVar<"typing.Any">;
using ArrayLike = typing::TypeVar<"numpy.typing.ArrayLike">;
using OptionalArrayLike = typing::TypeVar<"numpy.typing.ArrayLike | None">;
using FloatOrArrayLike =
    typing::TypeVar<"typing.SupportsFloat | typing.SupportsIndex | numpy.typing.ArrayLike">;
using States = typing::TypeVar<"collections.abc.Sequence[typing.Any]">;
using StateList = typing::List<Any>;
// recurrent_fn(states, actions) -> (next_states, rewards, discounts, prior_logits, values, legal)
using RecurrentFn = typing::TypeVar<
    "collections.abc.Callable[[list[typing.Any], numpy.typing.NDArray[numpy.int64]], "
    "tuple[collections.abc.Sequence[typing.Any], numpy.typing.ArrayLike, numpy.typing.ArrayLike, "
    "numpy.typing.ArrayLike, numpy.typing.ArrayLike, numpy.typing.ArrayLike | None]]">;

}  // namespace veltra::bindings::hint
