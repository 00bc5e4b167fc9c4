"""The conversion rules every entry point of the toolkit shares.

- Values of any source (numpy arrays, lists, scalars, pandas Series and Index,
  pyarrow arrays) become a numpy array and a mask of missing entries: `values`.
  Decimals become float64, times of day durations since midnight; values of
  no usable kind (nested, binary, mixed) raise Unconvertible, which says
  why, and `unusable_type` tells as much from a column's type alone.
- Times become int64 in a graph's unit: `to_graph_time`. datetime64 of any
  unit, timezone-aware timestamps (taken at their UTC instant) and dates are
  accepted. An integer is a time only in a stated unit: a calendar year, a
  yyyymmdd date or a count since 1970 (`as_time`), or the bare integers of a
  graph whose every time is one. Text, durations, booleans and fractional
  numbers are refused; NaT, NaN and nulls are refused unless the caller says
  what a missing time means. Durations (windows) become int64 by
  `graph_duration`.
- Whole numbers (node indices, counts, offsets) become int64: `whole_numbers`.
  Floats must be integral; NaN, infinity, booleans and text are refused.
- Key values are looked up exactly, by one rule for building a graph and for
  every later query: `KeyIndex`.

Every refusal is a ValueError whose message starts with what was being
converted (a table and column, or the argument), so that the caller sees
where the fault is.
"""

from __future__ import annotations

import datetime as dt
import decimal
from collections.abc import Sequence

import numpy as np

INT64_MIN = np.iinfo(np.int64).min
INT64_MAX = np.iinfo(np.int64).max

# Nanoseconds per unit, for the graph's unit and for datetime64 units.
NANOSECONDS = {"D": 86_400 * 10**9, "h": 3_600 * 10**9, "m": 60 * 10**9, "s": 10**9, "ms": 10**6,
               "us": 10**3, "ns": 1}
GRAPH_UNITS = ("s", "ms", "us", "ns")

# The units in which an integer may be stated to be a time: the calendar year,
# a yyyymmdd date, or a count since 1970-01-01 UTC.
CALENDAR_UNITS = ("year", "yyyymmdd")
INTEGER_UNITS = CALENDAR_UNITS + ("D",) + GRAPH_UNITS
# How a graph's times read: instants on the common calendar (from datetimes,
# or integers in a stated unit), or bare integers of the user's own clock.
EPOCH_CLOCK, GRAPH_CLOCK = "epoch", "integer"
CLOCKS = (EPOCH_CLOCK, GRAPH_CLOCK)

# What a missing time may be declared to mean.
MISSING_TIME = {"never": INT64_MAX, "always": INT64_MIN}


# ---- values of any source -------------------------------------------------------

class Unconvertible(ValueError):
    """Values of no kind the toolkit uses; `reason` says what they are."""

    def __init__(self, what: str, reason: str) -> None:
        super().__init__(f"{what + ' holds ' if what else ''}{reason}, which cannot be used")
        self.reason = reason


def unusable_type(source) -> str | None:
    """Why a column of this type can never be used (nested, binary, null,
    interval or complex values), from its type alone; None if it may be."""
    arrow_type = getattr(source, "type", None) if type(source).__module__.split(".")[0] == "pyarrow" else None
    dtype = getattr(source, "dtype", None)
    if arrow_type is None and type(dtype).__name__ == "ArrowDtype":
        arrow_type = dtype.pyarrow_dtype
    if arrow_type is not None:
        import pyarrow as pa

        kind = arrow_type.value_type if pa.types.is_dictionary(arrow_type) else arrow_type
        if pa.types.is_nested(kind):
            return f"nested values ({kind})"
        if pa.types.is_binary(kind) or pa.types.is_large_binary(kind) or pa.types.is_fixed_size_binary(kind) \
                or getattr(pa.types, "is_binary_view", lambda _: False)(kind):
            return f"binary values ({kind})"
        if pa.types.is_null(kind):
            return "no values (its type is null)"
        if pa.types.is_interval(kind) and kind != pa.month_day_nano_interval():
            return f"calendar intervals ({kind})"
        return None
    if isinstance(dtype, np.dtype):
        if dtype.kind == "V":
            return f"structured values ({dtype})"
        if dtype.kind == "c":
            return f"complex numbers ({dtype})"
        if dtype.kind == "S":
            return f"binary values ({dtype})"
    elif dtype is not None and type(dtype).__name__ in ("PeriodDtype", "IntervalDtype", "SparseDtype"):
        return f"{dtype} values"
    return None


