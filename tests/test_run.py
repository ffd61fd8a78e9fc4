"""Engine.run: reading candidates, the order of its checks, Python-backed scorers, which error wins."""

import collections
import fractions
import pickle

import pytest

from vantorel import Engine, EngineError

MSG_NO_ID = "후보에 'id' 가 없다"
MSG_SCORES = "'scores' 는 사전이거나 순서열이어야 한다"
MSG_GROUPS = "'groups' 는 사전이어야 한다"
GROUP = lambda e: e.max_per_group("lang", 1)
COVER = lambda e: e.coverage_objective()
COST = lambda e: e.budget_tokens(10)

def engine(*callbacks, axes="a", fuse="max", configure=None, **options):
    """Axes read from the candidates, then one expensive axis per callback: e, f, g."""
    e = Engine()
    for name in axes:
        e.scorer(name)
    for name, fn in zip("efg", callbacks):
        e.scorer(name, cost="expensive", fn=fn, **options)
    e.fuse(fuse)
    e.budget_top_k(100)
    if configure:
        configure(e)
    return e

def items(n):
    return [{"id": i, "scores": {"a": (i + 1) / 100}} for i in range(n)]

class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n

class BadStr:
    def __str__(self):
        raise KeyError("no text")

@pytest.mark.parametrize("value, text, is_number", [
    (7, "7", True), (True, "1", True), (Index(12), "12", True), (2**64 - 1, "18446744073709551615", True),
    (2**64, "18446744073709551616", False), (-7, "-7", False), (None, "None", False), (1.0, "1.0", False),
    ("7", "7", False), (Index(-1), None, False),  # an __index__ out of range falls back to str()
])
def test_identifier(value, text, is_number):
    # Equal scores are ordered by identifier: every number before every text, "" before other texts
    first, second = engine().run([{"id": "", "scores": [0.5]}, {"id": value, "scores": [0.5]}]).ranked
    assert (first.candidate["id"] is value) == is_number
    assert (first if is_number else second).id == (text or str(value))

@pytest.mark.parametrize("item, slots", [
    ({"scores": {"b": 2, "z": 9}}, (None, 2.0)),
    ({"scores": {"a": True, "b": Index(3)}}, (1.0, 3.0)),
    ({"scores": {"a": fractions.Fraction(3, 4)}}, (0.75, None)),
    ({"scores": [1, None, 3]}, (1.0, None)),
    ({"scores": collections.UserList([0.25, 0.5, "ignored"])}, (0.25, 0.5)),
    ({"scores": [1e300, -1e300]}, (float("inf"), float("-inf"))),
    ({}, (None, None)),
])
def test_score_shapes(item, slots):
    item = collections.OrderedDict(id=1, **item)  # an item may be any dict subclass
    (ranked,) = engine(axes="ab", fuse="rrf").run([item]).ranked
    assert list(ranked.scores.items()) == list(zip("ab", slots))

@pytest.mark.parametrize("configure, item, exc, message", [
    (None, [1, 2], ValueError, "후보는 사전(dict)이어야 한다. 'id' 와 'scores' 가 필요하다"),
    (None, None, ValueError, "후보는 사전(dict)이어야 한다. 'id' 와 'scores' 가 필요하다"),
    (None, {"scores": [1]}, ValueError, MSG_NO_ID),
    (None, {"id": 1, "scores": None}, ValueError, MSG_SCORES),
    (None, {"id": 1, "scores": iter([1])}, ValueError, MSG_SCORES),
    (None, {"id": 1, "scores": {"a": "0.5"}}, TypeError, None),
    (None, {"id": 1, "scores": "1"}, TypeError, None),  # a str is a sequence of one-character strings
    (None, {"id": 1, "scores": [10**400]}, OverflowError, None),
    (None, {"id": BadStr(), "scores": [1]}, KeyError, None),
    (GROUP, {"id": 1, "groups": None}, ValueError, MSG_GROUPS),
    (lambda e: e.require_at_least("lang", "ko", 0), {"id": 1, "groups": ["ko"]}, ValueError, MSG_GROUPS),
    (GROUP, {"id": 1, "groups": {"lang": BadStr()}}, KeyError, None),
    (COVER, {"id": 1, "cover": 5}, ValueError, "'cover' 는 순서열이어야 한다"),
    (COVER, {"id": 1, "cover": ["x", BadStr()]}, KeyError, None),
    (COST, {"id": 1, "cost": -1}, OverflowError, None),
    (COST, {"id": 1, "cost": 1.5}, TypeError, None),
])
def test_malformed_item(configure, item, exc, message):
    with pytest.raises(exc) as info:
        engine(configure=configure).run([{"id": 0, "scores": [0.1]}, item])
    assert type(info.value) is exc
    assert message is None or str(info.value) == message
    # The note tells where in the stream the item was, and its id once read.
    named = isinstance(item, dict) and type(item.get("id")) is int
    assert info.value.__notes__ == ["스트림 색인 1 의 " + ("후보 '1' 를" if named else "항목을") + " 읽다가 났다"]

