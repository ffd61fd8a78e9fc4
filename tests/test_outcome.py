"""Outcome, Ranked and Rejected: class surface, the dicts of a run's result,
reprs, is_complete, and the lifetime of the objects they hold."""

import gc
import json
import sys
import weakref

import pytest

import vantorel
from vantorel import Outcome, Ranked, Rejected


# ---------------------------------------------------------------- runs


def engine(*, fusion="max", k=1, retention=None, **axes):
    e = vantorel.Engine()
    for name, options in (axes or {"a": {}}).items():
        e.scorer(name, **options)
    e.fuse(fusion)
    e.budget_top_k(k)
    if retention:
        policy, n = retention
        e.rejections(policy, n=n)
    return e


def items(*scores):
    """Candidates 0, 1, 2, ... with the given values of axis a."""
    return [{"id": i, "scores": {"a": s}} for i, s in enumerate(scores)]


@pytest.mark.parametrize(
    "retention, kept",
    [(None, 3), (("keep", None), 3), (("count", None), 0), (("sample", 0), 0), (("sample", 1), 1), (("sample", 9), 3)],
)
def test_fresh_outcome_is_complete_under_every_retention(retention, kept):
    out = engine(retention=retention).run(items(0.5, 0.25, 0.75, None))
    assert out.is_complete() is True
    assert sum(out.rejected_counts.values()) + len(out.ranked) == out.trace["input_count"] == 4
    assert len(out.rejected) == kept


def test_is_complete_reads_the_dicts_at_call_time():
    out = engine().run(items(0.5, 0.25))
    out.trace["input_count"] = 3
    assert out.is_complete() is False
    out.rejected_counts["extra"] = 1  # every value counts, whatever its key
    assert out.is_complete() is True
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


def test_is_complete_does_not_wrap_around():
    out = engine().run(items(0.5, 0.25))
    out.rejected_counts["outranked"] = 2**64 - 1
    out.rejected_counts["not_scored"] = 2
    out.trace["input_count"] = 2  # 1 ranked + (2**64 + 1) rejected, not 2 modulo 2**64
    assert out.is_complete() is False


@pytest.mark.parametrize(
    "exact, shown",
    [(True, "Some(true)"), (False, "Some(false)"), ("yes", "None"), (1, "None"), (0, "None"), (None, "None")],
)
def test_outcome_repr_shows_only_a_bool_exact(exact, shown):
    out = engine().run(items(0.5, 0.25, 0.125))
    assert repr(out) == "Outcome(ranked=1, rejected=2, exact=Some(true))"
    out.selection["exact"] = exact
    assert repr(out) == f"Outcome(ranked=1, rejected=2, exact={shown})"
    del out.selection["exact"]
    assert repr(out) == "Outcome(ranked=1, rejected=2, exact=None)"


def test_attribute_identity():
    out = engine(k=2).run(items(0.5, 0.25, 0.125))
    first, second = out.ranked, out.ranked
    assert first is not second and first == second
    assert all(a is b for a, b in zip(first, second))
    assert out.rejected is not out.rejected
    assert out.rejected[0] is out.rejected[0]
    for name in ("trace", "selection", "rejected_counts"):
        assert getattr(out, name) is getattr(out, name)
    r = out.ranked[0]
    assert r.scores is r.scores and r.fusion is r.fusion
    assert r.constraints is not r.constraints
    assert r.to_json() == r.to_json()


def test_parts_made_on_first_use_come_from_the_run():
    cands = items(0.5, 0.25, 0.125)
    expected = engine(k=2).run(cands).ranked[0].to_json()
    out = engine(k=2).run(cands)
    r = out.ranked[0]
    r.scores.clear(), r.fusion.clear()
    assert r.to_json() == expected
    refs = sys.getrefcount(cands[2])
    out = engine(k=2).run(cands)
    assert sys.getrefcount(cands[2]) == refs + 1  # held by the unread rejection
    del out
    assert sys.getrefcount(cands[2]) == refs


