"""Outcome, Ranked and Rejected: their dicts, reprs, is_complete and the lifetime of what they hold."""

import gc
import sys
import time
import weakref

import pytest

import vantorel

def engine(*, fusion="max", k=1, axes="a"):
    e = vantorel.Engine()
    for name in axes:
        e.scorer(name)
    e.fuse(fusion)
    e.budget_top_k(k)
    return e

def items(*scores):
    return [{"id": i, "scores": {"a": s}} for i, s in enumerate(scores)]

@pytest.mark.parametrize("retention, kept", [
    (("keep", None), 3), (("count", None), 0), (("sample", 0), 0), (("sample", 1), 1), (("sample", 9), 3),
])
def test_fresh_outcome_is_complete_under_every_retention(retention, kept):
    e = engine()
    e.rejections(retention[0], n=retention[1])
    out = e.run(items(0.5, 0.25, 0.75, None))
    assert out.is_complete() is True
    assert sum(out.rejected_counts.values()) + len(out.ranked) == out.trace["input_count"] == 4
    assert len(out.rejected) == kept

def test_is_complete_reads_the_dicts_at_call_time():
    out = engine().run(items(0.5, 0.25))
    out.trace["input_count"] = 3
    assert out.is_complete() is False
    out.rejected_counts["extra"] = 1  # every value counts, whatever its key
    assert out.is_complete() is True
    out.rejected_counts["extra"] = 2**64 - 1  # 1 ranked + 2**64 rejected is 1 only modulo 2**64
    out.trace["input_count"] = 1
    assert out.is_complete() is False
    out.rejected_counts["extra"] = "1"
    with pytest.raises(TypeError):
        out.is_complete()
    del out.rejected_counts["extra"]
    out.trace["input_count"] = -2
    with pytest.raises(OverflowError):
        out.is_complete()
    del out.trace["input_count"]
    with pytest.raises(vantorel.EngineError) as info:
        out.is_complete()
    assert str(info.value) == "기록에 input_count 가 없다"

@pytest.mark.parametrize("exact, shown", [
    (True, "Some(true)"), (False, "Some(false)"), ("yes", "None"), (1, "None"), (0, "None"), (None, "None"),
])
def test_outcome_repr_shows_only_a_bool_exact(exact, shown):
    out = engine().run(items(0.5, 0.25, 0.125))
    out.selection["exact"] = exact
    assert repr(out) == f"Outcome(ranked=1, rejected=2, exact={shown})"
    del out.selection["exact"]
    assert repr(out) == "Outcome(ranked=1, rejected=2, exact=None)"

def test_attribute_identity_and_read_only():
    out = engine(k=2).run(items(0.5, 0.25, 0.125))
    first, second = out.ranked, out.ranked
    assert first is not second and all(a is b for a, b in zip(first, second, strict=True))
    assert out.rejected is not out.rejected and out.rejected[0] is out.rejected[0]
    for name in ("trace", "selection", "rejected_counts"):
        assert getattr(out, name) is getattr(out, name)
    r = out.ranked[0]
    assert r.scores is r.scores and r.fusion is r.fusion and r.constraints is not r.constraints
    for obj, name in [(out, "trace"), (r, "rank"), (out.rejected[0], "reason")]:
        for change in (lambda: setattr(obj, name, 1), lambda: delattr(obj, name),
                       lambda: setattr(obj, "x", 1)):
            with pytest.raises(AttributeError):
                change()

def test_parts_made_on_first_use_come_from_the_run():
    expected = engine(k=2).run(items(0.5, 0.25, 0.125)).ranked[0].to_json()
    r = engine(k=2).run(items(0.5, 0.25, 0.125)).ranked[0]
    r.scores.clear(), r.fusion.clear()
    assert r.to_json() == expected

