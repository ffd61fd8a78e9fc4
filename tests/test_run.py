"""Engine.run: the order of its checks, the Python-backed scorers, which
error wins, and that a run leaves no references behind."""

import collections.abc
import struct

import pytest

from vantorel import Engine, EngineError

MSG_NO_AXES = "축이 하나도 없다. Engine.scorer 로 최소 하나를 등록해야 한다"


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def items(n, start=0):
    return [{"id": i, "scores": {"a": (i + 1) / 100}} for i in range(start, start + n)]


def with_callback(fn, *, name="e", **kwargs):
    e = Engine()
    e.scorer("a")
    e.scorer(name, cost="expensive", fn=fn, **kwargs)
    e.budget_top_k(100)
    return e


def constant(value):
    def fn(xs):
        return [value] * len(xs)

    return fn


class Seq(collections.abc.Sequence):
    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


# ---------------------------------------------------------------- order of the run entry's checks


def never_started():
    raise AssertionError("the candidates were read")
    yield  # pragma: no cover


@pytest.mark.parametrize("candidates", [[], 5, None])
def test_no_axis_is_reported_before_anything_else(candidates):
    e = Engine()
    e.budget_top_k(0)
    with pytest.raises(ValueError) as info:
        e.run(candidates)
    assert str(info.value) == MSG_NO_AXES


def test_misconfigured_engine_does_not_advance_the_generator():
    gen = never_started()
    e = Engine()
    e.scorer("a")
    e.admission("nope")
    with pytest.raises(ValueError):
        e.run(gen)
    with pytest.raises(AssertionError):
        next(gen)  # still at its start


def test_unknown_unary_axis_is_reported_before_validation():
    e = Engine()
    e.scorer("a")
    e.scorer("a")  # a duplicate: validation would report it
    e.unary_min("a", 0.1)
    e.unary_min("nope", 0.5)
    with pytest.raises(ValueError) as info:
        e.run(never_started())
    assert str(info.value) == "등록되지 않은 축 'nope'"


@pytest.mark.parametrize(
    "configure",
    [
        lambda e: e.scorer("a"),
        lambda e: e.fuse("weighted_sum", weights={"c": 0}),
        lambda e: e.admission("c"),
        lambda e: e.pool_multiplier(0),
        lambda e: e.budget_tail_mass(1.0, 5),
        lambda e: (e.fuse("max"), e.scorer("u", scale="unbounded")),
    ],
)
def test_validation_faults_are_value_errors(configure):
    e = Engine()
    e.scorer("a")
    configure(e)
    with pytest.raises(ValueError) as info:
        e.run(never_started())
    assert type(info.value) is ValueError


def test_non_iterable_is_a_type_error_after_validation():
    e = Engine()
    e.scorer("a")
    with pytest.raises(TypeError):
        e.run(5)
    out = e.run(iter([]))
    assert out.ranked == [] and out.rejected == []


# ---------------------------------------------------------------- normalisers

NORMALISED = [  # the arithmetic is the core's; here the options reach a callback axis
    ({"normalize": "minmax", "normalize_range": (0, 10)}, [5, -3, 12, None], [0.5, 0.0, 1.0, None]),
    ({"normalize": "sigmoid"}, [0, 100, -100], [0.5, 1.0, 0.0]),
    ({"normalize": "clamp01"}, [1.7, -0.2], [1.0, 0.0]),
]


@pytest.mark.parametrize("kwargs, raw, expected", NORMALISED)
def test_normalisers_on_callback_results(kwargs, raw, expected):
    e = with_callback(lambda xs: [raw[x["id"]] for x in xs], scale="unbounded", **kwargs)
    out = e.run(items(len(raw)))
    got = {int(r.id): r.scores["e"] for r in out.ranked}
    assert [got[i] for i in range(len(raw))] == expected


# ---------------------------------------------------------------- callbacks


def test_callback_receives_the_pool_objects_once():
    calls = []

    def fn(xs):
        calls.append(xs)
        return [0.5] * len(xs)

    cands = items(4)
    with_callback(fn).run(cands)
    assert len(calls) == 1
    (batch,) = calls
    assert type(batch) is list
    assert sorted(id(x) for x in batch) == sorted(id(c) for c in cands)
    for x in batch:
        assert any(x is c for c in cands)


