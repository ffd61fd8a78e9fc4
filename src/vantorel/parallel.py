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

import importlib
import itertools
from collections.abc import Iterable
from typing import Any, NamedTuple

from . import Engine, Outcome

# The compiled module, whose private functions do the work (they have no stubs).
_core = importlib.import_module("vantorel._core")

__all__ = ["Partial", "scan", "merge", "finish"]

_OUT_OF_POOL = 5  # index of "out_of_pool" among the reasons


class Partial(NamedTuple):
    """Stage 1 over part of a stream, as plain picklable objects."""

    capacity: int  # the pool capacity M
    keep: int | None  # rejections kept: all (None) or at most this many
    input_count: int
    counts: list[int]  # one counter per reason, in reason order
    scorers: list[tuple[int, int, int]]  # calls, missing, elapsed_nanos per axis
    pool: list[tuple[int, int | str, Any, list[float | None], int]]  # key bits, id, candidate, scores, row; best first
    rejected: list[tuple[Any, int | str, int, str | None, int]]  # candidate, id, reason index, detail, row
    error: BaseException | None  # the stream's first error


def scan(engine: Engine, candidates: Iterable[Any]) -> Partial:
    """Stage 1 of ``engine`` over one partition: the partial result."""
    return Partial(*_core._scan(engine, candidates))


def _order(entry: tuple[int, int | str, Any, list[float | None], int]) -> tuple[int, bool, int | str]:
    # Best first: the higher key by the total order on its bits, then the
    # smaller id (numbers before texts; texts by code point, which is the
    # order of their UTF-8 bytes).
    bits, ident = entry[0], entry[1]
    ordered = (bits ^ 0xFFFFFFFF) if bits & 0x80000000 else (bits | 0x80000000)
    return (-ordered, isinstance(ident, str), ident)


def merge(partials: Iterable[Partial]) -> Partial:
    """One partial for several, in partition order."""
    parts = list(partials)
    if not parts:
        raise ValueError("합칠 부분 결과가 없다")
    first = parts[0]
    if any((p.capacity, p.keep, len(p.scorers)) != (first.capacity, first.keep, len(first.scorers)) for p in parts):
        raise ValueError("부분 결과들이 같은 엔진 설정에서 나오지 않았다")
    # A stable sort of the pools one after another (each already best
    # first, which the sort takes advantage of): equal entries keep
    # partition order.
    ordered = sorted(itertools.chain.from_iterable(p.pool for p in parts), key=_order)
    pool, pushed_out = ordered[: first.capacity], ordered[first.capacity :]
    counts = [sum(c) for c in zip(*(p.counts for p in parts))]
    counts[_OUT_OF_POOL] += len(pushed_out)
    rejected = [r for p in parts for r in p.rejected]
    if first.keep is not None:
        del rejected[first.keep :]
        del pushed_out[max(0, first.keep - len(rejected)) :]
    rejected += [(candidate, ident, _OUT_OF_POOL, None, row) for _, ident, candidate, _, row in pushed_out]
    scorers = [
        (sum(r[0] for r in rows), sum(r[1] for r in rows), sum(r[2] for r in rows))
        for rows in zip(*(p.scorers for p in parts))
    ]
    error = next((p.error for p in parts if p.error is not None), None)
    input_count = sum(p.input_count for p in parts)
    return Partial(first.capacity, first.keep, input_count, counts, scorers, pool, rejected, error)


def finish(engine: Engine, partial: Partial) -> Outcome:
    """Stage 2 of ``engine`` over a (merged) partial: the run's Outcome.

    Raises what ``engine.run`` would have raised at the end of the stream:
    the engine's error, else the partial's error, else a scorer's error."""
    outcome: Outcome = _core._finish(engine, partial)
    return outcome
