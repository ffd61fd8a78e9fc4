"""Stage 1 per partition on a Dask cluster gives the outcome of one run over
the partitions in order (all but the rejected list's order and the times)."""
import itertools
import os
import random
import signal
import struct
import sys

import pytest

import vantorel

distributed = pytest.importorskip("dask.distributed")
import cloudpickle  # noqa: E402  (comes with dask)
import dask.bag as db  # noqa: E402

import vantorel.dask  # noqa: E402
from vantorel import parallel  # noqa: E402

cloudpickle.register_pickle_by_value(sys.modules[__name__])  # the workers cannot import this file


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def candidates(n=60, seed=7):
    rng = random.Random(seed)
    out = []
    for i in range(n):
        score = lambda: rng.choice([None, 0.0, -0.0, 0.5, 1.0, round(rng.random(), 2)])  # noqa: E731
        ident = rng.choice([i, f"t{i}"])  # numbers and texts ("t1" before "t10")
        out.append({"id": ident, "scores": {"a": score(), "b": score()}, "groups": {"g": i % 3}, "cost": i % 4})
    return out


def expensive(batch):
    return [None if c["cost"] == 3 else c["cost"] / 4 for c in batch]


def configure(kind):
    e = vantorel.Engine()
    e.scorer("a")
    e.scorer("b")
    e.budget_top_k(3)
    e.pool_multiplier(2)
    if kind == "rrf-keep":
        e.max_per_group("g", 1)
    elif kind == "weighted-count":
        e.fuse("weighted_sum", weights={"a": 0.7, "b": 0.3})
        e.missing("impute", value=0.25)
        e.unary_min("b", 0.1)
        e.rejections("count")
    elif kind == "callback-sample":
        e.scorer("e", cost="expensive", fn=expensive)
        e.missing("reject")
        e.threshold(0.02)
        e.rejections("sample", n=3)
    elif kind == "tokens-max":
        e.fuse("max")
        e.budget_tokens(5)
        e.require_at_least("g", "1", 1)
    return e


def items(indices, parts, marker=None):
    """The candidates of the partitions at `indices`; a "boom" raises, a
    "kill" ends its worker process the first time it is met."""
    for c in itertools.chain.from_iterable(parts[i] for i in indices):
        if c == "boom":
            raise KeyError("boom")
        if c == "kill":
            if not os.path.exists(marker):
                open(marker, "w").close()
                os.kill(os.getpid(), signal.SIGKILL)
            continue
        yield c


def bits(x):
    return None if x is None else struct.pack("<d", x).hex()


def digest(outcome):
    trace = dict(outcome.trace, scorers=[{**row, "elapsed_nanos": 0} for row in outcome.trace["scorers"]])
    return (
        [(r.id, r.rank, bits(r.fused), r.to_json(), r.candidate) for r in outcome.ranked],
        sorted(repr((r.id, r.reason, r.detail, bits(r.fused), r.candidate)) for r in outcome.rejected),
        outcome.rejected_counts,
        repr(outcome.selection),
        trace,
        outcome.is_complete(),
    )


def outcome_or_error(run):
    try:
        return digest(run())
    except Exception as e:  # the same error, raised at the end of the stream
        return type(e), e.args


def split(stream, cuts):
    bounds = [0, *cuts, len(stream)]
    return [stream[a:b] for a, b in zip(bounds, bounds[1:])]


@pytest.mark.parametrize("kind", ["rrf-keep", "weighted-count", "callback-sample", "tokens-max"])
@pytest.mark.parametrize(
    "cuts, boom",
    [
        ([], False),
        ([25], False),
        ([12, 12, 20, 31, 31, 44, 60], False),  # 8 partitions, two empty
        ([20, 40], True),  # the second partition's iterator raises
    ],
)
def test_dask_run_equals_one_run_over_the_partitions_in_order(client, kind, cuts, boom):
    stream = candidates()
    if boom:
        stream.insert(30, "boom")
    parts = split(stream, cuts)
    engine = configure(kind)
    expected = outcome_or_error(lambda: engine.run(items(range(len(parts)), parts)))
    bag = db.from_sequence(range(len(parts)), npartitions=len(parts)).map_partitions(items, parts)
    assert outcome_or_error(lambda: vantorel.dask.run(engine, bag, split_every=3)) == expected


def test_a_worker_killed_while_it_scans_is_replaced_exactly(client, tmp_path):
    stream = candidates(seed=11)
    parts = split(stream[:20] + ["kill"] + stream[20:], [10, 40])
    engine = configure("rrf-keep")
    bag = db.from_sequence(range(3), npartitions=3).map_partitions(items, parts, str(tmp_path / "killed"))
    assert digest(vantorel.dask.run(engine, bag)) == digest(engine.run(stream))
    assert (tmp_path / "killed").exists()


@pytest.mark.parametrize(
    "field, value",
    [
        ("capacity", 7),
        ("keep", 3),
        ("counts", [1, 2]),
        ("scorers", [(1, 0, 0.5), (1, 0, 0)]),
        ("pool", [(1, 1, {"id": 1}, [0.5], 0)]),
        ("rejected", [({"id": 1}, 1, 9, None, 0)]),
        ("error", "boom"),
    ],
)
def test_a_damaged_partial_is_refused(field, value):
    engine = configure("rrf-keep")
    partial = parallel.scan(engine, candidates())._replace(**{field: value})
    with pytest.raises(ValueError, match=f"'{field}'"):
        parallel.finish(engine, partial)