@pytest.mark.parametrize("configure, item", [
    (None, {"groups": None}), (None, {"cost": "garbage"}), (COVER, {"cover": None}), (COVER, {}),
    (GROUP, {}), (GROUP, {"groups": {"other": BadStr()}}), (COST, {"cost": None}),
])
def test_keys_not_in_use_or_absent_are_accepted(configure, item):
    assert len(engine(configure=configure).run([{"id": 1, "scores": [1], **item}]).ranked) == 1

def test_group_limit_reads_the_group_text():
    langs = [1, "1", 2, None, None]
    cands = [{"id": i, "scores": [1 - i / 10], "groups": {"lang": lang}} for i, lang in enumerate(langs)]
    out = engine(configure=GROUP).run(cands)
    # 1 and "1" are the same group text; a value of None is no group, so it is not limited
    assert [r.id for r in out.ranked] == ["0", "2", "3", "4"]

def test_cover_items_are_their_str():
    e = engine(configure=COVER)
    e.budget_top_k(2)
    covers = [["x", 1], ("1", "x"), "xy"]
    out = e.run([{"id": i, "scores": [1 - i / 10], "cover": cover} for i, cover in enumerate(covers)])
    # 1 covers nothing new once 0 is chosen; 2's "y" is new
    assert [r.id for r in out.ranked] == ["0", "2"]

def test_stream_goes_on_after_a_malformed_item_and_the_callback_gets_the_stream_objects():
    batches = []
    cands = [{"id": i, "scores": None if i == 2 else [0.1]} for i in range(1, 6)]
    with pytest.raises(ValueError) as info:
        engine(lambda xs: batches.append(xs) or [0.5] * len(xs)).run(cands)
    assert str(info.value) == MSG_SCORES
    (batch,) = batches  # one call, with the very objects of the stream
    assert type(batch) is list and sorted(map(id, batch)) == sorted(id(c) for c in cands if c["id"] != 2)

@pytest.mark.parametrize("stream, error", [
    ([{"id": 1}, {"id": 2, "scores": [0.5]}], "pull 3"),  # the iterator's own error
    ([{"id": 1}, {"scores": [1]}, {"id": 3, "scores": 7}, 4], MSG_NO_ID),  # the first malformed item
])
def test_first_error_wins_and_a_raising_iterator_is_pulled_no_more(stream, error):
    pulls = []
    def item(i):
        pulls.append(i)
        if i >= len(stream):
            raise ValueError(f"pull {i + 1}")
        return stream[i]
    with pytest.raises(ValueError) as info:
        engine().run(map(item, range(10)))  # bounded, should the stream not end at the iterator's error
    assert str(info.value) == error
    assert pulls == list(range(len(stream) + 1))

def test_generator_is_consumed_one_item_per_pull():
    log = []
    class Score(int):
        def __float__(self):
            log.append(("read", int(self)))
            return 0.5
    engine().run(log.append(("yield", i)) or {"id": i, "scores": [Score(i)]} for i in range(4))
    assert log == [(kind, i) for i in range(4) for kind in ("yield", "read")]

@pytest.mark.parametrize("candidates", [[], 5, None])
def test_no_axis_is_reported_before_anything_else(candidates):
    e = Engine()
    e.budget_top_k(0)
    with pytest.raises(ValueError) as info:
        e.run(candidates)
    assert str(info.value) == "축이 하나도 없다. Engine.scorer 로 최소 하나를 등록해야 한다"

