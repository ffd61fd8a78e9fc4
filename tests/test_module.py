"""The module as Python sees it: its attributes, classes, exception and tail_mass."""

import gc
import importlib.util
import inspect
import math
import struct
import sys
import weakref

import pytest

import vantorel

CLASSES = ["Engine", "Ranked", "Rejected", "Outcome"]
RESULT_CLASSES = ["Ranked", "Rejected", "Outcome"]
HAVE_GC = 1 << 14
BASETYPE = 1 << 10


def f32(x):
    """The 32-bit float nearest x, as a Python float."""
    return struct.unpack("f", struct.pack("f", x))[0]


# ---------------------------------------------------------------- module


def test_all_lists_every_object_in_order():
    assert vantorel.__all__ == [
        "__version__",
        "__status__",
        "EngineError",
        "Engine",
        "Ranked",
        "Rejected",
        "Outcome",
        "tail_mass",
    ]
    for name in vantorel.__all__:
        assert hasattr(vantorel, name)


def test_fixed_attributes():
    assert vantorel.__version__ == "0.1.0"
    assert vantorel.__status__ == (
        "fusion, constraints, set objective, adaptive budget, and evidence are available"
    )
    assert vantorel.__doc__ == ""


def test_a_second_module_object_shares_the_process_wide_types():
    module_spec = importlib.util.find_spec("vantorel._core")
    other = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(other)
    assert other is not vantorel
    assert other.__all__ == vantorel.__all__
    for name in ["EngineError", *CLASSES]:
        assert getattr(other, name) is getattr(vantorel, name)
    assert other.tail_mass(1.0, 1, 2) == vantorel.tail_mass(1.0, 1, 2)


# ---------------------------------------------------------------- EngineError


def test_engine_error_type():
    err = vantorel.EngineError
    assert err.__bases__ == (Exception,)
    assert err.__module__ == "vantorel"
    assert err.__name__ == "EngineError"
    assert err.__qualname__ == "EngineError"
    assert err.__doc__ == "엔진 설정이 성립하지 않거나 요구 조건을 채울 수 없을 때 난다."


def test_engine_error_carries_its_message():
    with pytest.raises(vantorel.EngineError) as info:
        raise vantorel.EngineError("메시지")
    assert info.value.args == ("메시지",)
    assert str(info.value) == "메시지"


# ---------------------------------------------------------------- classes


@pytest.mark.parametrize("name", CLASSES)
def test_class_shape(name):
    cls = getattr(vantorel, name)
    assert cls.__module__ == "vantorel"
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert cls.__flags__ & HAVE_GC
    assert not cls.__flags__ & BASETYPE
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0
    # Frozen: no constructor or method can be swapped, none bypassed.
    with pytest.raises(TypeError):
        cls.__new__ = staticmethod(lambda c, *a, **k: object.__new__(c))
    with pytest.raises(TypeError):
        object.__new__(cls)


@pytest.mark.parametrize("name", CLASSES)
def test_classes_cannot_be_subclassed(name):
    with pytest.raises(TypeError):
        type("X", (getattr(vantorel, name),), {})


@pytest.mark.parametrize("name", RESULT_CLASSES)
def test_result_classes_cannot_be_created(name):
    cls = getattr(vantorel, name)
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == f"cannot create 'vantorel.{name}' instances"


def test_engine_instances_have_no_dict_and_no_weakrefs():
    engine = vantorel.Engine()
    with pytest.raises(AttributeError):
        engine.__dict__
    with pytest.raises(AttributeError):
        engine.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(engine)
    assert gc.is_tracked(engine)


# ---------------------------------------------------------------- tail_mass


def test_tail_mass_documentation():
    fn = vantorel.tail_mass
    assert fn.__text_signature__ == "(s, k, v)"
    assert fn.__doc__ == (
        "상위 `k` 개 뒤에 남는 질량.\n\n"
        "엔진과 따로 쓸 수 있다. 같은 값이 캐시 크기 결정에도 쓰인다. 적중률은 이 식의 여집합이다."
    )
    assert str(inspect.signature(fn)) == "(s, k, v)"
    assert fn.__module__ == "vantorel"
    assert fn.__name__ == "tail_mass"


@pytest.mark.parametrize(
    "args, expected",
    [
        ((1.0, 10, 100), 0.43536627292633057),
        ((1.1, 100, 10000), 0.3521479368209839),
        ((1.0, 1, 2), 0.3333333432674408),
        # k >= v: nothing lies beyond the top k, whatever s is.
        ((1.0, 5, 5), 0.0),
        ((1.0, 6, 5), 0.0),
        ((1.0, 0, 0), 0.0),
        ((math.nan, 3, 2), 0.0),
        ((-math.inf, 2**64 - 1, 3), 0.0),
        # k = 0 keeps nothing.
        ((1.0, 0, 7), 1.0),
        ((-3.5, 0, 7), 1.0),
        ((40.0, 0, 1000), 1.0),
        # s = 0: equal weights, 1 - k/v in single precision.
        ((0.0, 1, 4), 0.75),
        ((0.0, 1, 3), f32(2 / 3)),
        ((0.0, 2, 7), f32(5 / 7)),
        # Only rank 1 carries weight under s = +inf.
        ((math.inf, 1, 5), 0.0),
        ((math.inf, 3, 5), 0.0),
        # s = -inf: rank 1 has weight 1, every later rank infinite weight.
        ((-math.inf, 1, 5), 1.0),
        # NaN with v = 1: D is exactly 1.
        ((math.nan, 0, 1), 1.0),
        # A float too large for 32 bits becomes +inf rather than an error.
        ((1e39, 1, 5), 0.0),
    ],
)
def test_tail_mass_values(args, expected):
    got = vantorel.tail_mass(*args)
    assert type(got) is float
    assert got == expected
    assert math.copysign(1.0, got) == math.copysign(1.0, expected)


