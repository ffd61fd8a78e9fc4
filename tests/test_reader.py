"""The candidate reader as a run sees it: identifiers, score shapes, groups,
costs and cover lists, malformed items and how their errors travel."""

import collections.abc

import pytest

from vantorel import Engine

MSG_NOT_DICT = "후보는 사전(dict)이어야 한다. 'id' 와 'scores' 가 필요하다"
MSG_NO_ID = "후보에 'id' 가 없다"
MSG_SCORES = "'scores' 는 사전이거나 순서열이어야 한다"
MSG_GROUPS = "'groups' 는 사전이어야 한다"
MSG_COVER = "'cover' 는 순서열이어야 한다"


def engine(*axes, fuse="max"):
    e = Engine()
    for a in axes or ("a",):
        e.scorer(a)
    e.fuse(fuse)
    e.budget_top_k(100)
    return e


class Seq(collections.abc.Sequence):
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class Floaty:
    def __float__(self):
        return 0.75


class BadStr:
    def __str__(self):
        raise KeyError("no text")


# ---------------------------------------------------------------- identifiers


@pytest.mark.parametrize(
    "value, text, is_number",
    [
        (7, "7", True),
        (0, "0", True),
        (True, "1", True),
        (False, "0", True),
        (Index(12), "12", True),
        (2**64 - 1, "18446744073709551615", True),
        (2**64, "18446744073709551616", False),
        (-7, "-7", False),
        (None, "None", False),
        (1.0, "1.0", False),
        ("7", "7", False),
        (Index(-1), None, False),  # an __index__ out of range falls back to str()
        ((1, 2), "(1, 2)", False),
    ],
)
def test_identifier(value, text, is_number):
    # Equal scores are ordered by identifier: every number before every text,
    # and the empty text before any other text.
    out = engine().run([{"id": "", "scores": [0.5]}, {"id": value, "scores": [0.5]}])
    first, second = out.ranked
    assert (first.candidate["id"] is value) == is_number
    got = (first if is_number else second).id
    assert got == (text if text is not None else str(value))


# ---------------------------------------------------------------- scores

SCORE_SHAPES = [
    ({"b": 2, "z": 9}, (None, 2.0)),
    ({"a": True, "b": Index(3)}, (1.0, 3.0)),
    ({"a": Floaty()}, (0.75, None)),
    ({}, (None, None)),
    ([1, None, 3], (1.0, None)),
    (Seq(0.25, 0.5, "ignored"), (0.25, 0.5)),
    (range(2), (0.0, 1.0)),
    ([1e300, -1e300], (float("inf"), float("-inf"))),
]


@pytest.mark.parametrize("scores, slots", SCORE_SHAPES)
def test_score_shapes(scores, slots):
    e = engine("a", "b", fuse="rrf")
    (ranked,) = e.run([{"id": 1, "scores": scores}]).ranked
    assert tuple(ranked.scores.values()) == slots
    assert list(ranked.scores) == ["a", "b"]


def test_missing_scores_key_leaves_every_slot_empty():
    e = engine("a", "b", fuse="rrf")
    (ranked,) = e.run([{"id": 1}]).ranked
    assert ranked.scores == {"a": None, "b": None}


# ---------------------------------------------------------------- malformed items

MALFORMED = [
    ([1, 2], ValueError, MSG_NOT_DICT),
    (None, ValueError, MSG_NOT_DICT),
    ({"scores": [1]}, ValueError, MSG_NO_ID),
    ({"id": 1, "scores": None}, ValueError, MSG_SCORES),
    ({"id": 1, "scores": iter([1])}, ValueError, MSG_SCORES),
    ({"id": 1, "scores": {"a": "0.5"}}, TypeError, None),
    ({"id": 1, "scores": "1"}, TypeError, None),  # a str is a sequence of one-character strings
    ({"id": 1, "scores": [10**400]}, OverflowError, None),
    ({"id": BadStr(), "scores": [1]}, KeyError, None),
]


@pytest.mark.parametrize("item, exc, message", MALFORMED)
def test_malformed_item(item, exc, message):
    with pytest.raises(exc) as info:
        engine().run([{"id": 0, "scores": [0.1]}, item])
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    # The note tells where in the stream the item was, and its id once read.
    named = isinstance(item, dict) and type(item.get("id")) is int
    assert info.value.__notes__ == ["스트림 색인 1 의 " + ("후보 '1' 를" if named else "항목을") + " 읽다가 났다"]


@pytest.mark.parametrize(
    "configure, item",
    [
        (lambda e: None, {"id": 1, "scores": [1], "groups": None}),
        (lambda e: None, {"id": 1, "scores": [1], "cost": "garbage"}),
        (lambda e: e.coverage_objective(), {"id": 1, "scores": [1], "cover": None}),
        (lambda e: e.coverage_objective(), {"id": 1, "scores": [1]}),
        (lambda e: e.max_per_group("lang", 1), {"id": 1, "scores": [1]}),
        (lambda e: e.max_per_group("lang", 1), {"id": 1, "scores": [1], "groups": {"other": BadStr()}}),
        (lambda e: e.budget_tokens(10), {"id": 1, "scores": [1], "cost": None}),
    ],
)
def test_keys_not_in_use_or_absent_are_accepted(configure, item):
    e = engine()
    configure(e)
    assert len(e.run([item]).ranked) == 1