def values(source, what: str) -> tuple[np.ndarray, np.ndarray | None]:
    """(numpy array, mask of missing entries or None) of a column or array-like.

    Timezone-aware timestamps become naive datetime64 at their UTC instant."""
    module = type(source).__module__.split(".")[0]
    if module == "pandas":
        if not hasattr(source, "dtype"):  # a scalar such as a Timestamp
            import pandas as pd

            source = pd.Series([source])
        return _pandas_values(source, what)
    if module == "pyarrow":
        return _arrow_values(source, what)
    if module == "polars":
        return _arrow_values(source.to_arrow(), what)
    array = np.asarray(source)
    if array.dtype == object:
        return _object_values(array, what)
    reason = unusable_type(array)
    if reason is not None:
        raise Unconvertible(what, reason)
    return array, _nan_mask(array)


def _nan_mask(array: np.ndarray) -> np.ndarray | None:
    if array.dtype.kind == "f":
        mask = np.isnan(array)
    elif array.dtype.kind in "mM":
        mask = np.isnat(array)
    else:
        return None
    return mask if mask.any() else None


def _pandas_values(series, what: str = "") -> tuple[np.ndarray, np.ndarray | None]:
    import pandas as pd

    if isinstance(series, pd.DataFrame):
        raise ValueError("expected one column, got a DataFrame")
    dtype = series.dtype
    if isinstance(dtype, pd.DatetimeTZDtype):
        series = series.tz_convert("UTC").tz_localize(None) if isinstance(series, pd.Index) \
            else series.dt.tz_convert("UTC").dt.tz_localize(None)
    missing = np.asarray(pd.isna(series))
    missing = missing if missing.any() else None
    reason = unusable_type(series)
    if reason is not None:
        raise Unconvertible(what, reason)
    if isinstance(series.dtype, pd.ArrowDtype):
        import pyarrow as pa

        values, _ = _arrow_values(pa.array(series), what)
        return values, missing
    if isinstance(series.dtype, pd.CategoricalDtype):
        series = series.astype(object)
    kind = series.dtype.kind
    # Nullable integers and booleans: the gaps are filled so the rest keeps its kind.
    if missing is not None and kind in "iu":
        return series.to_numpy(dtype=np.int64, na_value=0), missing
    if missing is not None and kind == "b":
        return series.to_numpy(dtype=bool, na_value=False), missing
    if kind == "f":
        return series.to_numpy(dtype=np.float64, na_value=np.nan), missing
    array = series.to_numpy()
    if array.dtype == object:
        return _object_values(array, what, missing)
    return array, missing


