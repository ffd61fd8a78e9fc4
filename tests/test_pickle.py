"""Pickling: an Engine keeps its whole configuration (callbacks by reference)
and runs as the original; results come back equal field by field."""

import copy
import pickle

import pytest

import vantorel
from vantorel import _core


def model(pool):
    return [c["m"] for c in pool]


def configured():
    e = vantorel.Engine()
    e.scorer("a", scale="unbounded", normalize="minmax", normalize_range=(-0.0, 0.7))
    e.scorer("b", scale="rank", normalize="sigmoid")
    e.scorer("m", cost="expensive", fn=model, normalize="clamp01")
    e.fuse("weighted_sum", weights=[("a", 0.3), ("m", 2.0), ("a", -1.0)])
    e.missing("impute", value=0.1)
    e.max_per_group("g", 2, id="per_g")
    e.max_total(6)
    e.require_at_least("g", "x", 1, id="need_x")
    e.unary_min("b", -5.0)
    e.coverage_objective()
    e.budget_tail_mass(0.2, 5)
    e.admission("a")
    e.pool_multiplier(3)
    e.threshold(0.01)
    e.min_fit(0.5)
    e.rejections("sample", n=7)
    return e


CANDIDATES = [
    {"id": i, "scores": [i % 7 / 10, i % 5], "m": (i * 37 % 11) / 11, "groups": {"g": "xy"[i % 3 % 2]},
     "cover": [str(i % 4)]}
    for i in range(40)
]


def fields(outcome):
    """Everything an outcome shows, the scorers' times left out."""
    trace = dict(outcome.trace, scorers=[dict(s, elapsed_nanos=0) for s in outcome.trace["scorers"]])
    ranked = [(r.id, r.rank, r.fused, r.scores, r.fusion, r.constraints, r.candidate, r.to_json(), repr(r))
              for r in outcome.ranked]
    rejected = [(r.id, r.reason, r.detail, r.fused, r.candidate, repr(r)) for r in outcome.rejected]
    return ranked, rejected, outcome.rejected_counts, outcome.selection, trace, repr(outcome), outcome.is_complete()


@pytest.mark.parametrize("roundtrip", [lambda o: pickle.loads(pickle.dumps(o)), copy.deepcopy, copy.copy])
def test_engine_round_trip_keeps_configuration_and_outcome(roundtrip):
    engine = configured()
    again = roundtrip(engine)
    assert type(again) is vantorel.Engine and repr(again) == repr(engine)
    assert pickle.dumps(again) == pickle.dumps(engine)
    assert fields(again.run(CANDIDATES)) == fields(engine.run(CANDIDATES))
    assert pickle.dumps(vantorel.Engine()) != pickle.dumps(engine)


@pytest.mark.parametrize("policy", ["keep", "count"])
def test_results_round_trip(policy):
    engine = configured()
    engine.rejections(policy)
    outcome = engine.run(CANDIDATES)
    assert fields(pickle.loads(pickle.dumps(outcome))) == fields(outcome)
    for one in outcome.ranked + outcome.rejected:
        again = pickle.loads(pickle.dumps(one))
        assert type(again) is type(one) and again.__reduce__()[1] == one.__reduce__()[1]


@pytest.mark.parametrize(
    "restore, args, exc",
    [
        (_core._engine, ([("run", ([],), {})],), ValueError),
        (_core._engine, ([("scorer", ("a",), {"scale": "bogus"})],), ValueError),
        (_core._engine, ("calls",), TypeError),
        (_core._rejected, ("1", "bogus", None, None, None), ValueError),
        (_core._rejected, ("1", "outranked", 3, None, None), TypeError),
        (_core._ranked, ("1", -1, 0.5, {}, {}, [], None, "{}"), OverflowError),
        (_core._ranked, ("1", 1, 0.5, {}, {}, [1], None, "{}"), TypeError),
        (_core._outcome, ([object()], [], {}, {}, {}), TypeError),
        (_core._outcome, ([], None, {}, {}, {}), TypeError),
    ],
)
def test_damaged_pickles_are_refused(restore, args, exc):
    with pytest.raises(exc):
        restore(*args)