@pytest.mark.parametrize("args", [(-math.inf, 2, 5), (math.nan, 1, 2), (math.nan, 0, 3)])
def test_tail_mass_not_a_number(args):
    assert math.isnan(vantorel.tail_mass(*args))


def test_tail_mass_results_are_single_precision():
    for s in (0.3, 0.9, 1.0, 1.7, -0.4):
        for k, v in ((1, 3), (3, 10), (17, 300)):
            got = vantorel.tail_mass(s, k, v)
            assert got == f32(got)
            assert 0.0 <= got <= 1.0


def test_tail_mass_negative_exponent_leaves_a_larger_tail():
    assert vantorel.tail_mass(-0.5, 3, 10) > vantorel.tail_mass(0.0, 3, 10) == f32(0.7)


def test_tail_mass_rounds_s_to_single_precision_first():
    # 1.1 and its nearest 32-bit float give the same answer.
    assert vantorel.tail_mass(1.1, 10, 50) == vantorel.tail_mass(f32(1.1), 10, 50)


def test_tail_mass_keywords_and_conversions():
    positional = vantorel.tail_mass(1.0, 1, 2)
    assert vantorel.tail_mass(s=1.0, k=1, v=2) == positional
    assert vantorel.tail_mass(1.0, v=2, k=1) == positional
    assert vantorel.tail_mass(1, True, 2) == positional

    class Index:
        def __index__(self):
            return 1

    class Float:
        def __float__(self):
            return 1.0

    assert vantorel.tail_mass(Float(), Index(), 2) == positional


@pytest.mark.parametrize(
    "args, exc, param",
    [
        ((1.0, -1, 5), OverflowError, "k"),
        ((1.0, 1, -5), OverflowError, "v"),
        ((1.0, 2**64, 5), OverflowError, "k"),
        ((1.0, 1, 2**64), OverflowError, "v"),
        ((1.0, 2.0, 5), TypeError, "k"),
        ((1.0, 1, 5.0), TypeError, "v"),
        ((1.0, "1", 5), TypeError, "k"),
        (("1.0", 1, 5), TypeError, "s"),
        ((None, 1, 5), TypeError, "s"),
        # Parameters are converted in order: s fails before k is looked at.
        (("x", -1, 5), TypeError, "s"),
    ],
)
def test_tail_mass_conversion_errors_name_the_parameter(args, exc, param):
    with pytest.raises(exc) as info:
        vantorel.tail_mass(*args)
    assert type(info.value) is exc
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize(
    "args, kwargs",
    [((1.0, 1), {}), ((1.0, 1, 2, 3), {}), ((1.0, 1, 2), {"k": 1}), ((1.0, 1, 2), {"w": 1}), ((), {})],
)
def test_tail_mass_arity_errors(args, kwargs):
    with pytest.raises(TypeError) as info:
        vantorel.tail_mass(*args, **kwargs)
    assert "tail_mass()" in str(info.value)
    assert not getattr(info.value, "__notes__", None)


def test_tail_mass_keeps_no_references():
    big = 10**30  # a fresh int object, not shared with the interpreter's caches
    s = 1.5

    class Index:
        def __index__(self):
            return 3

    idx = Index()
    before = (sys.getrefcount(big), sys.getrefcount(s), sys.getrefcount(idx))
    for _ in range(200):
        vantorel.tail_mass(s, idx, 5)
        vantorel.tail_mass(s=s, k=idx, v=7)
        with pytest.raises(OverflowError):
            vantorel.tail_mass(s, idx, big)
    assert (sys.getrefcount(big), sys.getrefcount(s), sys.getrefcount(idx)) == before


# ---------------------------------------------------------------- error mapping

needs_run = pytest.mark.skipif(not hasattr(vantorel.Engine, "run"), reason="Engine.run is not available")


def _validation_fault(e):
    e.admission("nope")


def _requirement_fault(e):
    e.require_at_least("lang", "ko", 2)


def _batch_fault(e):
    e.scorer("b", cost="expensive", fn=lambda pool: [0.5])


@needs_run
@pytest.mark.parametrize(
    "configure, exc, message",
    [
        (_validation_fault, ValueError, "승인 채점기 'nope' 가 등록돼 있지 않다"),
        (
            _requirement_fault,
            vantorel.EngineError,
            "요구 조건 'lang' 의 교체에 실패했다. 최소 2 개가 필요하고 풀에서 해당 조건에 맞는 후보는 1 개다. "
            "다른 제약과의 충돌도 확인해야 한다",
        ),
        (_batch_fault, vantorel.EngineError, "채점기 'b' 의 배치 결과 길이가 1 인데 후보는 3 개다"),
    ],
)
def test_engine_errors_surface_with_their_exact_message(configure, exc, message):
    e = vantorel.Engine()
    e.scorer("a")
    e.fuse("max")
    configure(e)
    cands = [{"id": i, "scores": {"a": 0.5}, "groups": {"lang": "ko" if i == 0 else "en"}} for i in range(3)]
    with pytest.raises(exc) as info:
        e.run(cands)
    assert type(info.value) is exc
    assert info.value.args == (message,)
