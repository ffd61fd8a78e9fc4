"""Stage 1 per partition, merged exactly, stage 2 once.

The stage-1 pool is the best M candidates under a total order (admission key,
then identifier) and every candidate's admission key depends on that
candidate alone, so pools computed over the parts of a stream and merged
hold the same M candidates as one pass over the whole stream. The three
functions below are all a distributed engine needs: ``scan`` each partition
where it lives, ``merge`` the partials (associative, so a tree reduction
works), ``finish`` on the driver.

The outcome equals ``engine.run`` over the partitions concatenated in order,
except for the order of the rejected list, the elapsed times, which of several
candidates with equal admission key and equal identifier the pool keeps and
in which order, the stream index named in the note of a malformed item's
error and the ``row`` of each candidate in ``vantorel.arrow``'s columns
(both counted within the candidate's partition),
and, under ``rejections("sample", n=n)``, which n rejections are kept: the
first n of the partitions' stage-1 rejections in partition order, then the
candidates pushed out of the pool by a merge, then those of stage 2.
"""

from __future__ import annotations

import hashlib
import importlib
import itertools
from collections.abc import Iterable
from typing import Any, NamedTuple, NoReturn

from . import Engine, Outcome

try:  # carries classes defined in __main__ by value, as distributed engines do
    import cloudpickle as _pickle  # type: ignore[import-untyped]
except ImportError:  # pragma: no cover
    import pickle as _pickle

# The compiled module, whose private functions do the work (they have no stubs).
_core = importlib.import_module("vantorel._core")

__all__ = ["Partial", "scan", "merge", "finish"]

_OUT_OF_POOL = 5  # index of "out_of_pool" among the reasons
_COUNT_END = 2**64  # counters are unsigned 64-bit numbers


class Partial(NamedTuple):
    """Stage 1 over part of a stream, as plain picklable objects."""

    fingerprint: bytes  # of the engine's configuration
    capacity: int  # the pool capacity M
    keep: int | None  # rejections kept: all (None) or at most this many
    input_count: int  # the pooled candidates plus the counters
    counts: list[int]  # one counter per reason, in reason order
    scorers: list[tuple[int, int, int]]  # calls, missing, elapsed_nanos per axis
    # Best first: key bits, id, candidate, then what stage 1 read of it:
    # scores (one per axis), groups (one per group-key entry), cost, cover;
    # and its row, the position in the partition's stream.
    pool: list[tuple[int, int | str, Any, list[float | None], list[str | None], int, list[str], int]]
    rejected: list[tuple[Any, int | str, int, str | None, int]]  # candidate, id, reason index, detail, row
    error: BaseException | None  # the stream's first error

    def __reduce__(self) -> tuple[Any, ...]:
        fields = list(self)
        if self.error is not None:
            fields[-1] = _portable(self.error)
        return (Partial, tuple(fields))


def _portable(error: BaseException) -> Any:
    """What pickles in place of a partition's error: the error itself when it
    comes back as its class, else a copy made without calling ``__init__``
    (whose parameters need not be the error's args), else a RuntimeError
    naming the error."""
    for form in (error, _Rebuilt(error)):
        try:
            if type(_pickle.loads(_pickle.dumps(form))) is type(error):
                return form
        except Exception:  # any failure to pickle or to load
            continue
    name = f"{type(error).__module__}.{type(error).__qualname__}"
    return RuntimeError(f"부분 결과의 오류를 옮길 수 없다. {name}: {error}")


class _Rebuilt:
    def __init__(self, error: BaseException) -> None:
        self.error = error

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild, (type(self.error), self.error.args, vars(self.error)))


def _rebuild(cls: type[BaseException], args: tuple[Any, ...], state: dict[str, Any]) -> BaseException:
    error = cls.__new__(cls, *args)
    error.args = args
    error.__dict__.update(state)
    return error


