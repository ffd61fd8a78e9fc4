"""The module as Python sees it: its attributes, classes, exception and tail_mass."""

import importlib.util
import sys

import pytest

import vantorel

CLASSES = ["Engine", "Ranked", "Rejected", "Outcome"]
RESULT_CLASSES = ["Ranked", "Rejected", "Outcome"]
HAVE_GC = 1 << 14
BASETYPE = 1 << 10


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


def test_a_second_module_object_shares_the_process_wide_types():
    module_spec = importlib.util.find_spec("vantorel._core")
    other = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(other)
    assert other is not vantorel
    assert other.__all__ == vantorel.__all__
    for name in ["EngineError", *CLASSES]:
        assert getattr(other, name) is getattr(vantorel, name)
    assert other.tail_mass(1.0, 1, 2) == vantorel.tail_mass(1.0, 1, 2)


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


@pytest.mark.parametrize("name", RESULT_CLASSES)
def test_result_classes_cannot_be_created(name):
    cls = getattr(vantorel, name)
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == f"cannot create 'vantorel.{name}' instances"


# ---------------------------------------------------------------- tail_mass


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
        ((1.0, 1, 2**64), OverflowError, "v"),
        ((1.0, 2.0, 5), TypeError, "k"),
        ((1.0, 1, 5.0), TypeError, "v"),
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

def _validation_fault(e):
    e.admission("nope")


def _requirement_fault(e):
    e.require_at_least("lang", "ko", 2)


def _batch_fault(e):
    e.scorer("b", cost="expensive", fn=lambda pool: [0.5])


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
