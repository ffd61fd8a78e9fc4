"""Number buffers (numpy arrays, array.array) wherever a sequence of numbers is
read: each gives the outcome of the same values as a list, and every export is
released."""

import array
import math
import sys

import pytest

from vantorel import Engine

np = pytest.importorskip("numpy")

VALUES = [0.1, -0.0, 3.0, float("nan"), 1e39, -7.5, 16777217.0, 2.0**62 + 1]
DTYPES = ["<f4", ">f4", "<f8", ">f8", "i1", "<i2", ">i4", "<i8", "u1", ">u2", "<u4", ">u8", "?"]


def values(dtype):
    with np.errstate(all="ignore"):
        base = np.array(VALUES).astype(dtype)
    return np.repeat(base, 2)[::2]  # strided


def run(where, numbers, n=len(VALUES)):
    """A run that reads `numbers` as a callback result, as the scores of
    candidate 0, or as a min-max range; returns every score, bits included."""
    e = Engine()
    e.scorer("a", scale="unbounded", **({"normalize": "minmax", "normalize_range": numbers} if where == "range" else {}))
    e.scorer("b", scale="unbounded", cost="expensive", fn=(lambda pool: numbers) if where == "fn" else None)
    e.budget_top_k(n)
    items = [{"id": i, "scores": numbers if where == "scores" and i == 0 else [i * 0.25, i]} for i in range(n)]
    out = e.run(items)
    return sorted((r.id, [math.copysign(1, v) if v == 0 else v for v in r.scores.values() if v is not None])
                  for r in out.ranked)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("where", ["fn", "scores", "range"])
def test_buffer_reads_as_the_same_values_in_a_list(where, dtype):
    numbers = values(dtype)[:2] if where == "range" else values(dtype)
    assert run(where, numbers) == run(where, numbers.tolist() if where != "range" else tuple(numbers.tolist()))


@pytest.mark.parametrize("where", ["fn", "scores", "range"])
@pytest.mark.parametrize(
    "numbers, exc, message",
    [
        (np.zeros((2, 4)), ValueError, "숫자 버퍼는 1차원이어야 한다. 받은 차원 수 '2'"),
        (np.float32(1.0), ValueError, "숫자 버퍼는 1차원이어야 한다. 받은 차원 수 '0'"),
        (np.zeros(8, complex), TypeError, "숫자 버퍼의 형식 'Zd' 은 읽을 수 없다. 실수나 정수의 형식이어야 한다"),
        (np.zeros(8, "e"), TypeError, "숫자 버퍼의 형식 'e' 은 읽을 수 없다. 실수나 정수의 형식이어야 한다"),
        (array.array("u", "ab"), TypeError, None),  # also a sequence: read as one, 'a' is no number
    ],
)
def test_unreadable_buffers(where, numbers, exc, message):
    with pytest.raises(exc) as info:
        run(where, numbers)
    if message:
        assert str(info.value) == message


def test_range_buffer_of_another_length():
    with pytest.raises(ValueError, match="expected buffer of length 2, but got buffer of length 3"):
        run("range", np.zeros(3))


def test_float32_is_taken_bit_for_bit():
    e = Engine()
    e.scorer("a", scale="unbounded")
    e.scorer("b", scale="unbounded")
    (ranked,) = e.run([{"id": 0, "scores": np.array([-0.0, 1e-45], np.float32)}]).ranked
    assert [math.copysign(1, v) for v in ranked.scores.values()] == [-1, 1]
    assert ranked.scores["b"] == 1.401298464324817e-45


@pytest.mark.parametrize("where", ["fn", "scores", "range"])
def test_exports_are_released(where):
    numbers = array.array("d", [0.0, 1.0] * 4)
    before = sys.getrefcount(numbers)
    run(where, numbers[:2] if where == "range" else numbers)
    assert sys.getrefcount(numbers) == before
    numbers.append(1.0)  # BufferError while an export is held