def test_ranked_and_rejected_fields():
    e = engine(axes="ab", k=2)
    e.missing("reject")
    e.unary_min("a", 0.01, id="floor")
    e.max_per_group("lang", 1, id="per_lang")
    e.max_total(5, id="cap")
    rows = [(42, 0.1, "ko"), (7, 0.08, "ko"), ("x", 0.05, None), ("y", 0.04, None), (3, 0.005, None)]
    cands = [{"id": i, "scores": [s, s], "groups": {"lang": g}} for i, s, g in rows]
    cands.append({"id": 2, "scores": [0.5]})
    out = e.run(cands)
    r = out.ranked[0]
    assert (r.id, r.rank, r.fused, r.constraints) == ("42", 1, 0.10000000149011612, ["per_lang", "cap"])
    assert r.scores == {"a": r.fused, "b": r.fused} and r.candidate is cands[0]
    assert repr(r) == "Ranked(rank=1, id=42, fused=0.1)"
    assert [(j.id, j.reason, j.detail, j.fused) for j in out.rejected] == [
        ("3", "unary_constraint", "floor", None),
        ("2", "not_scored", "b", None),
        ("7", "set_constraint", "per_lang", 0.07999999821186066),
        ("y", "outranked", None, 0.03999999910593033),
    ]
    assert out.rejected[3].candidate is cands[3]
    assert repr(out.rejected[3]) == "Rejected(id=y, reason=outranked)"
    counts = [("not_scored", 1), ("unary_constraint", 1), ("set_constraint", 1), ("below_threshold", 0)]
    assert list(out.rejected_counts.items()) == counts + [("outranked", 1), ("out_of_pool", 0)]

def test_selection_and_trace_dicts():
    e = engine()
    e.scorer("b", cost="expensive", fn=lambda pool: [0.1] * len(pool))
    e.admission("a")
    out = e.run(items(0.5, 0.25))
    sel = out.selection
    assert list(sel) == ["exact", "guarantee", "pool_size", "pool_exhausted", "cut_margin"]
    assert list(sel.values()) == [True, None, 2, False, 0.25] and type(sel["pool_size"]) is int
    trace = out.trace
    assert list(trace) == ["input_count", "pool_capacity", "admission_scorer", "scorers", "budget"]
    assert (trace["input_count"], trace["pool_capacity"], trace["admission_scorer"]) == (2, 32, "a")
    assert trace["budget"] is None
    a, b = trace["scorers"]
    assert list(a) == ["scorer", "calls", "missing", "elapsed_nanos", "cost"]
    rows = [("a", 2, 0, "cheap"), ("b", 2, 0, "expensive")]
    assert [(t["scorer"], t["calls"], t["missing"], t["cost"]) for t in (a, b)] == rows
    assert type(a["elapsed_nanos"]) is int
    e.budget_tail_mass(0.1, 3)
    budget = e.run(items(0.5, 0.25)).trace["budget"]
    assert list(budget) == ["s", "fit_quality", "fallback", "reason", "derived_k"]
    assert type(budget["s"]) is float and type(budget["fit_quality"]) is float
    assert (budget["fallback"], budget["reason"], budget["derived_k"]) == (True, "too_few_samples", 3)

def test_scorer_times_count_every_call_on_their_own_axis():
    """A cheap axis is timed on the first candidate and every 64th after it, and the sample is scaled to
    all its calls: a timed read spans a clock read, over a nanosecond anywhere (a coarse clock may still
    show one read as 0, hence ten short runs). The expensive batch's sleep counts on its axis alone."""
    e = engine(axes="ab")
    e.scorer("c", cost="expensive", fn=lambda pool: time.sleep(0.005) or [0.5] * len(pool))
    e.rejections("count")

    def times(n):
        out = e.run({"id": i, "scores": [0.5, 0.25]} for i in range(n))
        return [row["elapsed_nanos"] for row in out.trace["scorers"]]

    short = [times(2) for _ in range(10)]
    assert all(a + b < 5_000_000 <= c for a, b, c in short)
    assert all(sum(axis) > 0 for axis in zip(*short))
    assert min(times(6400)) >= 6400