@pytest.mark.parametrize(
    "configure, item, exc, message",
    [
        (lambda e: e.max_per_group("lang", 1), {"groups": None}, ValueError, MSG_GROUPS),
        (lambda e: e.require_at_least("lang", "ko", 0), {"groups": ["ko"]}, ValueError, MSG_GROUPS),
        (lambda e: e.max_per_group("lang", 1), {"groups": {"lang": BadStr()}}, KeyError, None),
        (lambda e: e.coverage_objective(), {"cover": 5}, ValueError, MSG_COVER),
        (lambda e: e.coverage_objective(), {"cover": ["x", BadStr()]}, KeyError, None),
        (lambda e: e.budget_tokens(10), {"cost": -1}, OverflowError, None),
        (lambda e: e.budget_tokens(10), {"cost": 1.5}, TypeError, None),
    ],
)
def test_keys_in_use_are_checked(configure, item, exc, message):
    e = engine()
    configure(e)
    with pytest.raises(exc) as info:
        e.run([{"id": 1, "scores": [1], **item}])
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


# ---------------------------------------------------------------- groups, cost, cover


def test_group_limit_reads_the_group_text():
    e = engine()
    e.max_per_group("lang", 1)
    langs = [1, "1", 2, None, None]
    out = e.run([{"id": i, "scores": [1 - i / 10], "groups": {"lang": lang}} for i, lang in enumerate(langs)])
    # 1 and "1" are the same group text; a value of None is no group, so it is not limited
    assert [r.id for r in out.ranked] == ["0", "2", "3", "4"]


def test_a_key_in_two_constraints_is_read_twice():
    calls = []

    class Lang:
        def __str__(self):
            calls.append(1)
            return "ko"

    e = engine()
    e.max_per_group("lang", 5)
    e.require_at_least("lang", "ko", 1)
    e.run([{"id": 1, "scores": [1], "groups": {"lang": Lang()}}])
    assert len(calls) == 2


def test_cover_items_are_their_str():
    e = engine()
    e.budget_top_k(2)
    e.coverage_objective()
    out = e.run(
        [
            {"id": 1, "scores": [0.9], "cover": ["x", 1]},
            {"id": 2, "scores": [0.8], "cover": ("1", "x")},
            {"id": 3, "scores": [0.7], "cover": "xy"},
        ]
    )
    # 2 covers nothing new once 1 is chosen; 3's "y" is new
    assert [r.id for r in out.ranked] == ["1", "3"]


# ---------------------------------------------------------------- the stream


def test_stream_goes_on_after_a_malformed_item_then_raises_its_error():
    seen = []

    def fn(xs):
        seen.extend(x["id"] for x in xs)
        return [0.5] * len(xs)

    e = engine()
    e.scorer("slow", cost="expensive", fn=fn)
    items = [{"id": 1, "scores": [0.1]}, {"id": 2, "scores": None}] + [{"id": i, "scores": [0.1]} for i in (3, 4, 5)]
    with pytest.raises(ValueError) as info:
        e.run(items)
    assert str(info.value) == MSG_SCORES
    assert sorted(seen) == [1, 3, 4, 5]


def test_first_malformed_item_wins():
    items = [{"id": 1}, {"scores": [1]}, {"id": 3, "scores": 7}, 4]
    with pytest.raises(ValueError) as info:
        engine().run(items)
    assert str(info.value) == MSG_NO_ID


def test_generator_is_consumed_one_item_per_pull():
    log = []

    class Score:
        def __init__(self, i):
            self.i = i

        def __float__(self):
            log.append(("read", self.i))
            return self.i / 10

    def gen():
        for i in range(4):
            log.append(("yield", i))
            yield {"id": i, "scores": [Score(i)]}

    engine().run(gen())
    assert log == [(kind, i) for i in range(4) for kind in ("yield", "read")]


def test_iterator_that_keeps_raising_is_pulled_no_more():
    class Broken:
        def __init__(self):
            self.pulls = 0

        def __iter__(self):
            return self

        def __next__(self):
            self.pulls += 1
            if self.pulls <= 2:
                return {"id": self.pulls, "scores": [0.5]}
            if self.pulls > 10:  # bounds the test should the stream not end
                raise StopIteration
            raise ValueError(f"pull {self.pulls}")

    it = Broken()
    with pytest.raises(ValueError, match="pull 3"):
        engine().run(it)
    assert it.pulls == 3


def test_reader_error_comes_first_even_when_the_iterator_raises_later():
    def gen():
        yield {"id": 1, "scores": "bad"}
        raise ValueError("later")

    with pytest.raises(TypeError):
        engine().run(gen())


def test_dict_subclass_items_are_read():
    class Item(dict):
        pass

    item = Item(id=3, scores={"a": 0.5})
    (ranked,) = engine().run([item]).ranked
    assert ranked.candidate is item
    assert ranked.scores == {"a": 0.5}
