"""The module and the Engine as Python sees them: calls, errors, borrows, threads, pickles, buffers."""

import array
import copy
import gc
import importlib.util
import math
import pickle
import sys
import threading
import time
import weakref

import numpy as np
import pytest

import vantorel
from vantorel import Engine, EngineError, _core, tail_mass

DEFAULT = "Engine(axes=0, fusion=rrf, budget=TopK(10))"


def engine(*cheap, fn=None):
    e = Engine()
    for name in cheap:
        e.scorer(name)
    if fn:
        e.scorer("b", cost="expensive", fn=fn)
    return e


def refused(call, exc):
    """The error of a call on a fresh engine, which the call left unchanged."""
    e = Engine()
    with pytest.raises(exc) as info:
        call(e)
    assert type(info.value) is exc and repr(e) == DEFAULT
    return info.value


def test_module_objects_are_shared_by_a_second_module_object_and_never_made_bare():
    names = ["__version__", "__status__", "EngineError", "Engine", "Ranked", "Rejected", "Outcome", "tail_mass"]
    assert vantorel.__all__ == [*names, "columns", "Columns"]
    found = importlib.util.find_spec("vantorel._core")
    other = importlib.util.module_from_spec(found)
    found.loader.exec_module(other)
    assert other.__all__ == names and other.tail_mass(1.0, 1, 2) == tail_mass(1.0, 1, 2)
    for name in ["EngineError", "Engine", "Ranked", "Rejected", "Outcome"]:
        assert getattr(other, name) is getattr(vantorel, name)
        with pytest.raises(TypeError):
            object.__new__(getattr(vantorel, name))


class Meddler:
    def __init__(self, as_key):  # changes the dict holding it, as a weight or as a name
        self.owner = {self: 1.0} if as_key else {"a": self, "b": 2.0}

    def __float__(self):
        self.owner.pop("b", None)
        return 1.0

    def __str__(self):
        self.owner["z"] = 3.0
        return "g"


WEIGHTS = "weights 는 {'축이름': 가중치} 사전이거나 [('축이름', 가중치)] 목록이어야 한다"


@pytest.mark.parametrize("call, exc, message", [
    # scorer checks cost, then normalize, then scale
    (lambda e: e.scorer("a", cost="cheap", fn=len, scale="x"), ValueError,
     "fn 을 주는 축은 cost='expensive' 여야 한다. 싼 축은 후보 전부에 도므로 파이썬을 부르면 스트리밍의 뜻이 사라진다"),
    (lambda e: e.scorer("a", scale="x", cost="x"), ValueError, "비용은 'cheap' 또는 'expensive' 여야 한다. 받은 값 'x'"),
    (lambda e: e.scorer("a", normalize="minmax", scale="x"), ValueError,
     "normalize='minmax' 는 normalize_range=(min, max) 를 함께 받아야 한다"),
    (lambda e: e.scorer("a", normalize="zscore", scale="x"), ValueError,
     "정규화기는 'sigmoid', 'clamp01', 'minmax' 중 하나여야 한다. 받은 값 'zscore'"),
    (lambda e: e.scorer("a", scale=" unit"), ValueError,
     "척도는 'unit', 'unbounded', 'rank' 중 하나여야 한다. 받은 값 ' unit'"),
    (lambda e: e.fuse("sum", weights="ab"), ValueError,
     "융합은 'rrf', 'weighted_sum', 'max' 중 하나여야 한다. 받은 값 'sum'"),
    *[(lambda e, w=w: e.fuse("weighted_sum", weights=w), ValueError, WEIGHTS)
      for w in ["ab", [["a", 1]], [(1, 1)], {"a"}]],
    *[(lambda e, k=k: e.fuse("weighted_sum", weights=Meddler(k).owner), RuntimeError,
       "dictionary changed size during iteration") for k in [False, True]],
    (lambda e: e.missing("impute", value=None), ValueError, "missing='impute' 는 value 를 함께 받아야 한다"),
    (lambda e: e.missing("drop", value=1), ValueError,
     "결측 정책은 'skip', 'impute', 'reject' 중 하나여야 한다. 받은 값 'drop'"),
    (lambda e: e.rejections("sample"), ValueError, "rejections='sample' 은 n 을 함께 받아야 한다"),
    (lambda e: e.rejections("Sample", n=1), ValueError,
     "보관 정책은 'keep', 'count', 'sample' 중 하나여야 한다. 받은 값 'Sample'"),
    (lambda e: e.scorer("a", normalize="minmax", normalize_range=array.array("d", [0] * 3)), ValueError,
     "expected buffer of length 2, but got buffer of length 3"),
    # errors of a run arrive intact
    (lambda e: engine("a", fn=lambda pool: [0.5]).run({"id": i} for i in range(3)), EngineError,
     "채점기 'b' 의 배치 결과 길이가 1 인데 후보는 3 개다"),
    *[(lambda e, c=c: c(), TypeError, f"cannot create 'vantorel.{c.__name__}' instances")
      for c in [vantorel.Ranked, vantorel.Rejected, vantorel.Outcome]],
])
def test_refusals_and_their_messages(call, exc, message):
    assert refused(call, exc).args == (message,)


