"""Engine as a configuration record: construction, repr, docstrings, argument
matching and conversion, option checks in their order, borrow rules and the
life of the callbacks it holds."""

import gc
import inspect
import sys
import threading
import time
import weakref

import pytest

from vantorel import Engine


SIGNATURES = {  # in registration order
    "scorer": '(self, /, name, *, scale="unit", cost="cheap", normalize=None, normalize_range=None, fn=None)',
    "fuse": "(self, /, method, *, k=None, weights=None)",
    "missing": "(self, /, policy, *, value=None)",
    "max_per_group": "(self, /, key, max, *, id=None)",
    "max_total": "(self, /, max, *, id=None)",
    "require_at_least": "(self, /, key, value, n, *, id=None)",
    "unary_min": "(self, /, axis, min, *, id=None)",
    "coverage_objective": "(self, /)",
    "budget_top_k": "(self, /, k)",
    "budget_tail_mass": "(self, /, epsilon, fallback_k)",
    "budget_tokens": "(self, /, max)",
    "admission": "(self, /, axis)",
    "pool_multiplier": "(self, /, multiplier)",
    "threshold": "(self, /, value)",
    "min_fit": "(self, /, value)",
    "rejections": "(self, /, policy, *, n=None)",
    "run": "(self, /, candidates)",
}


def one_axis():
    e = Engine()
    e.scorer("a")
    return e


def run_ids(engine, n=3):
    out = engine.run({"id": i, "scores": {"a": i / 10}} for i in range(n))
    return out


# ---------------------------------------------------------------- class


def test_methods_are_registered_in_order():
    names = [n for n in Engine.__dict__ if not n.startswith("__")]
    assert names == list(SIGNATURES)


@pytest.mark.parametrize("name", SIGNATURES)
def test_method_signature(name):
    expected = SIGNATURES[name].replace('"', "'")
    assert str(inspect.signature(getattr(Engine, name))) == expected


# ---------------------------------------------------------------- repr


@pytest.mark.parametrize(
    "setup, expected",
    [
        ([], "Engine(axes=0, fusion=rrf, budget=TopK(10))"),
        ([("fuse", ("weighted_sum",), {"weights": {"a": 2}})], "Engine(axes=0, fusion=weighted_sum, budget=TopK(10))"),
        (
            [("budget_tail_mass", (0.05, 50), {})],
            "Engine(axes=0, fusion=rrf, budget=TailMass { epsilon: 0.05, fallback_k: 50 })",
        ),
        ([("budget_tokens", (4000,), {})], "Engine(axes=0, fusion=rrf, budget=Tokens { max: 4000 })"),
        # Settings that the text does not show.
        (
            [("threshold", (0.5,), {}), ("max_total", (3,), {}), ("rejections", ("count",), {})],
            "Engine(axes=0, fusion=rrf, budget=TopK(10))",
        ),
    ],
)
def test_repr(setup, expected):
    e = Engine()
    for name, args, kwargs in setup:
        getattr(e, name)(*args, **kwargs)
    assert repr(e) == expected


# ---------------------------------------------------------------- accepted calls


# ---------------------------------------------------------------- option checks

MSG_FN = "fn 을 주는 축은 cost='expensive' 여야 한다. 싼 축은 후보 전부에 도므로 파이썬을 부르면 스트리밍의 뜻이 사라진다"
MSG_WEIGHTS = "weights 는 {'축이름': 가중치} 사전이거나 [('축이름', 가중치)] 목록이어야 한다"

