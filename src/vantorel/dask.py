"""Engine runs over a Dask bag: stage 1 on the workers, stage 2 on the client.

Needs Dask (``pip install vantorel[dask]``)."""

from __future__ import annotations

from typing import Any

import dask.bag

from . import Engine, Outcome, parallel

__all__ = ["run"]


def _scan(candidates: Any, engine: Engine) -> list[parallel.Partial]:
    # One partial per partition, so that no partition of the partials is
    # empty (a reduction leaves empty partitions out).
    return [parallel.scan(engine, candidates)]


def run(engine: Engine, bag: dask.bag.Bag, *, split_every: int | None = None) -> Outcome:
    """``engine.run`` over the candidate dicts of ``bag``, exactly.

    Each partition is scanned (stage 1) where it lives, the partials are
    merged by a tree reduction (``split_every`` partials at a time, 8 by
    default) and stage 2 runs here; see ``vantorel.parallel`` for what may
    differ from one pass over the partitions in order."""
    if bag.npartitions == 0:  # nothing to reduce: the run over no candidates
        return parallel.finish(engine, parallel.scan(engine, ()))
    partials = bag.map_partitions(_scan, engine)
    merged = partials.reduction(parallel.merge, parallel.merge, split_every=split_every)
    return parallel.finish(engine, merged.compute())