@pytest.mark.parametrize("call, exc, name", [
    (lambda e: e.scorer(1), TypeError, "name"),
    (lambda e: e.scorer("a", cost=None), TypeError, "cost"),
    # a bad range is refused even for a normaliser that ignores it
    (lambda e: e.scorer("a", normalize="sigmoid", normalize_range=(0,)), ValueError, "normalize_range"),
    (lambda e: e.max_per_group("lang", 1, id=3), TypeError, "id"),
    (lambda e: e.budget_top_k(2**32), OverflowError, "k"),
    (lambda e: e.pool_multiplier(1.5), TypeError, "multiplier"),
    (lambda e: e.min_fit(10**400), OverflowError, "value"),
    # conversions come before the option checks, and in parameter order
    (lambda e: e.rejections("bogus", n=-1), OverflowError, "n"),
    (lambda e: e.missing("bogus", value="x"), TypeError, "value"),
    (lambda e: tail_mass("x", -1, 5), TypeError, "s"),
    (lambda e: tail_mass(1.0, 1, 2**64), OverflowError, "v"),
    # arity errors name the function and carry no note
    (lambda e: e.scorer(), TypeError, "Engine.scorer()"),
    (lambda e: e.coverage_objective(True), TypeError, "Engine.coverage_objective()"),
    (lambda e: tail_mass(1.0, 1, 2, k=1), TypeError, "tail_mass()"),
])
def test_conversion_and_arity_errors_name_the_parameter_or_the_function(call, exc, name):
    error = refused(call, exc)
    if name.endswith("()"):
        assert name in str(error) and not hasattr(error, "__notes__")
    else:
        assert error.__notes__ == [f"while processing '{name}'"]


def test_tail_mass_keywords_conversions_and_references():
    class Index:
        def __index__(self):
            return 1

    big, s, idx = 10**30, 2.5, Index()  # big: a fresh int, not one of the interpreter's cached ones
    before = [sys.getrefcount(x) for x in (big, s, idx)]
    for _ in range(100):
        assert tail_mass(s=2.5, k=1, v=2) == tail_mass(s, idx, v=2) == tail_mass(s, True, 2)
        with pytest.raises(OverflowError):
            tail_mass(s, idx, big)
    assert [sys.getrefcount(x) for x in (big, s, idx)] == before


def test_weights_are_read_by_the_str_of_the_key_and_checked_at_run():
    e = engine("1", "2")
    e.fuse("weighted_sum", weights={1: 3, 2.5: 9})
    e.scorer("2.5")
    terms = e.run([{"id": 0, "scores": [0.25, 0.5, 1.0]}]).ranked[0].fusion["terms"]
    assert [(t["scorer"], t["weight"]) for t in terms] == [("1", 0.25), ("2", 0.0), ("2.5", 0.75)]
    e.fuse("weighted_sum", weights=[("1", 1.0), ("c", 0.0)])
    with pytest.raises(ValueError) as info:
        e.run([])
    assert info.value.args == ("가중치가 가리키는 채점기 'c' 가 등록돼 있지 않다",)


@pytest.mark.parametrize("policy, value, term", [("impute", 0, ("imputed", 0.0)),
                                                 ("skip", 3, ("skipped", None))])
def test_later_calls_replace_earlier_ones_and_the_missing_policy(policy, value, term):
    e = engine("a", "b")
    e.fuse("weighted_sum", weights={"nope": 1})
    e.fuse(method="weighted_sum")
    e.missing("impute", value=0.25)
    e.missing(policy=policy, value=value)
    e.max_total(5)
    e.max_total(max=3, id="cap")
    out = e.run({"id": i, "scores": [i / 16]} for i in range(10))
    assert [r.constraints for r in out.ranked] == [["cap"]] * 3
    assert out.ranked[0].fusion["missing_policy"] == policy
    assert [(t["input"], t["value"]) for t in out.ranked[0].fusion["terms"]] == [("value", 0.5625), term]


