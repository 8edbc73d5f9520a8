#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

// Parameter and result types that take or give any object, as py::object does, but name the
// Python type the module expects in the signatures pybind11 writes into every docstring (what
// help() shows): the same annotations as the module's stub. The module's own readers
// (bindings/search/arrays.h) then check the values.
namespace veltra::bindings::hint {

// An object annotated as Name::text.
template <typename Name>
class Hinted : public pybind11::object {
 public:
  PYBIND11_OBJECT_DEFAULT(Hinted, object, PyObject_Type)
};

struct IntName {
  static constexpr char text[] = "typing.SupportsIndex";
};
struct FloatName {
  static constexpr char text[] = "typing.SupportsFloat | typing.SupportsIndex";
};
struct StrName {
  static constexpr char text[] = "str";
};
struct BoolName {
  static constexpr char text[] = "bool";
};
struct FloatPairName {
  static constexpr char text[] = "tuple[float, float]";
};
struct AnyName {
  static constexpr char text[] = "typing.Any";
};
struct ArrayLikeName {
  static constexpr char text[] = "numpy.typing.ArrayLike";
};
struct OptionalArrayLikeName {
  static constexpr char text[] = "numpy.typing.ArrayLike | None";
};
struct FloatOrArrayLikeName {
  static constexpr char text[] =
      "typing.SupportsFloat | typing.SupportsIndex | numpy.typing.ArrayLike";
};
struct OptionalFloatOrArrayLikeName {
  static constexpr char text[] =
      "typing.SupportsFloat | typing.SupportsIndex | numpy.typing.ArrayLike | None";
};
struct OptionalFloatName {
  static constexpr char text[] = "typing.SupportsFloat | typing.SupportsIndex | None";
};
struct OptionalIntName {
  static constexpr char text[] = "typing.SupportsIndex | None";
};
struct TreeOrNoneName {
  static constexpr char text[] = "dict[str, typing.Any] | None";
};
struct ForestName {
  static constexpr char text[] = "Forest";
};
struct PathName {
  static constexpr char text[] = "str | os.PathLike[str]";
};
struct StatesName {
  static constexpr char text[] = "collections.abc.Sequence[typing.Any] | numpy.typing.ArrayLike";
};
struct RootStatesName {
  static constexpr char text[] = "list[typing.Any] | numpy.typing.NDArray[numpy.floating]";
};

// recurrent_fn(states, actions) -> (next_states, rewards, discounts, prior_logits, values, legal)
struct RecurrentFnName {
  static constexpr char text[] =
      "collections.abc.Callable[[typing.Any, numpy.typing.NDArray[numpy.int64]], "
      "tuple[collections.abc.Sequence[typing.Any] | numpy.typing.ArrayLike, "
      "numpy.typing.ArrayLike, "
      "numpy.typing.ArrayLike, numpy.typing.ArrayLike, numpy.typing.ArrayLike, "
      "numpy.typing.ArrayLike | None]]";
};

// root_fn(states) -> (prior_logits, values, legal), or None
struct OptionalRootFnName {
  static constexpr char text[] =
      "collections.abc.Callable[[typing.Any], tuple[numpy.typing.ArrayLike, "
      "numpy.typing.ArrayLike, numpy.typing.ArrayLike | None]] | None";
};

using Int = Hinted<IntName>;
using Float = Hinted<FloatName>;
using Str = Hinted<StrName>;
using Bool = Hinted<BoolName>;
using FloatPair = Hinted<FloatPairName>;
using Any = Hinted<AnyName>;
using ArrayLike = Hinted<ArrayLikeName>;
using OptionalArrayLike = Hinted<OptionalArrayLikeName>;
using FloatOrArrayLike = Hinted<FloatOrArrayLikeName>;
using OptionalFloatOrArrayLike = Hinted<OptionalFloatOrArrayLikeName>;
using OptionalFloat = Hinted<OptionalFloatName>;
using OptionalInt = Hinted<OptionalIntName>;
using TreeOrNone = Hinted<TreeOrNoneName>;
using ForestObject = Hinted<ForestName>;
using Path = Hinted<PathName>;
using States = Hinted<StatesName>;
using RootStates = Hinted<RootStatesName>;
using RecurrentFn = Hinted<RecurrentFnName>;
using OptionalRootFn = Hinted<OptionalRootFnName>;

}  // namespace veltra::bindings::hint

// A type's name in those signatures comes from pybind11's handle_type_name, the trait its own
// typing.h specialises for the same purpose; it lives in pybind11::detail and has no public
// equivalent before C++20 (typing::TypeVar, whose string parameter needs C++20).
template <typename Name>
struct pybind11::detail::handle_type_name<veltra::bindings::hint::Hinted<Name>> {
  static constexpr auto name = pybind11::detail::const_name(Name::text);
};