GEOMETRIC, LINEAR = [0.7**i for i in range(20)], [(20 - i) / 20 for i in range(20)]

@pytest.mark.parametrize("scores, epsilon, min_fit, budget", [
    (LINEAR, 0.1, 0.9, (0.523705244064331, 0.914390504360199, False, None, 17)),
    (GEOMETRIC, 0.3, 0.5, (1.3536633253097534, 0.893460214138031, False, None, 4)),
    (GEOMETRIC, 0.1, 0.9, (1.3536633253097534, 0.893460214138031, True, "poor_fit", 3)),
    (LINEAR[:-1] + [-0.5], 0.1, 0.0, (0.0, 0.0, True, "not_a_mass_distribution", 3)),
])
def test_tail_mass_budget_fits_the_ranked_scores(scores, epsilon, min_fit, budget):
    """Curves unlike a Zipf law, streamed worst first: the fit reads the fused scores best first (the
    values were computed apart from the engine), a poor fit keeps its fields, and K selects."""
    e = engine()
    e.budget_tail_mass(epsilon, 3)
    e.min_fit(min_fit)
    out = e.run(items(*reversed(scores)))
    assert tuple(out.trace["budget"].values()) == budget
    assert len(out.ranked) == budget[-1]

def test_fusion_dicts():
    rrf = engine(fusion="rrf", axes="ab").run([{"id": 1, "scores": [0.5]}, {"id": 2, "scores": [0.25, 0.75]}])
    fusion = rrf.ranked[0].fusion
    assert list(fusion) == ["method", "k", "missing_policy", "terms"]
    assert (fusion["method"], fusion["k"], fusion["missing_policy"]) == ("rrf", 60.0, "skip")
    a = fusion["terms"][0]
    assert list(a) == ["scorer", "input", "value", "weight", "contribution"]
    assert (a["scorer"], a["input"], a["value"], a["weight"]) == ("a", "rank", 2.0, 1.0)
    assert type(a["value"]) is float
    ws = engine(fusion="weighted_sum", axes="ab")
    ws.missing("impute", value=0.5)
    fusion = ws.run([{"id": 1, "scores": {"a": 0.25}}]).ranked[0].fusion
    assert list(fusion) == ["method", "missing_policy", "terms"]  # no "k" at all, not None
    assert (fusion["method"], fusion["missing_policy"]) == ("weighted_sum", "impute")
    terms = [(t["input"], t["value"], t["weight"]) for t in fusion["terms"]]
    assert terms == [("value", 0.25, 0.5), ("imputed", 0.5, 0.5)]
    a, b = engine(axes="ab").run([{"id": 1, "scores": {"b": 0.25}}]).ranked[0].fusion["terms"]
    assert a == {"scorer": "a", "input": "skipped", "value": None, "weight": 0.0, "contribution": 0.0}

def test_objects_release_their_candidates():
    cands = items(0.5, 0.25, 0.125)
    refs = lambda: [sys.getrefcount(c) for c in cands]
    before = refs()
    for _ in range(50):
        out = engine(k=2).run(cands)
        held = refs()  # each by its Ranked or Rejected, read or not
        r, j = out.ranked[0], out.rejected[0]
        repr(out), out.is_complete(), r.to_json(), r.candidate, j.candidate
        del out, r, j
    after = refs()
    assert (held, after) == ([n + 1 for n in before], before)

@pytest.mark.parametrize("where", ["ranked", "rejected", "trace"])
def test_cycles_through_a_result_are_reclaimed(where):
    s = type("Sentinel", (), {})()
    alive = weakref.ref(s)
    cand = {"id": 1, "scores": {"a": 0.5 if where != "rejected" else 0.1}, "s": s}
    out = engine().run([cand, {"id": 2, "scores": {"a": 0.3}}])
    if where == "trace":
        out.trace["me"], out.trace["s"] = out, s
    else:
        cand["back"] = out
    del s, cand, out
    gc.collect()
    assert alive() is None