def test_an_engine_holds_fn_once_registered_and_a_cycle_through_it_is_collected():
    class Model:
        def __call__(self, xs):
            return [0.5] * len(xs)

    model, e = Model(), Engine()
    before = sys.getrefcount(model)
    for bad in [{"cost": "cheap"}, {"scale": "x"}, {"normalize": "x"}]:
        with pytest.raises(ValueError):
            e.scorer("a", fn=model, **{"cost": "expensive", **bad})
    assert sys.getrefcount(model) == before and repr(e) == DEFAULT
    e.scorer("a", cost="expensive", fn=model)
    assert sys.getrefcount(model) == before + 1
    del e
    assert sys.getrefcount(model) == before
    e = model.engine = engine("a", fn=model)
    assert len(e.run({"id": i, "scores": [0.5]} for i in range(3)).ranked) == 3
    model_ref = weakref.ref(model)
    del e, model
    gc.collect()
    assert model_ref() is None


def test_configuration_inside_a_run_is_refused_but_reads_and_runs_are_allowed():
    def fn(xs):
        if xs[0]["id"] == 1:  # the outer run; the nested one calls back too
            assert repr(e) == "Engine(axes=2, fusion=rrf, budget=TopK(10))"
            assert len(e.run([{"id": 9, "scores": [0.1]}]).ranked) == 1
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                e.threshold(0.1)
        return [0.5] * len(xs)

    e = engine("a", fn=fn)
    assert len(e.run([{"id": 1, "scores": [0.2]}]).ranked) == 1
    e.threshold(0.1)  # the borrow ends with the run


def test_argument_conversion_runs_under_the_exclusive_borrow():
    class Sneaky:
        def __float__(self):
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                repr(e)
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                e.min_fit(0.5)
            return 0.5

    e = Engine()
    e.threshold(Sneaky())


def test_runs_of_one_engine_on_several_threads():
    """Runs interleave where their streams and callbacks sleep; other threads cannot configure meanwhile."""
    e = engine("a", fn=lambda xs: [time.sleep(0) or 0.5 for _ in xs])
    e.max_per_group("g", 2)
    results, refusals = [], []
    inside, tried = threading.Event(), threading.Event()

    def stream(n):
        for i in range(n):
            if not inside.is_set():  # the first run waits here until configuring has been tried
                inside.set()
                tried.wait(10)
            time.sleep(0)
            yield {"id": i, "scores": [(i * 37 % 101) / 100], "groups": {"g": str(i % 5)}}

    def runner(n):
        outs = [e.run(stream(n)) for _ in range(3)]
        results.extend((out.trace["input_count"], out.is_complete()) for out in outs)

    def configurer():
        inside.wait(10)
        for _ in range(200):
            try:
                e.threshold(-1.0)
            except RuntimeError as exc:
                refusals.append(str(exc))
            tried.set()
            time.sleep(0)

    threads = [threading.Thread(target=runner, args=(n,)) for n in (50, 300, 600)]
    threads.append(threading.Thread(target=configurer))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(results) == sorted((n, True) for n in (50, 300, 600) for _ in range(3))
    assert set(refusals) == {"Already borrowed"}


def model(pool):
    return [c["m"] for c in pool]


def configured():
    e = Engine()
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


CANDIDATES = [{"id": i, "scores": [i % 7 / 10, i % 5], "m": (i * 37 % 11) / 11,
               "groups": {"g": "xy"[i % 3 % 2]}, "cover": [str(i % 4)]} for i in range(40)]


def fields(outcome):
    """Everything an outcome shows, the scorers' times left out."""
    trace = dict(outcome.trace, scorers=[dict(s, elapsed_nanos=0) for s in outcome.trace["scorers"]])
    results = [(r.__reduce__()[1], repr(r)) for r in outcome.ranked + outcome.rejected]
    return results, outcome.rejected_counts, outcome.selection, trace, repr(outcome), outcome.is_complete()