def test_attributes_are_read_only():
    out = engine().run(items(0.5, 0.25))
    targets = [(out, "trace"), (out.ranked[0], "rank"), (out.rejected[0], "reason")]
    for obj, name in targets:
        with pytest.raises(AttributeError):
            setattr(obj, name, None)
        with pytest.raises(AttributeError):
            delattr(obj, name)
        with pytest.raises(AttributeError):
            obj.other = 1


def test_ranked_and_rejected_fields():
    cands = [{"id": 42, "scores": {"a": 0.1}}, {"id": "x", "scores": {"a": 0.05}}]
    out = engine().run(cands)
    (r,) = out.ranked
    assert (r.id, r.rank, r.fused) == ("42", 1, 0.10000000149011612)
    assert r.candidate is cands[0]
    assert r.scores == {"a": 0.10000000149011612}
    assert r.constraints == []
    assert repr(r) == "Ranked(rank=1, id=42, fused=0.1)"
    assert json.loads(r.to_json())["candidate"] == "42"
    (j,) = out.rejected
    assert (j.id, j.reason, j.detail) == ("x", "outranked", None)
    assert j.candidate is cands[1]
    assert j.fused == 0.05000000074505806
    assert repr(j) == "Rejected(id=x, reason=outranked)"


def test_rejected_detail_and_missing_fused():
    e = engine(k=5)
    e.unary_min("a", 0.5, id="floor")
    out = e.run([{"id": 1, "scores": {"a": 0.25}}, {"id": 3, "scores": {"a": 0.75}}])
    (j,) = out.rejected
    assert (j.id, j.reason, j.detail, j.fused) == ("1", "unary_constraint", "floor", None)
    assert [r.id for r in out.ranked] == ["3"]

    e = engine(k=5)
    e.missing("reject")
    out = e.run([{"id": 2}, {"id": 3, "scores": {"a": 0.75}}])
    (j,) = out.rejected
    assert (j.id, j.reason, j.detail, j.fused) == ("2", "not_scored", "a", None)


def test_rejected_counts_keys_are_always_all_six():
    out = engine(k=5).run(items(0.5))
    assert list(out.rejected_counts.items()) == [
        ("not_scored", 0),
        ("unary_constraint", 0),
        ("set_constraint", 0),
        ("below_threshold", 0),
        ("outranked", 0),
        ("out_of_pool", 0),
    ]
    assert out.rejected == []


def test_selection_and_trace_dicts():
    out = engine(k=1).run(items(0.5, 0.25))
    sel = out.selection
    assert list(sel) == ["exact", "guarantee", "pool_size", "pool_exhausted", "cut_margin"]
    assert sel["exact"] is True and sel["guarantee"] is None and sel["pool_exhausted"] is False
    assert sel["pool_size"] == 2 and type(sel["pool_size"]) is int
    assert sel["cut_margin"] == 0.25
    trace = out.trace
    assert list(trace) == ["input_count", "pool_capacity", "admission_scorer", "scorers", "budget"]
    assert trace["input_count"] == 2 and trace["pool_capacity"] == 32
    assert trace["admission_scorer"] is None and trace["budget"] is None
    (row,) = trace["scorers"]
    assert list(row) == ["scorer", "calls", "missing", "elapsed_nanos", "cost"]
    assert (row["scorer"], row["calls"], row["missing"], row["cost"]) == ("a", 2, 0, "cheap")
    assert type(row["elapsed_nanos"]) is int and row["elapsed_nanos"] >= 0


def test_trace_names_the_declared_cost_of_each_axis():
    e = engine(fusion="rrf", k=2, a={}, b={"cost": "expensive", "fn": lambda pool: [0.5] * len(pool)})
    out = e.run(items(0.5, 0.25, 0.125))
    assert [(row["scorer"], row["cost"]) for row in out.trace["scorers"]] == [("a", "cheap"), ("b", "expensive")]
    assert out.trace["admission_scorer"] == "a"