@pytest.mark.parametrize(
    "result",
    [
        lambda n: [0.3] * n,
        lambda n: tuple([0.3] * n),
        lambda n: Seq([0.3] * n),
        lambda n: [f32(0.3)] * n,
    ],
    ids=["list", "tuple", "sequence", "f32"],
)
def test_callback_sequences_are_accepted(result):
    out = with_callback(lambda xs: result(len(xs))).run(items(2))
    assert [r.scores["e"] for r in out.ranked] == [f32(0.3)] * 2


def test_callback_none_is_no_value():
    out = with_callback(lambda xs: [0.3 if x["id"] == 0 else None for x in xs]).run(items(2))
    scores = {r.id: r.scores["e"] for r in out.ranked}
    assert scores == {"0": f32(0.3), "1": None}
    assert out.trace["scorers"][1]["missing"] == 1


MSG_NOT_LIST = "채점기 'e' 의 콜백이 목록이 아닌 것을 돌려줬다"


@pytest.mark.parametrize(
    "result, exc, message",
    [
        (lambda n: (0.5 for _ in range(n)), ValueError, MSG_NOT_LIST),
        (lambda n: None, ValueError, MSG_NOT_LIST),
        (lambda n: 0.5, ValueError, MSG_NOT_LIST),
        (lambda n: ["x"] * n, TypeError, None),
        (lambda n: "ab", TypeError, None),
        (lambda n: [0.5] * (n - 1) + [object()], TypeError, None),
    ],
)
def test_unusable_callback_results(result, exc, message):
    cands = items(2)
    with pytest.raises(exc) as info:
        with_callback(lambda xs: result(len(xs))).run(cands)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_raising_callback_lets_the_run_finish_then_raises():
    seen = []

    def fn(xs):
        seen.append(len(xs))
        raise ZeroDivisionError("model down")

    e = with_callback(fn)
    e.scorer("f", cost="expensive", fn=lambda xs: seen.append("f") or [0.5] * len(xs))
    with pytest.raises(ZeroDivisionError, match="model down"):
        e.run(items(3))
    assert seen == [3, "f"]


def test_callback_error_does_not_outlive_its_run():
    state = {"fail": True}

    def fn(xs):
        if state["fail"]:
            raise KeyError("once")
        return [0.5] * len(xs)

    e = with_callback(fn)
    with pytest.raises(KeyError):
        e.run(items(2))
    state["fail"] = False
    assert len(e.run(items(2)).ranked) == 2


# ---------------------------------------------------------------- which error wins


def failing(exc):
    def fn(xs):
        # a fresh exception each call: a stored one would keep this frame
        raise type(exc)(*exc.args)

    return fn


def test_first_registered_failing_callback_wins():
    e = Engine()
    e.scorer("a")
    e.scorer("x", cost="expensive", fn=constant(0.5))
    e.scorer("y", cost="expensive", fn=failing(KeyError("y")))
    e.scorer("z", cost="expensive", fn=failing(IndexError("z")))
    with pytest.raises(KeyError):
        e.run(items(2))


def test_reader_error_wins_over_callback_error():
    e = with_callback(failing(KeyError("cb")))
    with pytest.raises(ValueError) as info:
        e.run(items(2) + [{"id": 9, "scores": None}])
    assert str(info.value) == "'scores' 는 사전이거나 순서열이어야 한다"
    assert type(info.value.__context__) is KeyError  # passed over, not lost


def test_engine_error_wins_over_reader_and_callback_errors():
    e = Engine()
    e.scorer("a")
    e.scorer("x", cost="expensive", fn=failing(KeyError("x")))
    e.scorer("y", cost="expensive", fn=lambda xs: [0.5])
    with pytest.raises(EngineError) as info:
        e.run(items(2) + ["not a dict"])
    assert str(info.value) == "채점기 'y' 의 배치 결과 길이가 1 인데 후보는 2 개다"
    assert type(info.value.__context__) is ValueError  # the reader's error, passed over


# ---------------------------------------------------------------- repeated runs


def test_two_runs_are_independent():
    e = with_callback(lambda xs: [x["id"] / 10 for x in xs])
    e.budget_top_k(2)
    cands = items(5)
    first, second = e.run(cands), e.run(cands)
    assert [r.id for r in first.ranked] == [r.id for r in second.ranked]
    assert [(r.id, r.reason) for r in first.rejected] == [(r.id, r.reason) for r in second.rejected]
    assert first.ranked[0] is not second.ranked[0]
    e.budget_top_k(1)
    assert len(e.run(cands).ranked) == 1
    assert len(first.ranked) == 2