def test_round_trips_keep_the_configuration_and_the_outcome():
    original = configured()
    outcome = original.run(CANDIDATES)
    for again in [pickle.loads(pickle.dumps(original)), copy.deepcopy(original), copy.copy(original)]:
        assert type(again) is Engine and repr(again) == repr(original)
        assert pickle.dumps(again) == pickle.dumps(original) != pickle.dumps(Engine())
        assert fields(again.run(CANDIDATES)) == fields(outcome)
    assert fields(pickle.loads(pickle.dumps(outcome))) == fields(outcome)
    for one in outcome.ranked + outcome.rejected:
        again = pickle.loads(pickle.dumps(one))
        assert type(again) is type(one) and again.__reduce__()[1] == one.__reduce__()[1]


@pytest.mark.parametrize("groups, ids", [("xyz", ["one_per_g", "at_most_two", "a_floor"]), ("xxz", ["need_y"])])
def test_a_pickled_engine_keeps_the_ids_given_to_its_constraints(groups, ids):
    e = engine("a")
    e.budget_top_k(3)
    e.max_per_group("g", 1, id="one_per_g")
    e.max_total(2, id="at_most_two")
    e.unary_min("a", 0.2, id="a_floor")
    e.require_at_least("g", "y", 1, id="need_y")
    shown = []
    for one in [e, pickle.loads(pickle.dumps(e))]:
        try:  # the outcome, or the error naming the requirement that failed
            shown.append(str(fields(one.run({"id": i, "scores": [i / 10], "groups": {"g": groups[i % 3]}}
                                             for i in range(10)))))
        except EngineError as error:
            shown.append(str(error))
    assert shown[0] == shown[1] and all(name in shown[0] for name in ids)


# One call per configuration method, each changing what the engine below runs to.
CALLS = [("scorer", ("c",), {}), ("fuse", ("weighted_sum",), {"weights": {"a": 2.0}}),
         ("missing", ("impute",), {"value": 0.5}), ("max_per_group", ("g", 1), {}), ("max_total", (3,), {}),
         ("require_at_least", ("g", "y", 7), {}), ("unary_min", ("a", 0.2), {}), ("coverage_objective", (), {}),
         ("budget_top_k", (2,), {}), ("budget_tail_mass", (0.5, 2), {}), ("budget_tokens", (7,), {}),
         ("admission", ("b",), {}), ("pool_multiplier", (1,), {}), ("threshold", (0.03,), {}),
         ("min_fit", (0.99,), {}), ("rejections", ("count",), {})]  # fmt: skip


@pytest.mark.parametrize("name, args, kwargs", CALLS)
def test_every_configuration_call_drops_what_runs_kept(name, args, kwargs):
    assert sorted(c[0] for c in CALLS) == sorted(m for m in dir(Engine) if m[0] != "_" and m != "run")
    e = engine("a", "b")
    e.budget_tail_mass(0.3, 4)
    before = fields(e.run(CANDIDATES))  # the run keeps its prepared engine and its storage on e
    getattr(e, name)(*args, **kwargs)
    assert fields(e.run(CANDIDATES)) == fields(pickle.loads(pickle.dumps(e)).run(CANDIDATES)) != before


@pytest.mark.parametrize("restore, args, exc", [
    (_core._engine, ([("run", ([],), {})],), ValueError),
    (_core._engine, ([("scorer", ("a",), {"scale": "bogus"})],), ValueError),
    (_core._engine, (["budget_top_k"],), TypeError),
    (_core._rejected, ("1", "bogus", None, None, None, 0), ValueError),
    (_core._rejected, (1.5, "outranked", None, None, None, 0), TypeError),
    (_core._ranked, ("1", -1, 0.5, {}, {}, [], None, "{}", 0), OverflowError),
    (_core._ranked, ("1", 1, 0.5, {}, {}, [1], None, "{}", 0), TypeError),
    (_core._ranked, ("1", 1, 0.5, {"a": "x"}, {}, [], None, "{}", 0), TypeError),
    (_core._ranked, ("1", 1, 0.5, {}, {}, [], None, "{}", -1), OverflowError),
    (_core._outcome, ([object()], [], {}, {}, {}, []), TypeError),
    (_core._outcome, ([], [], [("filtered", 1)], {}, {"input_count": 1}, []), TypeError),
    (_core._outcome, ([], [], {}, {}, {}, [1]), TypeError),
])
def test_damaged_pickles_are_refused(restore, args, exc):
    with pytest.raises(exc):
        restore(*args)


VALUES = [0.1, -0.0, 3.0, float("nan"), 1e39, -7.5, 16777217.0, 2.0**62 + 1, 1e-45]
WHERE = ["fn", "scores", "range"]