def test_budget_trace_of_a_tail_mass_budget():
    e = engine()
    e.budget_tail_mass(0.1, 3)
    out = e.run(items(0.5, 0.25))
    budget = out.trace["budget"]
    assert list(budget) == ["s", "fit_quality", "fallback", "reason", "derived_k"]
    assert type(budget["s"]) is float and type(budget["fit_quality"]) is float
    assert budget["fallback"] is True and budget["reason"] == "too_few_samples"
    assert budget["derived_k"] == 3


def test_fusion_dicts():
    rrf = engine(fusion="rrf", k=1, a={}, b={}).run([{"id": 1, "scores": {"a": 0.5}}, {"id": 2, "scores": [0.25, 0.75]}])
    fusion = rrf.ranked[0].fusion
    assert list(fusion) == ["method", "k", "missing_policy", "terms"]
    assert (fusion["method"], fusion["k"], fusion["missing_policy"]) == ("rrf", 60.0, "skip")
    terms = {t["scorer"]: t for t in fusion["terms"]}
    ranked_id = rrf.ranked[0].id
    assert ranked_id == "2"  # 1/61 + 1/62 beats 1/61
    assert list(terms["a"]) == ["scorer", "input", "value", "weight", "contribution"]
    assert (terms["a"]["input"], terms["a"]["value"], terms["a"]["weight"]) == ("rank", 2.0, 1.0)
    assert type(terms["a"]["value"]) is float

    ws = engine(fusion="weighted_sum", k=1, a={}, b={})
    ws.missing("impute", value=0.5)
    out = ws.run([{"id": 1, "scores": {"a": 0.25}}])
    fusion = out.ranked[0].fusion
    assert list(fusion) == ["method", "missing_policy", "terms"]  # no "k" at all, not None
    assert fusion["method"] == "weighted_sum" and fusion["missing_policy"] == "impute"
    a, b = fusion["terms"]
    assert (a["input"], a["value"], a["weight"]) == ("value", 0.25, 0.5)
    assert (b["input"], b["value"]) == ("imputed", 0.5)
    assert out.ranked[0].scores == {"a": 0.25, "b": None}

    skip = engine(fusion="max", k=1, a={}, b={}).run([{"id": 1, "scores": {"b": 0.25}}])
    a, b = skip.ranked[0].fusion["terms"]
    assert (a["input"], a["value"], a["weight"], a["contribution"]) == ("skipped", None, 0.0, 0.0)


def test_constraints_list_names_the_passed_set_constraints():
    e = engine(k=1)
    e.max_per_group("lang", 1, id="per_lang")
    e.max_total(1, id="cap")
    out = e.run([{"id": 1, "scores": {"a": 0.5}, "groups": {"lang": "ko"}}])
    assert out.ranked[0].constraints == ["per_lang", "cap"]


# ---------------------------------------------------------------- lifetime


def test_objects_are_collectable_and_release_their_candidates():
    class Sentinel:
        pass

    s = Sentinel()
    cands = [{"id": i, "scores": {"a": 0.1 * i}, "s": s} for i in range(5)]
    before = sys.getrefcount(s), [sys.getrefcount(c) for c in cands]
    for _ in range(50):
        out = engine(k=2).run(cands)
        assert gc.is_tracked(out) and gc.is_tracked(out.ranked[0]) and gc.is_tracked(out.rejected[0])
        repr(out), out.is_complete(), out.ranked[0].to_json(), out.rejected[0].candidate
        del out
    assert (sys.getrefcount(s), [sys.getrefcount(c) for c in cands]) == before


@pytest.mark.parametrize("where", ["ranked", "rejected", "trace"])
def test_cycles_through_a_result_are_reclaimed(where):
    class Sentinel:
        pass

    s = Sentinel()
    alive = weakref.ref(s)
    cand = {"id": 1, "scores": {"a": 0.5 if where != "rejected" else 0.1}, "s": s}
    other = {"id": 2, "scores": {"a": 0.3}}
    out = engine(k=1).run([cand, other])
    if where == "trace":
        out.trace["me"] = out
        out.trace["s"] = s
    else:
        cand["back"] = out
    del s, cand, other, out
    gc.collect()
    assert alive() is None
