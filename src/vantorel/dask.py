"""Engine runs over Dask collections: stage 1 on the workers, stage 2 on the client.

Needs Dask (``pip install '.[dask]'`` from a checkout)."""

from __future__ import annotations

import itertools
from typing import Any

import dask.bag

from . import Columns, Engine, Outcome, parallel

__all__ = ["run"]


def _exports_arrow(data: Any) -> bool:
    kind = type(data)
    return any(hasattr(kind, name) for name in ("__arrow_c_stream__", "__arrow_c_array__", "__vantorel_columns__"))


def _scan(part: Any, engine: Engine, mapping: tuple[Any, ...] | None) -> list[parallel.Partial]:
    # One partial per partition, so that no partition of the partials is
    # empty (a reduction leaves empty partitions out).
    if mapping is not None:
        part = Columns(part, mapping)
    if _exports_arrow(part):  # a data frame's partition
        return [parallel.scan(engine, part)]
    items = iter(part)
    first = next(items, None)
    if first is not None and _exports_arrow(first):  # a partition of tables, each scanned in turn
        return [parallel.merge(parallel.scan(engine, table) for table in itertools.chain([first], items))]
    return [parallel.scan(engine, items if first is None else itertools.chain([first], items))]


def run(engine: Engine, data: Any, *, split_every: int | None = None) -> Outcome:
    """``engine.run`` over a Dask collection, exactly as over its partitions in order.

    ``data`` is a ``dask.bag.Bag`` of candidate dicts or of Arrow tables, a
    Dask data frame, or ``vantorel.columns(...)`` over a Dask data frame.
    Each partition is scanned (stage 1) where it lives, the partials are
    merged by a tree reduction (``split_every`` partials at a time, 8 by
    default) and stage 2 runs here; see ``vantorel.parallel`` for what may
    differ from one pass over the partitions in order."""
    mapping = None
    if isinstance(data, Columns):
        data, mapping = data.data, data.__vantorel_columns__()[1:]
    bag = data if isinstance(data, dask.bag.Bag) else dask.bag.from_delayed(data.to_delayed())
    if bag.npartitions == 0:  # nothing to reduce: the run over no candidates
        return parallel.finish(engine, parallel.scan(engine, ()))
    partials = bag.map_partitions(_scan, engine, mapping)
    merged = partials.reduction(parallel.merge, parallel.merge, split_every=split_every)
    return parallel.finish(engine, merged.compute())
