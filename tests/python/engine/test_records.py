"""SearchConfig, SearchResult and BatchSearchResult: defaults, storage widths and conversions."""

import math
from collections.abc import Callable
from typing import Any

import pytest
import veltra_engine as ve

from reference.single_precision import f32

INT32_MIN, INT32_MAX, UINT32_MAX = -(2**31), 2**31 - 1, 2**32 - 1

DEFAULTS = [
    (ve.SearchConfig, "num_simulations", 100),
    (ve.SearchConfig, "exploration_constant", 1.4140000343322754),
    (ve.SearchConfig, "max_rollout_depth", 50),
    (ve.SearchConfig, "discount_factor", 1.0),
    (ve.SearchConfig, "seed", 0),
    (ve.SearchResult, "best_action", 0),
    (ve.SearchResult, "actions", []),
    (ve.SearchResult, "visit_counts", []),
    (ve.SearchResult, "root_value", 0.0),
    (ve.SearchResult, "num_simulations", 0),
    (ve.BatchSearchResult, "best_actions", []),
    (ve.BatchSearchResult, "root_values", []),
    (ve.BatchSearchResult, "num_simulations", 0),
]

FLOAT_FIELDS = [
    (ve.SearchConfig, "exploration_constant"),
    (ve.SearchConfig, "discount_factor"),
    (ve.SearchResult, "root_value"),
]

# (record, field, smallest accepted, largest accepted)
INT_FIELDS = [
    (ve.SearchConfig, "num_simulations", INT32_MIN, INT32_MAX),
    (ve.SearchConfig, "max_rollout_depth", INT32_MIN, INT32_MAX),
    (ve.SearchConfig, "seed", 0, UINT32_MAX),
    (ve.SearchResult, "best_action", INT32_MIN, INT32_MAX),
    (ve.SearchResult, "num_simulations", INT32_MIN, INT32_MAX),
    (ve.BatchSearchResult, "num_simulations", INT32_MIN, INT32_MAX),
]

INT_LIST_FIELDS = [
    (ve.SearchResult, "actions"),
    (ve.SearchResult, "visit_counts"),
    (ve.BatchSearchResult, "best_actions"),
]

LIST_FIELDS = INT_LIST_FIELDS + [(ve.BatchSearchResult, "root_values")]