def _arrow_values(array, what: str = "") -> tuple[np.ndarray, np.ndarray | None]:
    import pyarrow as pa
    import pyarrow.compute as pc

    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks() if array.num_chunks != 1 else array.chunk(0)
    kind = array.type
    if pa.types.is_dictionary(kind):
        array, kind = array.cast(kind.value_type), kind.value_type
    reason = unusable_type(array)
    if reason is not None:
        raise Unconvertible(what, reason)
    if pa.types.is_timestamp(kind) and kind.tz is not None:
        array = array.cast(pa.timestamp(kind.unit))  # the same instants, in UTC
    if pa.types.is_decimal(kind):  # SQL DECIMAL, money above all: numbers to a model
        array, kind = array.cast(pa.float64()), pa.float64()
    if pa.types.is_time(kind):  # a time of day: its duration since midnight
        array, kind = array.cast(pa.int64() if pa.types.is_time64(kind) else pa.int32()).cast(pa.int64()) \
            .cast(pa.duration(kind.unit)), pa.duration(kind.unit)
    if kind == pa.month_day_nano_interval():
        array, kind = _interval_durations(array), pa.duration("ns")
    missing = None
    if array.null_count:
        missing = np.asarray(array.is_null())
        if pa.types.is_integer(kind) or pa.types.is_boolean(kind):
            # Filled so that the rest keeps its kind; the mask says where the gaps were.
            array = pc.fill_null(array, pa.scalar(False if pa.types.is_boolean(kind) else 0, kind))
    if pa.types.is_date32(kind):
        return np.asarray(array.cast(pa.int32())).astype("datetime64[D]"), missing
    if pa.types.is_date64(kind):
        return np.asarray(array.cast(pa.int64())).astype("datetime64[ms]"), missing
    result = array.to_numpy(zero_copy_only=False)
    if result.dtype == object:
        return _object_values(result, what, missing)
    if missing is None:
        missing = _nan_mask(result)
    return result, missing


# An SQL INTERVAL's months are taken at the Gregorian calendar's mean length.
_MONTH_NS = 2_629_746 * 10**9


def _interval_durations(array):
    """month_day_nano intervals (SQL INTERVAL) as durations in nanoseconds."""
    import pyarrow as pa

    layout = np.dtype([("months", "<i4"), ("days", "<i4"), ("nanos", "<i8")])
    parts = np.frombuffer(array.buffers()[1], dtype=layout, count=array.offset + len(array))[array.offset:]
    total = parts["months"] * np.int64(_MONTH_NS) + parts["days"] * np.int64(86_400 * 10**9) + parts["nanos"]
    return pa.array(total, pa.duration("ns"), mask=np.asarray(array.is_null()) if array.null_count else None)


def _object_values(array: np.ndarray, what: str, missing: np.ndarray | None = None
                   ) -> tuple[np.ndarray, np.ndarray | None]:
    """Python objects: str, bool, int, float or Decimal, datetime/date/Timestamp,
    timedelta or time of day, with None/NaN/NaT as missing. Every value's type
    is looked at: a column that mixes kinds anywhere is refused, not read by
    its first rows. Without a present value the column is float64, all missing."""
    if missing is None:
        missing = np.fromiter((_is_missing(v) for v in array.ravel()), bool, array.size).reshape(array.shape)
    present = array[~missing] if missing.any() else array.ravel()
    kinds = set(map(type, present))
    if not kinds:
        return np.full(array.shape, np.nan), (missing if missing.any() else None)

    def every(*types) -> bool:
        return all(issubclass(k, types) for k in kinds)

    if every(str):
        out = np.where(missing, "", array).astype(str)
    elif every(dt.timedelta, np.timedelta64):  # before integers: numpy's timedelta64 is one
        out = np.array([np.timedelta64("NaT", "ns") if gap else v.to_timedelta64() if hasattr(v, "to_timedelta64")
                        else np.timedelta64(v) for v, gap in zip(array.ravel(), missing.ravel())])
        out = out.astype("timedelta64[ns]").reshape(array.shape)
    elif any(issubclass(k, np.timedelta64) for k in kinds):
        raise Unconvertible(what, f"values of mixed types ({', '.join(sorted(k.__name__ for k in kinds))})")
    elif every(bool, np.bool_):
        out = np.where(missing, False, array).astype(bool)
    elif every(int, np.integer) and not any(issubclass(k, (bool, np.bool_)) for k in kinds):
        try:
            out = np.where(missing, 0, array).astype(np.int64)
        except OverflowError:
            out = np.where(missing, np.nan, array).astype(np.float64)
    elif every(int, float, np.integer, np.floating, decimal.Decimal):
        out = np.where(missing, np.nan, array).astype(np.float64)
    elif every(dt.time):
        out = np.array([np.timedelta64("NaT", "us") if gap else
                        np.timedelta64(((v.hour * 60 + v.minute) * 60 + v.second) * 10**6 + v.microsecond, "us")
                        for v, gap in zip(array.ravel(), missing.ravel())], dtype="timedelta64[us]")
        out = out.reshape(array.shape)
    elif all(hasattr(k, "isoformat") for k in kinds):  # datetime, date, Timestamp
        out = _datetimes_of_objects(np.where(missing, None, array))
    elif every(bytes, bytearray, memoryview):
        raise Unconvertible(what, "binary values (bytes)")
    elif every(list, tuple, dict, set, np.ndarray):
        raise Unconvertible(what, f"nested values ({', '.join(sorted(k.__name__ for k in kinds))})")
    else:
        raise Unconvertible(what, f"values of mixed types ({', '.join(sorted(k.__name__ for k in kinds))})")
    return out, (missing if missing.any() else None)