def run_reading(where, numbers, n=len(VALUES)):
    """A run that reads `numbers` as a callback result, as the scores of candidate 0 or as a
    min-max range; returns every score, the sign of zeros included."""
    e = Engine()
    normalize = {"normalize": "minmax", "normalize_range": numbers} if where == "range" else {}
    e.scorer("a", scale="unbounded", **normalize)
    e.scorer("b", scale="unbounded", cost="expensive", fn=(lambda pool: numbers) if where == "fn" else None)
    e.budget_top_k(n)
    out = e.run({"id": i, "scores": numbers if (where, i) == ("scores", 0) else [i / 4, i]} for i in range(n))
    return sorted((r.id, [math.copysign(1, v) if v == 0 else v for v in r.scores.values() if v is not None])
                  for r in out.ranked)


@pytest.mark.parametrize("dtype", "<f4 >f4 <f8 >f8 i1 <i2 >i4 <i8 u1 >u2 <u4 >u8 ? array.array".split())
@pytest.mark.parametrize("where", WHERE)
def test_buffer_reads_as_the_same_values_in_a_list_and_is_released(where, dtype):
    with np.errstate(all="ignore"):
        numbers = array.array("d", VALUES) if dtype == "array.array" else np.array(VALUES).astype(dtype)[::-1]
    numbers = numbers[:2] if where == "range" else numbers
    as_list = tuple(numbers.tolist()) if where == "range" else numbers.tolist()
    before = sys.getrefcount(numbers)
    assert run_reading(where, numbers) == run_reading(where, as_list)
    assert sys.getrefcount(numbers) == before


@pytest.mark.parametrize("where", WHERE)
@pytest.mark.parametrize("numbers, exc, message", [
    (memoryview(np.zeros((2, 4))), ValueError, "숫자 버퍼는 1차원이어야 한다. 받은 차원 수 '2'"),
    (np.float32(1.0), ValueError, "숫자 버퍼는 1차원이어야 한다. 받은 차원 수 '0'"),
    (np.zeros(8, complex), TypeError, "숫자 버퍼의 형식 'Zd' 은 읽을 수 없다. 실수나 정수의 형식이어야 한다"),
    (np.zeros(8, "e"), TypeError, "숫자 버퍼의 형식 'e' 은 읽을 수 없다. 실수나 정수의 형식이어야 한다"),
    (array.array("u", "ab"), TypeError, None),  # also a sequence: read as one, 'a' is no number
    (np.zeros(8, "datetime64[D]"), ValueError, None),  # refuses to export: its own error, nothing skipped
])
def test_unreadable_buffers(where, numbers, exc, message):
    with pytest.raises(exc) as info:
        run_reading(where, numbers)
    assert message is None or str(info.value) == message


@pytest.mark.parametrize("pool, length", [(0, 5), (2, 2**33), (2, 2**60)])
def test_a_callback_buffer_of_another_length_is_measured_not_read(pool, length):
    calls = []  # a zero-stride view claims any length for nothing
    e = engine("a", fn=lambda xs: np.lib.stride_tricks.as_strided(np.zeros(1, "f4"), (length,), (0,)))
    e.scorer("c", cost="expensive", fn=calls.append)
    with pytest.raises(EngineError) as info:
        e.run([{"id": 0, "scores": 5}] + [{"id": i, "scores": [0.5]} for i in range(1, pool + 1)])
    assert info.value.args == (f"채점기 'b' 의 배치 결과 길이가 {length} 인데 후보는 {pool} 개다",)
    assert calls == [] and str(info.value.__context__) == "'scores' 는 사전이거나 순서열이어야 한다"


# The last three round to another float when narrowed straight instead of through a double.
INTS = [2**24 + 1, -(2**24 + 1), 2**60 + 2**36 + 1, -(2**60 + 2**36 + 1), 2**63 + 2**39 + 1]


@pytest.mark.parametrize("dtype", "i1 i2 i4 <i8 >i8 u1 u2 u4 <u8 >u8".split())
def test_integer_buffers_narrow_as_python_ints_do(dtype):
    info = np.iinfo(dtype)
    ints = [v for v in [info.min, info.max, *INTS] if info.min <= v <= info.max]

    def read(numbers):  # as candidate 0's scores and as a callback result
        e = engine(*map(str, ints), fn=lambda pool: numbers)
        out = e.run([{"id": 0, "scores": numbers}] + [{"id": i} for i in range(1, len(ints))])
        return sorted((r.id, list(r.scores.values())) for r in out.ranked)

    assert read(np.array(ints, dtype)) == read(ints)