@pytest.mark.parametrize("configure, message", [
    # an unknown axis is reported before the duplicate axis that validation would report
    (lambda e: (e.scorer("a"), e.unary_min("a", 0.1), e.unary_min("nope", 0.5)), "등록되지 않은 축 'nope'"),
    (lambda e: e.scorer("a"), None),
    (lambda e: e.fuse("weighted_sum", weights={"c": 0}), None),
    (lambda e: e.pool_multiplier(0), None),
])
def test_configuration_faults_are_value_errors_before_any_item_is_read(configure, message):
    started = []
    with pytest.raises(ValueError) as info:
        engine(configure=configure).run(started.append(1) for _ in range(1))
    assert type(info.value) is ValueError and started == []
    assert message is None or str(info.value) == message

def test_non_iterable_is_a_type_error():
    with pytest.raises(TypeError):
        engine().run(5)
    assert engine().run(iter([])).ranked == []

@pytest.mark.parametrize("make", [list, tuple, collections.UserList])
def test_callback_sequences_none_and_normaliser(make):
    results = [3, None, 12]
    e = engine(lambda xs: make([results[x["id"]] for x in xs]), normalize="minmax", normalize_range=(0, 10))
    out = e.run(items(3))
    assert {r.id: r.scores["e"] for r in out.ranked} == {"0": 0.30000001192092896, "1": None, "2": 1.0}
    assert out.trace["scorers"][1]["missing"] == 1

@pytest.mark.parametrize("result, exc, message", [
    (lambda n: (0.5 for _ in range(n)), ValueError, "채점기 'e' 의 콜백이 목록이 아닌 것을 돌려줬다"),
    (lambda n: None, ValueError, "채점기 'e' 의 콜백이 목록이 아닌 것을 돌려줬다"),
    (lambda n: "ab", TypeError, None),
    (lambda n: [0.5] * (n - 1) + [object()], TypeError, None),
])
def test_unusable_callback_results(result, exc, message):
    with pytest.raises(exc) as info:
        engine(lambda xs: result(len(xs))).run(items(2))
    assert type(info.value) is exc
    assert message is None or str(info.value) == message

def test_raising_callback_lets_the_run_finish_and_its_error_does_not_outlive_the_run():
    seen = []
    flaky = lambda xs: [0.5] * 2 if len(xs) == 2 else 1 / 0  # fails on the first run's batch of three
    e = engine(flaky, lambda xs: seen.append(len(xs)) or [0.5] * len(xs))
    with pytest.raises(ZeroDivisionError):
        e.run(items(3))
    assert seen == [3]  # the next axis was still scored
    assert len(e.run(items(2)).ranked) == 2

def failing(exc):
    def fn(xs):
        raise type(exc)(*exc.args)  # a fresh exception each call: a stored one would keep this frame
    return fn

@pytest.mark.parametrize("callbacks, bad_item, exc, message, passed_over", [
    # of two failing callbacks, the first registered wins
    ((failing(KeyError("e")), failing(IndexError("f"))), [], KeyError, None, None),
    ((failing(KeyError("e")),), [{"id": 9, "scores": None}], ValueError, MSG_SCORES, KeyError),
    ((failing(KeyError("e")), lambda xs: [0.5]), ["not a dict"], EngineError,
     "채점기 'f' 의 배치 결과 길이가 1 인데 후보는 2 개다", ValueError),
])
def test_engine_then_reader_then_callback_error(callbacks, bad_item, exc, message, passed_over):
    with pytest.raises(exc) as info:
        engine(*callbacks).run(items(2) + bad_item)
    assert message is None or str(info.value) == message
    assert passed_over is None or type(info.value.__context__) is passed_over  # passed over, not lost

def test_two_runs_are_independent():
    """Each outcome holds its own records: read first after the Engine was reconfigured and ran again."""
    e = engine(lambda xs: [x["id"] / 10 for x in xs])
    e.budget_top_k(2)
    first, second = e.run(items(5)), e.run(items(5))
    e.budget_top_k(1)
    assert len(e.run(items(5)).ranked) == 1
    shown = lambda out: ([(r.id, r.fused, r.to_json()) for r in out.ranked], [(r.id, r.reason) for r in out.rejected])
    assert shown(first) == shown(pickle.loads(pickle.dumps(second))) and len(first.ranked) == 2