REFUSED = [
    # scorer: cost, then normalize, then scale
    ("scorer", ("a",), {"cost": "cheap", "fn": len, "scale": "bogus"}, MSG_FN),
    ("scorer", ("a",), {"scale": "bogus", "cost": "bogus"}, "비용은 'cheap' 또는 'expensive' 여야 한다. 받은 값 'bogus'"),
    (
        "scorer",
        ("a",),
        {"normalize": "minmax", "scale": "bogus"},
        "normalize='minmax' 는 normalize_range=(min, max) 를 함께 받아야 한다",
    ),
    (
        "scorer",
        ("a",),
        {"normalize": "zscore", "scale": "bogus"},
        "정규화기는 'sigmoid', 'clamp01', 'minmax' 중 하나여야 한다. 받은 값 'zscore'",
    ),
    ("scorer", ("a",), {"scale": " unit"}, "척도는 'unit', 'unbounded', 'rank' 중 하나여야 한다. 받은 값 ' unit'"),
    # fuse
    ("fuse", ("sum",), {"weights": "ab"}, "융합은 'rrf', 'weighted_sum', 'max' 중 하나여야 한다. 받은 값 'sum'"),
    ("fuse", ("weighted_sum",), {"weights": "ab"}, MSG_WEIGHTS),
    ("fuse", ("weighted_sum",), {"weights": [["a", 1.0]]}, MSG_WEIGHTS),
    ("fuse", ("weighted_sum",), {"weights": [(1, 1.0)]}, MSG_WEIGHTS),
    ("fuse", ("weighted_sum",), {"weights": {"a", "b"}}, MSG_WEIGHTS),
    # missing
    ("missing", ("impute",), {"value": None}, "missing='impute' 는 value 를 함께 받아야 한다"),
    ("missing", ("drop",), {"value": 1}, "결측 정책은 'skip', 'impute', 'reject' 중 하나여야 한다. 받은 값 'drop'"),
    # rejections
    ("rejections", ("sample",), {}, "rejections='sample' 은 n 을 함께 받아야 한다"),
    ("rejections", ("Sample",), {"n": 1}, "보관 정책은 'keep', 'count', 'sample' 중 하나여야 한다. 받은 값 'Sample'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", REFUSED)
def test_option_errors(name, args, kwargs, message):
    e = Engine()
    with pytest.raises(ValueError) as info:
        getattr(e, name)(*args, **kwargs)
    assert str(info.value) == message
    assert repr(e) == "Engine(axes=0, fusion=rrf, budget=TopK(10))"


# ---------------------------------------------------------------- conversions

CONVERSIONS = [
    ("scorer", (1,), {}, TypeError, "name"),
    ("scorer", ("a",), {"cost": None}, TypeError, "cost"),
    ("scorer", ("a",), {"normalize_range": [0, 1]}, TypeError, "normalize_range"),
    ("scorer", ("a",), {"normalize_range": (0, 1, 2)}, ValueError, "normalize_range"),
    # a bad range is refused even for a normaliser that ignores it
    ("scorer", ("a",), {"normalize": "sigmoid", "normalize_range": (0,)}, ValueError, "normalize_range"),
    ("fuse", (b"rrf",), {}, TypeError, "method"),
    ("missing", ("impute",), {"value": "x"}, TypeError, "value"),
    ("max_per_group", ("lang", -1), {}, OverflowError, "max"),
    ("max_per_group", ("lang", 1), {"id": 3}, TypeError, "id"),
    ("require_at_least", ("lang", 3, 1), {}, TypeError, "value"),
    ("unary_min", ("a", None), {}, TypeError, "min"),
    ("budget_top_k", (2**32,), {}, OverflowError, "k"),
    ("budget_tail_mass", ("x", 1), {}, TypeError, "epsilon"),
    ("admission", (None,), {}, TypeError, "axis"),
    ("pool_multiplier", (1.5,), {}, TypeError, "multiplier"),
    ("min_fit", (10**400,), {}, OverflowError, "value"),
    ("rejections", ("sample",), {"n": -1}, OverflowError, "n"),
    # conversion comes before the option checks
    ("rejections", ("bogus",), {"n": -1}, OverflowError, "n"),
    ("missing", ("bogus",), {"value": "x"}, TypeError, "value"),
]


@pytest.mark.parametrize("name, args, kwargs, exc, param", CONVERSIONS)
def test_conversion_errors_name_the_parameter(name, args, kwargs, exc, param):
    e = Engine()
    with pytest.raises(exc) as info:
        getattr(e, name)(*args, **kwargs)
    assert type(info.value) is exc
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize(
    "call, fragment",
    [
        (lambda e: e.scorer(), "Engine.scorer()"),
        (lambda e: e.fuse("rrf", 60), "Engine.fuse()"),
        (lambda e: e.require_at_least("k", "v", 1, "id"), "Engine.require_at_least()"),
        (lambda e: e.coverage_objective(True), "Engine.coverage_objective()"),
        (lambda e: e.run(), "Engine.run()"),
    ],
)
def test_arity_errors_name_the_method(call, fragment):
    with pytest.raises(TypeError) as info:
        call(Engine())
    assert fragment in str(info.value)
    assert not getattr(info.value, "__notes__", None)


def test_keywords_for_positional_parameters():
    e = Engine()
    e.scorer(name="a")
    e.max_per_group(key="lang", max=1, id="g")
    e.budget_tail_mass(epsilon=0.1, fallback_k=5)
    assert repr(e) == "Engine(axes=1, fusion=rrf, budget=TailMass { epsilon: 0.1, fallback_k: 5 })"


# ---------------------------------------------------------------- weights


def test_weights_dict_key_is_recorded_as_its_str():
    e = Engine()
    e.scorer("1")
    e.scorer("2")
    e.fuse("weighted_sum", weights={1: 3, 2.5: 9})
    e.scorer("2.5")
    terms = e.run([{"id": 0, "scores": [0.25, 0.5, 1.0]}]).ranked[0].fusion["terms"]
    assert [(t["scorer"], t["weight"]) for t in terms] == [("1", 0.25), ("2", 0.0), ("2.5", 0.75)]


def test_weights_are_not_checked_until_run():
    e = one_axis()
    e.fuse("weighted_sum", weights=[("a", 1.0), ("c", 0.0)])
    with pytest.raises(ValueError):
        e.run([])


def test_later_fuse_discards_earlier_weights():
    e = one_axis()
    e.fuse("weighted_sum", weights={"nope": 1})
    e.fuse("max")
    assert e.run([{"id": 1, "scores": [0.5]}]).ranked[0].fusion["method"] == "max"


class Shrinking:
    """A weight whose conversion changes the dict that holds it."""

    def __init__(self, owner):
        self.owner = owner

    def __float__(self):
        self.owner.pop("b", None)
        return 1.0


class Growing:
    def __init__(self, owner):
        self.owner = owner

    def __str__(self):
        self.owner["z"] = 3.0
        return "g"

    def __hash__(self):
        return 1

    def __eq__(self, other):
        return self is other


@pytest.mark.parametrize("mutate", ["shrink", "grow"])
def test_weights_dict_changed_while_read_raises_runtime_error(mutate):
    weights = {}
    if mutate == "shrink":
        weights["a"] = Shrinking(weights)
        weights["b"] = 2.0
    else:
        weights[Growing(weights)] = 1.0
    e = Engine()
    with pytest.raises(RuntimeError) as info:
        e.fuse("weighted_sum", weights=weights)
    assert type(info.value) is RuntimeError
    assert str(info.value) == "dictionary changed size during iteration"
    assert repr(e) == "Engine(axes=0, fusion=rrf, budget=TopK(10))"


# ---------------------------------------------------------------- effects seen by a run


def test_max_total_keeps_only_the_last_cap():
    e = one_axis()
    e.max_total(5)
    e.max_total(3, id="cap")
    out = run_ids(e, 10)
    assert len(out.ranked) == 3
    assert [r.constraints for r in out.ranked] == [["cap"]] * 3


@pytest.mark.parametrize(
    "calls, policy, terms",
    [
        ([("impute", {"value": 0})], "impute", [("value", 0.5), ("imputed", 0.0)]),
        ([("skip", {"value": 3})], "skip", [("value", 0.5), ("skipped", None)]),
        ([("impute", {"value": 0.25}), ("skip", {})], "skip", [("value", 0.5), ("skipped", None)]),
    ],
)
def test_missing_policy(calls, policy, terms):
    e = Engine()
    e.scorer("a")
    e.scorer("b")
    e.fuse("weighted_sum")
    for p, kwargs in calls:
        e.missing(p, **kwargs)
    fusion = e.run([{"id": 1, "scores": [0.5]}]).ranked[0].fusion
    assert fusion["missing_policy"] == policy
    assert [(t["input"], t["value"]) for t in fusion["terms"]] == terms


# ---------------------------------------------------------------- failed calls change nothing


def test_failed_scorer_call_keeps_no_reference_to_fn():
    def fn(xs):
        return [0.0] * len(xs)

    e = Engine()
    before = sys.getrefcount(fn)
    for kwargs in [{"cost": "cheap"}, {"cost": "expensive", "scale": "bogus"}, {"cost": "expensive", "normalize": "x"}]:
        with pytest.raises(ValueError):
            e.scorer("a", fn=fn, **kwargs)
    assert sys.getrefcount(fn) == before
    assert repr(e) == "Engine(axes=0, fusion=rrf, budget=TopK(10))"
    e.scorer("a", cost="expensive", fn=fn)
    assert sys.getrefcount(fn) == before + 1
    del e
    assert sys.getrefcount(fn) == before


# ---------------------------------------------------------------- borrows


def test_configuration_inside_a_run_is_refused_but_reads_are_allowed():
    e = Engine()
    e.scorer("a")
    seen = {}

    def fn(xs):
        if "nested" in seen:  # the nested run calls back too
            return [0.5] * len(xs)
        seen["nested"] = None
        try:
            e.threshold(0.1)
        except RuntimeError as err:
            seen["threshold"] = str(err)
        seen["repr"] = repr(e)
        seen["nested"] = len(e.run([{"id": 9, "scores": [0.1]}]).ranked)
        return [0.5] * len(xs)

    e.scorer("b", cost="expensive", fn=fn)
    out = e.run([{"id": 1, "scores": [0.2]}])
    assert seen["threshold"] == "Already borrowed"
    assert seen["repr"] == "Engine(axes=2, fusion=rrf, budget=TopK(10))"
    assert seen["nested"] == 1
    assert len(out.ranked) == 1
    # the borrow ends with the run, and the refused call changed nothing
    e.threshold(0.1)


def test_argument_conversion_runs_under_the_exclusive_borrow():
    e = Engine()
    seen = []

    class Sneaky:
        def __float__(self):
            for call in (lambda: repr(e), lambda: e.min_fit(0.5)):
                try:
                    call()
                except RuntimeError as err:
                    seen.append(str(err))
            return 0.5

    e.threshold(Sneaky())
    assert seen == ["Already mutably borrowed", "Already borrowed"]


def test_runs_of_one_engine_on_several_threads():
    """Runs interleave wherever the interpreter switches threads inside their
    streams and callbacks; configuration from another thread is refused
    exactly while some run holds the engine."""
    e = Engine()
    e.scorer("a")
    e.scorer("e", cost="expensive", fn=lambda xs: [time.sleep(0) or 0.5 for _ in xs])
    e.max_per_group("g", 2)
    results, refusals = [], []

    def stream(n):
        for i in range(n):
            time.sleep(0) if i % 16 == 0 else None
            yield {"id": i, "scores": {"a": (i * 37 % 101) / 100}, "groups": {"g": str(i % 5)}}

    def runner(n):
        for _ in range(3):
            out = e.run(stream(n))
            results.append((out.trace["input_count"], out.is_complete()))

    def configurer():
        for _ in range(200):
            try:
                e.threshold(-1.0)
            except RuntimeError as exc:
                refusals.append(str(exc))
            time.sleep(0)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=runner, args=(n,)) for n in (50, 300, 600)]
        threads.append(threading.Thread(target=configurer))
        [t.start() for t in threads], [t.join() for t in threads]
    finally:
        sys.setswitchinterval(old)
    assert sorted(results) == sorted((n, True) for n in (50, 300, 600) for _ in range(3))
    assert set(refusals) <= {"Already borrowed"}


# ---------------------------------------------------------------- garbage collection


def test_collected_cycle_after_a_run():
    class Model:
        def __call__(self, xs):
            return [0.5] * len(xs)

    model = Model()
    e = Engine()
    model.engine = e
    e.scorer("a")
    e.scorer("b", cost="expensive", fn=model)
    assert len(run_ids(e).ranked) == 3
    model_ref = weakref.ref(model)
    del e, model
    gc.collect()
    assert model_ref() is None