def _callable_name(fn: Any) -> str:
    named = fn if hasattr(fn, "__qualname__") else type(fn)
    return f"{named.__module__}.{named.__qualname__}"


def _fingerprint(engine: Engine) -> bytes:
    """The engine's whole configuration, as its pickle records it, each
    callback by its qualified name (the same wherever the engine travels):
    equal configurations give equal fingerprints, different ones different."""
    reduced: Any = engine.__reduce__()  # (the restoring function, (calls,))
    calls = reduced[1][0]
    named = [(name, args, {k: _callable_name(v) if k == "fn" else v for k, v in kwargs.items()})
             for name, args, kwargs in calls]
    return hashlib.sha256(repr(named).encode()).digest()


def _refuse(field: str) -> NoReturn:
    raise ValueError(f"이 엔진의 부분 결과가 아니거나 손상되었다. 맞지 않는 항목: '{field}'")


def scan(engine: Engine, candidates: Iterable[Any]) -> Partial:
    """Stage 1 of ``engine`` over one partition: the partial result."""
    return Partial(_fingerprint(engine), *_core._scan(engine, candidates))


def _order(entry: tuple[Any, ...]) -> tuple[int, bool, int | str]:
    # Best first: the higher key by the total order on its bits, then the
    # smaller id (numbers before texts; texts by code point, which is the
    # order of their UTF-8 bytes).
    bits, ident = entry[0], entry[1]
    ordered = (bits ^ 0xFFFFFFFF) if bits & 0x80000000 else (bits | 0x80000000)
    return (-ordered, isinstance(ident, str), ident)


def _sum(values: Iterable[int], field: str) -> int:
    total = sum(values)
    if total >= _COUNT_END:
        _refuse(field)
    return total


def merge(partials: Iterable[Partial]) -> Partial:
    """One partial for several of the same engine, in partition order."""
    parts = list(partials)
    if not parts:
        raise ValueError("합칠 부분 결과가 없다")
    first = parts[0]
    for field in ("fingerprint", "capacity", "keep"):
        if any(getattr(p, field) != getattr(first, field) for p in parts):
            _refuse(field)
    # A stable sort of the pools one after another (each already best
    # first, which the sort takes advantage of): equal entries keep
    # partition order.
    ordered = sorted(itertools.chain.from_iterable(p.pool for p in parts), key=_order)
    pool, pushed_out = ordered[: first.capacity], ordered[first.capacity :]
    input_count = _sum((p.input_count for p in parts), "input_count")
    counts = [_sum(column, "counts") for column in zip(*(p.counts for p in parts))]
    counts[_OUT_OF_POOL] += len(pushed_out)  # each was counted in input_count
    rejected = [r for p in parts for r in p.rejected]
    if first.keep is not None:
        del rejected[first.keep :]
        del pushed_out[max(0, first.keep - len(rejected)) :]
    rejected += [(entry[2], entry[1], _OUT_OF_POOL, None, entry[7]) for entry in pushed_out]
    scorers: list[tuple[int, int, int]] = []
    for rows in zip(*(p.scorers for p in parts)):  # an axis's rows, one per part
        calls, missing, nanos = (_sum(column, "scorers") for column in zip(*rows))
        scorers.append((calls, missing, nanos))
    error = next((p.error for p in parts if p.error is not None), None)
    return Partial(first.fingerprint, first.capacity, first.keep, input_count, counts, scorers, pool, rejected, error)


def finish(engine: Engine, partial: Partial) -> Outcome:
    """Stage 2 of ``engine`` over a (merged) partial: the run's Outcome.

    Raises what ``engine.run`` would have raised at the end of the stream:
    the engine's error, else the partial's error, else a scorer's error."""
    if not isinstance(partial, Partial):
        _refuse("partial")
    if partial.fingerprint != _fingerprint(engine):
        _refuse("fingerprint")
    outcome: Outcome = _core._finish(engine, partial[1:])
    return outcome
