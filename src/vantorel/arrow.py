"""An outcome as Arrow columns, read by any Arrow reader without copying.

``ranked(outcome)`` and ``rejected(outcome)`` return an ``Export``, which
exports the Arrow PyCapsule interface (``__arrow_c_stream__`` and
``__arrow_c_schema__``): ``pyarrow.table(x)``, ``polars.DataFrame(x)`` and
other Arrow readers take it, and none of them is a dependency. The columns
are built from the run's own records each time they are exported; no
``Ranked`` or ``Rejected`` object and no candidate dict is made for them.

ranked, one row per chosen candidate in rank order:
    id           uint64 when every id of the outcome (ranked and kept
                 rejections) is a number, else utf8 (the display text)
    rank         uint32
    fused        float32, the run's own bits
    <axis>       float32, nullable: one column per axis in registration order,
                 named by the axis, null where the candidate had no value
    constraints  list<utf8>: the set constraints the candidate passed
    row          uint64

rejected, one row per rejection the retention policy kept:
    id           as above
    reason       dictionary<int8, utf8>: the reason's name
    detail       utf8, nullable: the axis or constraint the reason names
    fused        float32, nullable: the fused score, when it got that far
    row          uint64

``row`` is the candidate's position in the input, counted from 0: the index
of the item the iterator yielded (skipped items counted too) or the row of the
table across its batches, so ``table.take(columns["row"])`` or
``[items[i] for i in columns["row"]]`` joins the columns back to the input.
In an outcome of ``vantorel.parallel`` rows count within the candidate's
partition.
"""

from __future__ import annotations

import importlib
from typing import Literal

from . import Outcome

# The compiled module, whose private functions do the work (they have no stubs).
_core = importlib.import_module("vantorel._core")

__all__ = ["Export", "ranked", "rejected"]

_BATCH_ROWS = 65_536  # rows per exported record batch


class Export:
    """The ranked or the rejected part of an Outcome as Arrow record batches."""

    __slots__ = ("_outcome", "_part")

    def __init__(self, outcome: Outcome, part: Literal["ranked", "rejected"]) -> None:
        if not isinstance(outcome, Outcome):
            raise TypeError(f"Outcome 이어야 한다. 받은 값 {type(outcome).__name__}")
        if part not in ("ranked", "rejected"):
            raise ValueError("내보낼 부분은 'ranked' 나 'rejected' 여야 한다")
        self._outcome = outcome
        self._part = part

    def __arrow_c_schema__(self) -> object:
        """The schema, in a PyCapsule named "arrow_schema"."""
        schema: object = _core._arrow_schema(self._outcome, self._part)
        return schema

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """The rows, in a PyCapsule named "arrow_array_stream" (``requested_schema`` is not used)."""
        stream: object = _core._arrow_stream(self._outcome, self._part, _BATCH_ROWS)
        return stream

    def __repr__(self) -> str:
        return f"vantorel.arrow.{self._part}({self._outcome!r})"


def ranked(outcome: Outcome) -> Export:
    """The ranked candidates of ``outcome`` as Arrow columns (see the module's docstring)."""
    return Export(outcome, "ranked")


def rejected(outcome: Outcome) -> Export:
    """The kept rejections of ``outcome`` as Arrow columns (see the module's docstring)."""
    return Export(outcome, "rejected")