def _is_missing(value) -> bool:
    if value is None:
        return True
    try:
        return bool(value != value)  # NaN, NaT
    except (TypeError, ValueError):
        return False


def _datetimes_of_objects(array: np.ndarray) -> np.ndarray:
    try:
        import pandas as pd
    except ImportError:
        pd = None
    if pd is not None:
        return _pandas_values(pd.Series(pd.to_datetime(array.ravel(), utc=True)))[0].reshape(array.shape)
    def utc(value):
        if value is None:
            return np.datetime64("NaT")
        if isinstance(value, dt.datetime) and value.tzinfo is not None:
            value = value.astimezone(dt.timezone.utc).replace(tzinfo=None)
        return np.datetime64(value, "us")

    return np.array([utc(v) for v in array.ravel()], dtype="datetime64[us]").reshape(array.shape)


# ---- times ----------------------------------------------------------------------------

def check_unit(unit: str) -> str:
    if unit not in GRAPH_UNITS:
        raise ValueError(f"time unit {unit!r} is not one of {', '.join(GRAPH_UNITS)}")
    return unit


def to_graph_time(source, unit: str, what: str, *, integers: str | None = None, round_up: bool = False,
                  missing: str | None = None, hint: str = "", integer_hint: str = "") -> np.ndarray:
    """int64 times in `unit` (see the module's rules and graph_time)."""
    array, absent = values(source, what)
    return graph_time(array, absent, unit, what, integers=integers, round_up=round_up, missing=missing, hint=hint,
                      integer_hint=integer_hint)


def graph_time(array: np.ndarray, absent: np.ndarray | None, unit: str, what: str, *, integers: str | None = None,
               round_up: bool = False, missing: str | None = None, hint: str = "",
               integer_hint: str = "", first_row: int = 0) -> np.ndarray:
    """int64 times in `unit` of values (with their mask of missing entries).

    An integer is a time only in a stated unit: `integers` is one of
    INTEGER_UNITS (converted like the datetimes they stand for), GRAPH_CLOCK
    (taken as they are, in a graph whose times are bare integers) or None
    (refused; integer_hint ends the message and says how to state one).
    A datetime finer than the unit is rounded down, or up with round_up: event
    times round up and query times down, so that no event is ever counted as
    seen before it happened. missing is None (refuse NaT/NaN/null), "never"
    (INT64_MAX) or "always" (INT64_MIN); hint ends the message that refuses
    a missing time. first_row is the row of the first entry, for a chunk of a
    longer column: the messages name rows of the column."""
    kind = array.dtype.kind
    if kind in "iuf":
        if integers is None:
            raise ValueError(f"{what} holds integers, which are times only in a stated unit{integer_hint}")
        whole = _whole_times(array, absent, what, first_row)
        if integers == GRAPH_CLOCK:
            result = whole
        else:
            result = _rescale(_integers_as_datetimes(whole, absent, integers, what, first_row), unit, what, round_up)
    elif kind == "M":
        result = _rescale(array, unit, what, round_up)
    elif kind == "m":
        raise ValueError(f"{what} holds durations (timedelta), not times")
    elif kind in "US":
        raise ValueError(f"{what} holds text, not times: parse it first (for example with pandas.to_datetime)")
    else:
        raise ValueError(f"{what} holds {array.dtype} values, not times")
    if absent is not None:
        if missing is None:
            row = int(np.flatnonzero(absent.ravel())[0])
            raise ValueError(f"{what} has a missing time (NaT, NaN or null) at row {first_row + row}{hint}")
        if missing not in MISSING_TIME:
            raise ValueError(f"{what}: a missing time may mean 'never' or 'always', not {missing!r}")
        result = np.where(absent, MISSING_TIME[missing], result)
    return np.ascontiguousarray(result, dtype=np.int64)


