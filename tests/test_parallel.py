"""Stage 1 per partition on a Dask cluster gives the outcome of one run over
the partitions in order (all but the rejected list's order and the times)."""
import itertools
import os
import pickle
import random
import signal
import struct
import sys
import threading

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
        out.append({"id": ident, "scores": {"a": score(), "b": score(), "c": i % 7 - 3}, "groups": {"g": i % 3},
                    "cost": i % 4, "cover": [f"x{i % 5}", f"y{i % 3}"]})
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
    elif kind == "cover-expensive":
        e.scorer("c", cost="expensive", normalize="sigmoid")
        e.coverage_objective()
        e.max_total(2)
    return e


KINDS = ["rrf-keep", "weighted-count", "callback-sample", "tokens-max", "cover-expensive"]


class Refusal(Exception):
    """An error whose __init__ takes other arguments than its args."""

    def __init__(self, what, times):
        super().__init__(f"{what} x{times}")


def items(indices, parts, marker=None):
    """The candidates of the partitions at `indices`; a "boom..." raises, a
    "kill" ends its worker process the first time it is met."""
    for c in itertools.chain.from_iterable(parts[i] for i in indices):
        if str(c).startswith("boom"):
            raise KeyError(c)
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


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "cuts, booms",
    [
        ([], []),
        ([25], []),
        ([12, 12, 20, 31, 31, 44, 60], []),  # 8 partitions, two empty
        ([20, 40], [30, 50]),  # the iterators of the second and third partitions raise: the first error wins
    ],
)
def test_dask_run_equals_one_run_over_the_partitions_in_order(client, kind, cuts, booms):
    stream = candidates()
    for at in sorted(booms, reverse=True):
        stream.insert(at, f"boom{at}")
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


def test_a_bag_of_no_partitions_gives_the_run_over_no_candidates(client):
    engine = configure("rrf-keep")
    assert digest(vantorel.dask.run(engine, db.from_delayed([]))) == digest(engine.run([]))


@pytest.mark.parametrize("kind", ["rrf-keep", "tokens-max"])
def test_data_frames_and_bags_of_tables_scan_where_they_live(client, kind):
    pa, pd, dd = (pytest.importorskip(name) for name in ("pyarrow", "pandas", "dask.dataframe"))
    frame = pd.DataFrame([
        {"id": i, "a": (i * 37 % 101) / 101, "b": None if i % 7 == 0 else i % 5 / 5, "g": str(i % 3), "cost": i % 4}
        for i in range(60)
    ])
    mapping = dict(scores=["a", "b"], groups=["g"], cost="cost")
    engine = configure(kind)
    expected = digest(engine.run(vantorel.columns(pa.table(frame), **mapping)))
    frames = vantorel.columns(dd.from_pandas(frame, npartitions=3), **mapping)
    tables = db.from_sequence([vantorel.columns(pa.table(frame[i : i + 15]), **mapping) for i in range(0, 60, 15)],
                              npartitions=2)
    assert digest(vantorel.dask.run(engine, frames)) == digest(vantorel.dask.run(engine, tables)) == expected


def reused(stream):
    """The items of `stream` in one dict, changed for every item."""
    d = {}
    for c in stream:
        d.clear()
        d.update(c)
        yield d


@pytest.mark.parametrize("kind", KINDS)
def test_finish_uses_what_the_scan_read(kind):
    engine = configure(kind)
    expected = digest(engine.run(reused(candidates())))
    assert digest(parallel.finish(engine, parallel.scan(engine, reused(candidates())))) == expected


def ours(e, axes="ab", normalize=None, fn=expensive, admission="a", k=3, multiplier=32):
    for name in axes:
        e.scorer(name, normalize=normalize if name == "a" else None)
    e.scorer("e", cost="expensive", fn=fn)
    e.admission(admission)
    e.budget_top_k(k)
    e.pool_multiplier(multiplier)


@pytest.mark.parametrize(
    "changes",
    [{}, {"axes": "ba"}, {"normalize": "sigmoid"}, {"fn": reversed}, {"admission": "b"},
     {"k": 6, "multiplier": 16}],  # the last: the same pool capacity
)
def test_a_partial_finishes_only_on_the_configuration_it_was_scanned_with(changes):
    engine, other = vantorel.Engine(), vantorel.Engine()
    ours(engine)
    other.admission("b")  # replaced: only the configuration reached counts
    ours(other, **changes)
    partial = parallel.scan(engine, candidates())
    if not changes:
        assert digest(parallel.finish(other, partial)) == digest(engine.run(candidates()))
        return
    for refused in [lambda: parallel.finish(other, partial), lambda: parallel.merge([partial, parallel.scan(other, [])])]:
        with pytest.raises(ValueError, match="맞지 않는 항목: 'fingerprint'"):
            refused()


@pytest.mark.parametrize(
    "field, damage",
    [
        ("capacity", 7),
        ("keep", 3),
        ("counts", [1, 2]),
        ("counts", [2**64, 0, 0, 0, 0, 0]),
        ("scorers", [(1, 0, 0.5), (1, 0, 0)]),
        ("pool", [(1, 1, {"id": 1}, [0.5], [None], 0, [], 0)]),
        ("pool", lambda p: p.pool + p.pool[:1]),  # one entry twice
        ("input_count", lambda p: p.input_count + 1),
        ("rejected", [({"id": 1}, 1, 9, None, 0)]),
        ("error", "boom"),
    ],
)
def test_a_damaged_partial_is_refused(field, damage):
    engine = configure("rrf-keep")
    partial = parallel.scan(engine, candidates(4))
    partial = partial._replace(**{field: damage(partial) if callable(damage) else damage})
    with pytest.raises(ValueError, match=f"맞지 않는 항목: '{field}'"):
        parallel.finish(engine, partial)


@pytest.mark.parametrize("field", ["input_count", "counts", "scorers"])
def test_merged_counters_that_would_wrap_are_refused(field):
    partial = parallel.scan(configure("rrf-keep"), candidates(4))
    top = {"input_count": 2**63, "counts": [2**63] * 6, "scorers": [(2**63, 0, 0)] * 2}[field]
    with pytest.raises(ValueError, match=f"맞지 않는 항목: '{field}'"):
        parallel.merge([partial._replace(**{field: top})] * 2)


def locked(error):
    error.lock = threading.Lock()
    return error


@pytest.mark.parametrize("dumps, loads", [(pickle.dumps, pickle.loads), (cloudpickle.dumps, cloudpickle.loads)])
@pytest.mark.parametrize(
    "error, expected",
    [
        (Refusal("boom", 2), Refusal("boom", 2)),
        (locked(KeyError("lost")), RuntimeError("부분 결과의 오류를 옮길 수 없다. builtins.KeyError: 'lost'")),
    ],
)
def test_a_partitions_error_survives_pickling(dumps, loads, error, expected):
    def failing():
        yield from candidates(3)
        raise error

    engine = configure("rrf-keep")
    partial = loads(dumps(parallel.scan(engine, failing())))
    with pytest.raises(type(expected)) as raised:
        parallel.finish(engine, partial)
    assert raised.value.args == expected.args