class Index:
    """An int-convertible object that is not an int."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class Real:
    """A float-convertible object that is not a float."""

    def __float__(self) -> float:
        return 0.25


def assert_refused(record: Any, field: str, value: Any) -> None:
    """Assigning `value` raises TypeError and leaves the field as it was."""
    before = getattr(record, field)
    with pytest.raises(TypeError):
        setattr(record, field, value)
    assert getattr(record, field) == before


def ids(params: list[tuple[Any, ...]]) -> list[str]:
    return [f"{cls.__name__}.{field}" for cls, field, *_ in params]


class TestDefaults:
    @pytest.mark.parametrize("cls, field, expected", DEFAULTS, ids=ids(DEFAULTS))
    def test_default(self, cls: type, field: str, expected: Any) -> None:
        value = getattr(cls(), field)
        assert type(value) is type(expected)
        assert value == expected

    @pytest.mark.parametrize("cls, field, expected", DEFAULTS, ids=ids(DEFAULTS))
    def test_records_do_not_share_storage(self, cls: type, field: str, expected: Any) -> None:
        changed = cls()
        setattr(changed, field, [3] if isinstance(expected, list) else 3)
        assert getattr(cls(), field) == expected
        assert getattr(changed, field) != expected

    @pytest.mark.parametrize("cls", [ve.SearchConfig, ve.SearchResult, ve.BatchSearchResult])
    def test_constructor_takes_no_arguments(self, cls: type) -> None:
        with pytest.raises(TypeError):
            cls(num_simulations=5)
        with pytest.raises(TypeError):
            cls(5)


class TestFloatFields:
    @pytest.mark.parametrize("cls, field", FLOAT_FIELDS, ids=ids(FLOAT_FIELDS))
    @pytest.mark.parametrize(
        "value, stored",
        [
            (0.1, 0.10000000149011612),
            (-2.5, -2.5),
            (3, 3.0),
            (Real(), 0.25),
            (Index(7), 7.0),
            (1e39, math.inf),
            (-1e300, -math.inf),
            (16777217, 16777216.0),
            (1e-50, 0.0),
        ],
    )
    def test_stored_as_32_bit_float(self, cls: type, field: str, value: Any, stored: float) -> None:
        record = cls()
        setattr(record, field, value)
        read = getattr(record, field)
        assert type(read) is float
        assert read == stored == f32(read)

    @pytest.mark.parametrize("cls, field", FLOAT_FIELDS, ids=ids(FLOAT_FIELDS))
    def test_nan_is_stored(self, cls: type, field: str) -> None:
        record = cls()
        setattr(record, field, math.nan)
        assert math.isnan(getattr(record, field))

    @pytest.mark.parametrize("cls, field", FLOAT_FIELDS, ids=ids(FLOAT_FIELDS))
    @pytest.mark.parametrize("value", ["0.5", None, [0.5], b"1"])
    def test_non_numbers_refused(self, cls: type, field: str, value: Any) -> None:
        record = cls()
        setattr(record, field, 0.75)
        assert_refused(record, field, value)


class TestIntFields:
    @pytest.mark.parametrize("cls, field, low, high", INT_FIELDS, ids=ids(INT_FIELDS))
    def test_full_range_accepted(self, cls: type, field: str, low: int, high: int) -> None:
        record = cls()
        for value, expected in ((low, low), (high, high), (Index(high), high), (True, 1)):
            setattr(record, field, value)
            read = getattr(record, field)
            assert type(read) is int
            assert read == expected

    @pytest.mark.parametrize("cls, field, low, high", INT_FIELDS, ids=ids(INT_FIELDS))
    def test_refusals_leave_the_record_unchanged(
        self, cls: type, field: str, low: int, high: int
    ) -> None:
        record = cls()
        setattr(record, field, 5)
        for value in (low - 1, high + 1, 2**64, 2.5, 2.0, "3", None, Index(high + 1)):
            assert_refused(record, field, value)
        assert getattr(record, field) == 5

    def test_seed_bounds(self) -> None:
        config = ve.SearchConfig()
        config.seed = 4294967295
        assert config.seed == 4294967295
        assert_refused(config, "seed", -1)


class TestListFields:
    @pytest.mark.parametrize("cls, field", INT_LIST_FIELDS, ids=ids(INT_LIST_FIELDS))
    @pytest.mark.parametrize(
        "make, stored",
        [
            (lambda: (3, 4), [3, 4]),
            (lambda: [INT32_MIN, INT32_MAX], [INT32_MIN, INT32_MAX]),
            (lambda: (x for x in (5, 6)), [5, 6]),
            (lambda: {9}, [9]),
            (lambda: frozenset({8}), [8]),
            (lambda: range(3), [0, 1, 2]),
            (lambda: {1: "a", 2: "b"}.keys(), [1, 2]),
            (lambda: {"a": 7}.values(), [7]),
            (lambda: map(int, "12"), [1, 2]),
            (lambda: [Index(4)], [4]),
            (lambda: [], []),
        ],
        ids=[
            "tuple", "extremes", "generator", "set", "frozenset", "range", "dict_keys",
            "dict_values", "map", "index_item", "empty",
        ],
    )
    def test_accepted_iterables(
        self, cls: type, field: str, make: Callable[[], Any], stored: list[int]
    ) -> None:
        record = cls()
        setattr(record, field, make())
        assert getattr(record, field) == stored

    @pytest.mark.parametrize("cls, field", INT_LIST_FIELDS, ids=ids(INT_LIST_FIELDS))
    @pytest.mark.parametrize(
        "make",
        [
            lambda: "12",
            lambda: b"12",
            lambda: 5,
            lambda: None,
            lambda: {1: 2},
            lambda: [1, "x"],
            lambda: [1, 2.5],
            lambda: [1, 2**31],
            lambda: [1, None],
            lambda: (x for x in (1, 2.5)),
            lambda: {1: 2}.items(),
            lambda: zip([1], [2]),
        ],
        ids=[
            "str", "bytes", "int", "None", "dict", "str_item", "float_item", "big_item",
            "None_item", "bad_generator", "dict_items", "zip",
        ],
    )
    def test_refused_values_leave_the_list_unchanged(
        self, cls: type, field: str, make: Callable[[], Any]
    ) -> None:
        record = cls()
        setattr(record, field, [1, 2, 3])
        assert_refused(record, field, make())
        assert getattr(record, field) == [1, 2, 3]

    @pytest.mark.parametrize("cls, field", LIST_FIELDS, ids=ids(LIST_FIELDS))
    def test_each_read_is_a_fresh_list(self, cls: type, field: str) -> None:
        record = cls()
        setattr(record, field, (3, 4))
        first, second = getattr(record, field), getattr(record, field)
        assert first == second == [3, 4]
        assert first is not second
        first.append(7)
        assert getattr(record, field) == [3, 4]

    @pytest.mark.parametrize("cls, field", LIST_FIELDS, ids=ids(LIST_FIELDS))
    def test_assigned_list_is_copied(self, cls: type, field: str) -> None:
        record = cls()
        values = [1, 2]
        setattr(record, field, values)
        values.append(3)
        assert getattr(record, field) == [1, 2]


class TestRootValues:
    def test_float_items_read_back_at_32_bit_precision(self) -> None:
        result = ve.BatchSearchResult()
        result.root_values = [0.1, 2, 1e39, -1e39, Real()]
        assert result.root_values == [f32(0.1), 2.0, math.inf, -math.inf, 0.25]
        assert all(type(value) is float for value in result.root_values)

    @pytest.mark.parametrize(
        "make, stored",
        [
            (lambda: (0.5, 1.5), [0.5, 1.5]),
            (lambda: (x / 2 for x in range(3)), [0.0, 0.5, 1.0]),
            (lambda: [], []),
        ],
        ids=["tuple", "generator", "empty"],
    )
    def test_accepted_sequences(self, make: Callable[[], Any], stored: list[float]) -> None:
        result = ve.BatchSearchResult()
        result.root_values = make()
        assert result.root_values == stored

    @pytest.mark.parametrize(
        "value", ["0.5", b"1", 0.5, None, [0.5, "x"], [[0.5]], [0.5, None]],
        ids=["str", "bytes", "float", "None", "str_item", "nested", "None_item"],
    )
    def test_refused_values_leave_the_field_unchanged(self, value: Any) -> None:
        result = ve.BatchSearchResult()
        assert_refused(result, "root_values", value)
        result.root_values = [0.25, 0.5]
        assert_refused(result, "root_values", value)
        assert result.root_values == [0.25, 0.5]

    def test_other_fields_are_independent(self) -> None:
        result = ve.BatchSearchResult()
        result.best_actions = [4, 5]
        result.num_simulations = 9
        result.root_values = [1.0, 2.0]
        assert (result.best_actions, result.num_simulations) == ([4, 5], 9)