def _whole_times(array: np.ndarray, absent: np.ndarray | None, what: str, first_row: int = 0) -> np.ndarray:
    """Integer or integral float times as int64 (missing entries 0)."""
    if array.dtype.kind == "u" and array.size and array.max() > INT64_MAX:
        raise ValueError(f"{what}: time {array.max()} does not fit in int64")
    if array.dtype.kind != "f":
        return array.astype(np.int64)
    if np.isinf(array).any():
        raise ValueError(f"{what}: infinite time at row {first_row + int(np.flatnonzero(np.isinf(array).ravel())[0])}")
    filled = np.where(np.isnan(array), 0.0, array)
    bad = (filled != np.floor(filled)) | (np.abs(filled) >= 2.0**63)
    if bad.any():
        raise ValueError(f"{what}: {filled.ravel()[np.flatnonzero(bad.ravel())[0]]} is not an integral time")
    return filled.astype(np.int64)


def check_clock(kind: str, clock: str | None, what: str, *, stated: bool = False, how: str = "") -> None:
    """Refuses times of the other kind than a graph's clock: integers without
    a stated unit on a graph of instants, datetimes on a graph of bare
    integer times (kind is the values' dtype kind; how says how to state a
    unit). A clock of None (an older graph, or one without times) takes both."""
    if clock == EPOCH_CLOCK and kind in "iuf" and not stated:
        raise ValueError(f"{what} are integers, which are times only in a stated unit, and this graph's times are "
                         f"datetimes: give datetimes, or state the integers' unit{how} (for example 'year', "
                         f"'yyyymmdd', or 's' since 1970)")
    if clock == GRAPH_CLOCK and kind == "M":
        raise ValueError(f"{what} are datetimes, but this graph's times are bare integers (integer time columns "
                         f"without a unit): give integers of the same clock, or state the columns' unit "
                         f"(Table(time_units=...)) so that the graph's times are instants")


def check_integer_unit(unit: str, what: str = "time unit") -> str:
    if unit not in INTEGER_UNITS:
        raise ValueError(f"{what} {unit!r} is not one of {', '.join(INTEGER_UNITS)} (the calendar year, a "
                         f"yyyymmdd date, or days, seconds, ... since 1970-01-01 UTC)")
    return unit


def _integers_as_datetimes(whole: np.ndarray, absent: np.ndarray | None, unit: str, what: str,
                           first_row: int = 0) -> np.ndarray:
    """datetime64 of int64 times in a stated unit (missing entries NaT)."""
    check_integer_unit(unit)
    present = np.ones(whole.shape, bool) if absent is None else ~absent
    given = whole[present]
    if unit == "year":
        outside = (given < 1) | (given > 9999)
        if outside.any():
            raise ValueError(f"{what}: {given[outside][0]} is not a year (1 to 9999){_LOOKS_LIKE_DAYS}")
        result = (np.where(present, whole, 1970) - 1970).astype("datetime64[Y]").astype("datetime64[D]")
    elif unit == "yyyymmdd":
        filled = np.where(present, whole, 19700101)
        year, month, day = filled // 10000, filled // 100 % 100, filled % 100
        result = ((year - 1970).astype("datetime64[Y]").astype("datetime64[M]")
                  + np.clip(month - 1, 0, 11).astype("timedelta64[M]")).astype("datetime64[D]") \
            + (day - 1).astype("timedelta64[D]")
        back = result.astype("datetime64[M]")
        wrong = (year < 1) | (year > 9999) | (month < 1) | (month > 12) | (day < 1) | \
            ((back.astype("datetime64[Y]").astype(np.int64) + 1970) * 100 + back.astype(np.int64) % 12 + 1
             != year * 100 + month)
        if wrong.any():
            row = int(np.flatnonzero(wrong.ravel())[0])
            raise ValueError(f"{what}: {filled.ravel()[row]} at row {first_row + row} is not a yyyymmdd date")
    else:
        result = whole.astype(f"datetime64[{unit}]")
    if absent is not None:
        result = np.where(absent, np.array("NaT", result.dtype), result)
    return result


_LOOKS_LIKE_DAYS = "; a yyyymmdd date is declared as 'yyyymmdd'"


def as_time(source, unit: str, what: str = "times") -> np.ndarray:
    """datetime64 of integers in a stated unit, which every entry point then
    takes as the instants they are: "year" (1 January of it), "yyyymmdd"
    (that day), or a count of "D", "s", "ms", "us" or "ns" since 1970-01-01
    UTC. Missing values become NaT."""
    array, absent = values(source, what)
    if array.dtype.kind not in "iuf":
        raise ValueError(f"{what}: as_time converts integers, not {array.dtype} values")
    return _integers_as_datetimes(_whole_times(array, absent, what), absent, unit, what)


def graph_duration(array: np.ndarray, absent: np.ndarray | None, unit: str, what: str, *,
                   integers: bool) -> np.ndarray:
    """int64 durations in `unit` (missing entries 0): durations (timedelta)
    that are whole numbers of the unit, or integers where they are taken in
    the graph's unit (integers=True: a graph of bare integer times)."""
    kind = array.dtype.kind
    if kind == "m":
        if not integers:
            source_unit, count = np.datetime_data(array.dtype)
            if source_unit not in NANOSECONDS:
                raise ValueError(f"{what}: durations in {source_unit} have no fixed length")
            raw = np.where(absent, 0, array.view(np.int64)) if absent is not None else array.view(np.int64)
            nanoseconds = raw.astype(object) * (NANOSECONDS[source_unit] * count)
            step = NANOSECONDS[unit]
            uneven = [v for v in nanoseconds.ravel() if v % step]
            if uneven:
                raise ValueError(f"{what}: {np.timedelta64(int(uneven[0]), 'ns')} is not a whole number of {unit}")
            return (nanoseconds // step).astype(np.int64)
        raise ValueError(f"{what} holds durations, but the graph's times are bare integers: give integers")
    if kind in "iufb" and integers:
        filled = np.where(absent, 0, array) if absent is not None else array
        return whole_numbers(filled, what, noun="offset")
    if kind in "iuf":
        raise ValueError(f"{what} holds integers, which are durations only in a stated unit: give "
                         f"numpy.timedelta64, pandas.Timedelta or datetime.timedelta values, such as "
                         f"numpy.timedelta64(-30, 'D')")
    raise ValueError(f"{what} must hold durations, not {array.dtype} values")


def _rescale(array: np.ndarray, unit: str, what: str, round_up: bool) -> np.ndarray:
    source_unit, count = np.datetime_data(array.dtype)
    if source_unit not in NANOSECONDS:
        array = array.astype("datetime64[s]")
        source_unit, count = "s", 1
    step = NANOSECONDS[source_unit] * count
    target = NANOSECONDS[unit]
    raw = array.view(np.int64)
    absent = np.isnat(array)
    if absent.any():
        raw = np.where(absent, 0, raw)
    del absent
    if step >= target:
        factor = step // target
        limit = INT64_MAX // factor
        if raw.size and (raw.max() > limit or raw.min() < -limit):
            raise ValueError(f"{what}: a time does not fit in int64 in unit {unit}")
        return raw * factor
    divisor = target // step
    return -((-raw) // divisor) if round_up else raw // divisor


def per_day(unit: str) -> int:
    """Units of `unit` in one day."""
    return NANOSECONDS["D"] // NANOSECONDS[unit]


# ---- node indices ------------------------------------------------------------------------

def whole_numbers(source, what: str, *, noun: str = "number", first_row: int = 0) -> np.ndarray:
    """int64 whole numbers (node indices, counts, hops, offsets): integers, or
    floats that are integral. A fraction, infinity, a missing value (NaN,
    NaT, null), booleans and text are refused rather than truncated."""
    array, absent = values(source, what)
    if absent is not None:
        raise ValueError(f"{what} has a missing value at position {first_row + int(np.flatnonzero(absent.ravel())[0])}")
    kind = array.dtype.kind
    if kind == "f":
        flat = array.reshape(-1)  # a 1-D view: a scalar's 0-d mask takes no assignment
        bad = ~np.isfinite(flat) | (np.abs(flat) >= 2.0**63)
        bad[~bad] = flat[~bad] != np.floor(flat[~bad])
        if bad.any():
            position = int(np.flatnonzero(bad)[0])
            raise ValueError(f"{what}: {flat[position]} at position {first_row + position} is not an "
                             f"integral {noun}")
        return array.astype(np.int64)
    if kind == "u" and array.size and array.max() > INT64_MAX:
        raise ValueError(f"{what}: {array.max()} does not fit in int64")
    if kind not in "iu":
        raise ValueError(f"{what} must hold integers ({noun}s), not {array.dtype} values")
    result = array.astype(np.int64, copy=False)  # not ascontiguousarray, which would make a scalar 1-D
    return result if result.flags.c_contiguous else result.copy()


def to_node_index(source, what: str) -> np.ndarray:
    """int64 node indices by the rule of whole_numbers."""
    return whole_numbers(source, what, noun="node index")


# ---- keys ------------------------------------------------------------------------------

def key_values(source, what: str, first_row: int = 0) -> tuple[np.ndarray, np.ndarray | None]:
    """A key column in its comparable form: int64 (integers, integral floats,
    booleans; datetimes as int64 nanoseconds) or str. A fractional float is
    refused: as a key it would match nothing, or the wrong row."""
    array, absent = values(source, what)
    kind = array.dtype.kind
    if kind == "M":
        return to_graph_time(np.where(absent, np.array("NaT", array.dtype), array) if absent is not None else array,
                             "ns", what, missing="always"), absent
    if kind in "iub":
        return array.astype(np.int64), absent
    if kind == "f":  # whole floats (an integer column with gaps, say) are integer keys; fractions no key
        filled = np.where(absent, 0.0, array) if absent is not None else array
        return whole_numbers(filled, what, noun="key", first_row=first_row), absent
    if kind in "US":
        return array.astype(str), absent
    raise ValueError(f"{what}: {array.dtype} values cannot be keys")


def _kind(array: np.ndarray) -> str:
    return {"i": "integer", "f": "number", "U": "text"}[array.dtype.kind]


class KeyIndex:
    """Exact lookup of (possibly composite) key values: the position of the row
    that holds a key, or -1. Built from columns without missing values."""

    # Integer keys spanning at most this many values per key (plus a margin)
    # use a direct table instead of a binary search.
    _DENSE_FACTOR = 4

    def __init__(self, columns: Sequence[np.ndarray], what: str) -> None:
        self.what = what
        self.columns = [np.asarray(c) for c in columns]
        self.size = len(self.columns[0])
        if len(self.columns) == 1:
            self._single = _SingleKey(self.columns[0], what)
        else:
            self._uniques = [np.unique(c) for c in self.columns]
            self._single = _SingleKey(self._combine([np.searchsorted(u, c) for u, c in
                                                     zip(self._uniques, self.columns)]), what,
                                      describe=self._describe)

    @property
    def direct(self) -> bool:
        """Whether lookups read a direct table rather than binary-search: a
        property of the keys' spread that tests and diagnostics ask about."""
        return self._single.dense is not None

    @staticmethod
    def distinct(columns: Sequence[np.ndarray]) -> np.ndarray:
        """Positions of the first occurrence of each distinct key among the rows of these columns."""
        if len(columns) == 1:
            return np.unique(columns[0], return_index=True)[1]
        codes = [np.unique(c, return_inverse=True)[1].ravel() for c in columns]
        return np.unique(np.stack(codes, axis=1), axis=0, return_index=True)[1]

    def _describe(self, position: int) -> str:
        return "(" + ", ".join(repr(c[position].item()) for c in self.columns) + ")"

    def _combine(self, codes: Sequence[np.ndarray]) -> np.ndarray:
        combined = np.zeros(len(codes[0]), dtype=np.int64)
        width = 1
        for unique, code in zip(self._uniques, codes):
            width *= max(len(unique), 1)
            if width >= 2**62:
                raise ValueError(f"{self.what}: the composite key has too many distinct combinations")
            combined = combined * max(len(unique), 1) + code
        return combined

    def lookup(self, columns: Sequence[np.ndarray], what: str) -> np.ndarray:
        """Row positions of the given keys (-1 where absent)."""
        if len(columns) != len(self.columns):
            raise ValueError(f"{what}: {len(columns)} key columns for a key of {len(self.columns)}")
        for mine, theirs in zip(self.columns, columns):
            if len(mine) and len(theirs) and _kind(mine) != _kind(theirs) and \
                    {_kind(mine), _kind(theirs)} != {"integer", "number"}:
                raise ValueError(f"{what}: {_kind(theirs)} values cannot match the {_kind(mine)} key of {self.what}")
        if len(self.columns) == 1:
            return self._single.lookup(columns[0])
        found = np.ones(len(columns[0]), dtype=bool)
        codes = []
        for unique, column in zip(self._uniques, columns):
            position = np.minimum(np.searchsorted(unique, column), max(len(unique) - 1, 0))
            found &= unique[position] == column if len(unique) else False
            codes.append(position)
        result = self._single.lookup(self._combine(codes))
        result[~found] = -1
        return result


class _SingleKey:
    def __init__(self, keys: np.ndarray, what: str, describe=None) -> None:
        self.keys = keys
        self.dense = None
        describe = describe or (lambda position: repr(keys[position].item()))
        if keys.dtype.kind == "i" and keys.size:
            low, high = int(keys.min()), int(keys.max())
            if high - low < KeyIndex._DENSE_FACTOR * keys.size + 1024:
                self.low = low
                index_type = np.int32 if keys.size < 2**31 else np.int64
                self.dense = np.full(high - low + 1, -1, dtype=index_type)
                self.dense[keys - low] = np.arange(keys.size, dtype=index_type)
                if int(np.count_nonzero(self.dense >= 0)) != keys.size:
                    counts = np.bincount(keys - low)
                    position = int(np.flatnonzero(keys == int(np.argmax(counts)) + low)[0])
                    raise ValueError(f"{what} is not unique: {describe(position)} appears {counts.max()} times")
                return
        self.order = np.argsort(keys, kind="stable")
        self.sorted = keys[self.order]
        repeats = np.flatnonzero(self.sorted[1:] == self.sorted[:-1])
        if repeats.size:
            position = int(self.order[repeats[0]])
            raise ValueError(f"{what} is not unique: {describe(position)} appears more than once")

    def lookup(self, queries: np.ndarray) -> np.ndarray:
        if self.dense is not None:
            if queries.dtype.kind != "i":
                whole = np.floor(queries)
                queries = np.where(whole == queries, whole, self.low - 1).astype(np.int64)
            offset = queries - self.low
            outside = (offset < 0) | (offset >= len(self.dense))
            result = self.dense.take(offset, mode="clip")
            del offset
            if outside.any():
                result[outside] = -1
            return result.astype(np.int64, copy=False)
        if not len(self.sorted):
            return np.full(len(queries), -1, dtype=np.int64)
        position = np.minimum(np.searchsorted(self.sorted, queries), len(self.sorted) - 1)
        return np.where(self.sorted[position] == queries, self.order[position], -1).astype(np.int64)
