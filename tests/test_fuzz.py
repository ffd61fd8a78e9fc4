"""Property tests over random configurations and candidate streams.

Hostile objects are mixed into everything a run reads: numbers whose
__float__ or __index__ raise or return the wrong type, objects whose __str__
fails, dict subclasses whose item protocol lies, dict keys whose __eq__
raises, sequences whose length disagrees with their items, scoring callbacks
that mutate the pool, return odd results or re-enter the engine, and
generators that raise midway.

Whatever happens the interpreter survives, and a run either raises the error
that the precedence rules pick (a non-Exception at once; else a configuration
fault, the engine's error, the first unreadable item, the first failing
callback) or returns an Outcome that is complete and consistent with the
configuration. A run leaves no reference behind either way. Runs over
well-formed items are also recomputed by a plain reference of the whole
pipeline (stage-1 pool, fusion, threshold, tail-mass K, selector and
requirement repair) and compared record by record, bit for bit.

VANTOREL_FUZZ_EXAMPLES sets the number of examples per property (default 60;
the long-stream property runs a sixth of that).
"""

import bisect
import collections.abc
import ctypes
import ctypes.util
import dataclasses
import gc
import json
import math
import os
import random
import struct
import sys
import threading
import time
import weakref
from collections import Counter

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from vantorel import Engine, EngineError

EXAMPLES = int(os.environ.get("VANTOREL_FUZZ_EXAMPLES", "60"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))

REASONS = ["not_scored", "unary_constraint", "set_constraint", "below_threshold", "outranked", "out_of_pool"]


def f32(x):
    try:
        return struct.unpack("f", struct.pack("f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def total_key(x):
    """Sort key of the IEEE 754 total order on 32-bit floats."""
    i = struct.unpack("<i", struct.pack("<f", x))[0]
    return i ^ 0x7FFFFFFF if i < 0 else i


# ---------------------------------------------------------------- hostile objects


class Hostile(Exception):
    """Raised by the hostile objects themselves."""


class Abort(BaseException):
    """Not an Exception (like KeyboardInterrupt): stops a run at once."""


LIVE = {}  # id -> weak reference of every hostile object still alive


def watch(o):
    key = id(o)
    LIVE[key] = weakref.ref(o, lambda _, key=key: LIVE.pop(key, None))
    return o


class Tracked:
    """Every instance is watched, so that a run that keeps one alive shows."""

    def __new__(cls, *args, **kwargs):
        return watch(super().__new__(cls))


class BadFloat(Tracked):
    def __float__(self):
        raise Hostile("__float__")


class WrongFloat(Tracked):
    def __float__(self):
        return "0.5"


class IndexOnly(Tracked):
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class AbortIndex(Tracked):
    def __index__(self):
        raise Abort("__index__")


class WrongIndex(Tracked):
    def __index__(self):
        return 0.5


class BadIndexStr(Tracked):
    """__index__ raises; __str__ gives `text`, or raises when it is None."""

    def __init__(self, text):
        self.text = text

    def __index__(self):
        raise Hostile("__index__")

    def __str__(self):
        if self.text is None:
            raise Hostile("__str__")
        return self.text


class BadStr(Tracked):
    def __str__(self):
        raise Hostile("__str__")


class WrongStr(Tracked):
    def __str__(self):
        return 5


class GoodStr(Tracked):
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class IntSub(int):
    def __float__(self):
        raise Hostile("__float__ of an int subclass")


class FloatSub(float):
    def __float__(self):
        raise Hostile("__float__ of a float subclass")


class StrSub(str):
    def __str__(self):
        raise Hostile("__str__ of a str subclass")


class OddDict(dict):
    """A dict whose Python-level item protocol lies or raises."""

    def __new__(cls, *args, **kwargs):
        return watch(super().__new__(cls, *args, **kwargs))

    def __getitem__(self, key):
        raise Hostile("__getitem__ of a dict subclass")

    def get(self, key, default=None):
        raise Hostile("get of a dict subclass")

    def __contains__(self, key):
        raise Hostile("__contains__ of a dict subclass")

    def __len__(self):
        return 0

    def __iter__(self):
        return iter(())

    def keys(self):
        raise Hostile("keys of a dict subclass")


class EvilKey(Tracked):
    """A dict key that collides with `name` and refuses to be compared."""

    def __init__(self, name):
        self.h = hash(name)

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        raise Hostile("__eq__ of a colliding key")


class Seq(Tracked, collections.abc.Sequence):
    """A sequence whose __len__ may claim another length than it holds, and
    whose __getitem__ may raise at one index."""

    def __init__(self, items, claim=None, raise_at=None):
        self.items = list(items)
        self.claim = claim
        self.raise_at = raise_at

    def __len__(self):
        return len(self.items) if self.claim is None else self.claim

    def __getitem__(self, i):
        if isinstance(i, slice):
            return self.items[i]
        if i == self.raise_at:
            raise Hostile("__getitem__")
        if not 0 <= i < len(self.items):
            raise IndexError(i)
        return self.items[i]


class LyingList(list):
    """A list subclass whose __len__ claims another length."""

    def __new__(cls, *args, **kwargs):
        return watch(super().__new__(cls, *args, **kwargs))

    def __init__(self, items, claim):
        super().__init__(items)
        self.claim = claim

    def __len__(self):
        return self.claim


class Mutator(Tracked):
    """A number, index or text that empties its own container (set later as
    `target`) while it is being converted."""

    def __init__(self, value, text=None):
        self.value, self.text, self.target, self.fired = value, text, None, False

    def _clear(self):
        if self.target is not None:
            target, self.target, self.fired = self.target, None, True
            target.clear()

    def __float__(self):
        self._clear()
        return self.value

    def __index__(self):
        self._clear()
        return self.value

    def __str__(self):
        self._clear()
        return self.text


class Reenter(Tracked):
    """A score whose __float__ re-enters the running engine."""

    def __init__(self, ctx, value, configure):
        self.ctx, self.value, self.configure = ctx, value, configure

    def __float__(self):
        if self.configure:
            self.ctx.engine.threshold(0.5)  # refused while the run holds the engine
            self.ctx.violation("a configuration call succeeded during a run")
        self.ctx.reenter()
        return self.value


# ---------------------------------------------------------------- the run context


class Ctx:
    """What the callbacks and the stream share with the test: the engine,
    the nesting depth, the callbacks' outer calls and any broken rule seen
    from inside the run."""

    def __init__(self):
        self.engine = None
        self.running = True
        self.naxes = 0
        self.depth = 0
        self.calls = []
        self.violations = []

    def violation(self, text):
        self.violations.append(text)

    def small_stream(self):
        return [
            {"id": 10**6 + i, "scores": [0.5] * self.naxes, "groups": {}, "cover": [], "cost": 1}
            for i in range(3)
        ]

    def reenter(self):
        """repr, a configuration call and a nested run of the running engine."""
        if self.depth:
            return
        self.depth += 1
        try:
            if not repr(self.engine).startswith("Engine(axes="):
                self.violation("repr during a run")
            try:
                self.engine.pool_multiplier(2)
            except RuntimeError as exc:
                if str(exc) != "Already borrowed":
                    self.violation(f"configuration call during a run: {exc!r}")
            else:
                self.violation("a configuration call succeeded during a run")
            try:
                out = self.engine.run(self.small_stream())
            except (ValueError, TypeError, OverflowError, RuntimeError, IndexError, Hostile, EngineError):
                pass
            else:
                if not out.is_complete():
                    self.violation("a nested run is incomplete")
        finally:
            self.depth -= 1


# ---------------------------------------------------------------- descriptions


@dataclasses.dataclass
class Axis:
    name: str
    cost: str
    scale: str
    normalize: object
    normalize_range: object
    behaviour: object  # None: no fn; else the callback's behaviour


@dataclasses.dataclass
class Config:
    axes: list
    fusion: tuple
    missing: tuple
    unary: list
    groups: list
    total: object
    requirements: list
    coverage: bool
    budget: tuple
    threshold: object
    multiplier: int
    retention: tuple
    admission: object
    min_fit: object


@dataclasses.dataclass
class Cand:
    kind: str
    id: object
    scores: tuple
    groups: tuple
    cost: object
    cover: tuple
    callback_values: list


def weighted(*pairs):
    """One of the strategies, chosen with the given weights; shrinks towards
    the first."""
    total = sum(w for w, _ in pairs)

    def pick(i):
        for w, s in pairs:
            if i < w:
                return s
            i -= w
        raise AssertionError

    return st.integers(0, total - 1).flatmap(pick)


U32, U64 = 2**32 - 1, 2**64 - 1
AXIS_NAMES = ["a", "b", "c"]
GROUP_KEYS = ["g", "h"]
GROUP_VALUES = ["x", "y", "z"]
SPECIAL = [math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, 1e39, 1e-45, 3.0]
floats = weighted((4, st.floats(-2, 2, width=32)), (1, st.sampled_from(SPECIAL)))
small_floats = st.floats(-1, 2, width=32)

BENIGN_BEHAVIOURS = ["list", "tuple", "seq", "mutate", "nested", "thread"]
HOSTILE_BEHAVIOURS = [
    "gen", "none", "dict", "raise", "short", "long", "badelem", "wrongelem",
    "lying_long", "lying_short", "neg_len", "huge_len", "str", "badget", "abort",
    "shrinking",
]  # fmt: skip


@st.composite
def configs(draw):
    n = draw(st.integers(1, 3))
    names = AXIS_NAMES[:n]
    hostile_callbacks = draw(st.booleans())
    behaviours = BENIGN_BEHAVIOURS + (HOSTILE_BEHAVIOURS if hostile_callbacks else [])
    axes = []
    for i in range(n):
        name = draw(weighted((19, st.just(names[i])), (1, st.sampled_from(names))))
        cost = draw(st.sampled_from(["cheap", "cheap", "expensive"]))
        scale = draw(st.sampled_from(["unit", "unit", "unit", "unbounded", "rank"]))
        normalize = draw(st.sampled_from([None, None, "sigmoid", "clamp01", "minmax"]))
        rng = draw(st.tuples(floats, floats)) if normalize == "minmax" else None
        behaviour = None
        if cost == "expensive":
            behaviour = draw(st.one_of(st.none(), st.sampled_from(behaviours)))
        axes.append(Axis(name, cost, scale, normalize, rng, behaviour))
    axis_name = weighted((9, st.sampled_from(names)), (1, st.just("zz")))
    fusion = draw(
        st.one_of(
            st.tuples(st.just("rrf"), st.one_of(st.none(), floats)),
            st.tuples(
                st.just("weighted_sum"),
                st.one_of(
                    st.none(),
                    st.dictionaries(axis_name, small_floats, max_size=3),
                    st.lists(st.tuples(axis_name, small_floats), max_size=3),
                ),
            ),
            st.tuples(st.just("max")),
        )
    )
    missing = draw(
        st.one_of(st.tuples(st.just("skip")), st.tuples(st.just("impute"), floats), st.tuples(st.just("reject")))
    )
    unary = draw(st.lists(st.tuples(axis_name, small_floats, st.sampled_from([None, "u1", "u2"])), max_size=2))
    groups = draw(
        st.lists(
            st.tuples(st.sampled_from(GROUP_KEYS), weighted((12, st.integers(1, 3)), (2, st.just(0)), (1, st.just(U64))),
                      st.sampled_from([None, "gl"])),
            max_size=2,
        )
    )  # fmt: skip
    total = draw(
        st.one_of(st.none(), st.tuples(weighted((20, st.integers(0, 5)), (1, st.just(U64))), st.sampled_from([None, "cap"])))
    )
    requirement = st.tuples(
        st.sampled_from(GROUP_KEYS),
        st.sampled_from(GROUP_VALUES),
        weighted((20, st.integers(0, 2)), (1, st.just(U64))),
        st.sampled_from([None, "req"]),
    )
    requirements = draw(weighted((3, st.just([])), (1, st.lists(requirement, min_size=1, max_size=2))))
    budget = draw(
        st.one_of(
            st.tuples(st.just("top_k"), weighted((18, st.integers(1, 6)), (2, st.just(0)), (1, st.just(U32)))),
            st.tuples(st.just("tokens"), weighted((20, st.integers(0, 30)), (1, st.just(U32)))),
            st.tuples(
                st.just("tail_mass"),
                weighted((9, st.floats(0, 0.99)), (1, st.sampled_from([1.0, -0.1, math.nan]))),
                weighted((20, st.integers(0, 6)), (1, st.just(U32))),
            ),
        )
    )
    cfg = Config(
        axes=axes,
        fusion=fusion,
        missing=missing,
        unary=unary,
        groups=groups,
        total=total,
        requirements=requirements,
        coverage=draw(st.booleans()),
        budget=budget,
        threshold=draw(st.one_of(st.none(), floats)),
        multiplier=draw(weighted((18, st.integers(1, 3)), (2, st.just(0)), (1, st.just(U32)))),
        retention=draw(
            weighted(
                (6, st.just(("keep",))),
                (1, st.just(("count",))),
                (1, st.tuples(st.just("sample"), st.integers(0, 5))),
            )
        ),
        admission=draw(st.one_of(st.none(), axis_name)),
        min_fit=draw(st.one_of(st.none(), st.floats(0, 1.2))),
    )
    if draw(weighted((6, st.just(True)), (1, st.just(False)))):
        make_valid(cfg)
    return cfg


def make_valid(cfg):
    """Removes every configuration fault that a run would report."""
    names = AXIS_NAMES[: len(cfg.axes)]
    for name, a in zip(names, cfg.axes):
        a.name = name
        if cfg.fusion[0] != "rrf" and a.normalize is None:
            a.scale = "unit"
    if cfg.fusion[0] == "weighted_sum" and cfg.fusion[1] is not None:
        w = cfg.fusion[1]
        w = {k: v for k, v in w.items() if k in names} if isinstance(w, dict) else [p for p in w if p[0] in names]
        cfg.fusion = ("weighted_sum", w)
    if cfg.admission not in names or cfg.axes[names.index(cfg.admission)].cost == "expensive":
        cfg.admission = None
    if cfg.fusion[0] == "rrf" and all(a.cost == "expensive" for a in cfg.axes):
        cfg.axes[0].cost, cfg.axes[0].behaviour = "cheap", None
    cfg.unary = [(axis if axis in names else names[0], m, i) for axis, m, i in cfg.unary]
    cfg.multiplier = max(cfg.multiplier, 1)
    if cfg.budget[0] == "top_k":
        cfg.budget = ("top_k", max(cfg.budget[1], 1))
    if cfg.budget[0] == "tail_mass" and not 0 <= cfg.budget[1] < 1:
        cfg.budget = ("tail_mass", 0.5, cfg.budget[2])


TEXTS = ["", "a", "x", "y", "z", "한글", 'q"\\\t\x01', "nul\x00"]


def score_values(h):
    benign = weighted(
        (8, floats.map(lambda x: ("f", x))),
        (2, st.just(("none",))),
        (1, st.integers(-3, 3).map(lambda n: ("i", n))),
        (1, st.booleans().map(lambda b: ("b", b))),
        (1, st.integers(0, 3).map(lambda n: ("index", n))),
        (1, small_floats.map(lambda x: ("reenter", x))),
        (1, small_floats.map(lambda x: ("mutator", x))),
    )
    hostile = st.sampled_from(
        [("i", 10**400), ("s", "0.5"), ("badfloat",), ("wrongfloat",), ("wrongindex",), ("isub", 2), ("fsub", 0.25),
         ("reenter_config",)]
    )  # fmt: skip
    return benign if h == 0 else weighted((12 if h == 1 else 3, benign), (1, hostile))


def texts(h):
    benign = weighted(
        (6, st.sampled_from(GROUP_VALUES).map(lambda t: ("s", t))),
        (1, st.just(("none",))),
        (1, st.integers(0, 3).map(lambda n: ("i", n))),
        (1, st.sampled_from(TEXTS).map(lambda t: ("goodstr", t))),
        (1, st.sampled_from(GROUP_VALUES).map(lambda t: ("mutstr", t))),
    )
    hostile = st.sampled_from([("badstr",), ("wrongstr",), ("strsub", "x"), ("sur",)])
    return benign if h == 0 else weighted((12 if h == 1 else 3, benign), (1, hostile))


def ids(h):
    benign = weighted(
        (6, st.integers(0, 20).map(lambda n: ("i", n))),
        (2, st.sampled_from(TEXTS).map(lambda t: ("s", t))),
        (1, st.sampled_from([-7, 2**64 - 1, 2**64]).map(lambda n: ("i", n))),
        (1, st.sampled_from([("b", True), ("f", 1.0), ("none",), ("index", 4), ("index", -1), ("isub", 9)])),
        (1, st.sampled_from(TEXTS).map(lambda t: ("badindex_str", t))),
        (1, st.integers(0, 20).map(lambda n: ("mutid", n))),
    )
    hostile = st.sampled_from([("sur",), ("badindex_badstr",), ("wrongstr",), ("strsub", "s"), ("absent",), ("abort",)])
    return benign if h == 0 else weighted((12 if h == 1 else 3, benign), (1, hostile))


def sequences(h, elements):
    benign = st.tuples(st.sampled_from(["list", "tuple", "seq"]), st.lists(elements, max_size=4))
    if h == 0:
        return benign.map(lambda t: ("seq", t[0], t[1], None, None))
    hostile = st.tuples(
        st.sampled_from(["seq", "lsub"]),
        st.lists(elements, max_size=4),
        st.integers(-1, 6),
        st.one_of(st.none(), st.integers(0, 3)),
    ).map(lambda t: ("seq", t[0], t[1], t[2], t[3] if t[0] == "seq" else None))
    return weighted((4, benign.map(lambda t: ("seq", t[0], t[1], None, None))), (1, hostile))


@st.composite
def score_sets(draw, h):
    kinds = [(6, "dict"), (3, "seq"), (1, "absent")]
    if h:
        kinds += [(1, "odd"), (1, "evil"), (1, "none"), (1, "int"), (1, "str")]
    kind = draw(weighted(*[(w, st.just(k)) for w, k in kinds]))
    if kind in ("dict", "odd", "evil"):
        entries = draw(st.lists(st.tuples(st.sampled_from(AXIS_NAMES + ["zz"]), score_values(h)), max_size=4))
        evil = draw(st.sampled_from(AXIS_NAMES)) if kind == "evil" else None
        if evil in [k for k, _ in entries]:
            evil = None
        return ("dict", entries, kind == "odd", evil)
    if kind == "seq":
        return draw(sequences(h, score_values(h)))
    if kind == "str":
        return ("str", draw(st.sampled_from(["", "ab"])))
    return (kind,)


@st.composite
def group_sets(draw, h):
    kinds = [(6, "dict"), (1, "absent")]
    if h:
        kinds += [(1, "odd"), (1, "none"), (1, "list")]
    kind = draw(weighted(*[(w, st.just(k)) for w, k in kinds]))
    if kind in ("dict", "odd"):
        entries = draw(st.lists(st.tuples(st.sampled_from(GROUP_KEYS + ["k"]), texts(h)), max_size=3))
        return ("dict", entries, kind == "odd")
    return (kind,)


@st.composite
def cover_sets(draw, h):
    kinds = [(4, "seq"), (1, "absent"), (1, "none")]
    if h:
        kinds += [(1, "int"), (1, "dict"), (1, "str")]
    kind = draw(weighted(*[(w, st.just(k)) for w, k in kinds]))
    if kind == "seq":
        return draw(sequences(h, texts(h)))
    if kind == "str":
        return ("str", draw(st.sampled_from(["", "xy"])))
    return (kind,)


def costs(h):
    benign = weighted(
        (6, st.integers(0, 12).map(lambda n: ("i", n))),
        (1, st.sampled_from([("none",), ("absent",), ("b", True), ("index", 3)])),
    )
    hostile = st.sampled_from(
        [("i", -1), ("i", 2**32), ("f", 1.5), ("s", "3"), ("badindex",), ("wrongindex",), ("index", -2)]
    )
    return benign if h == 0 else weighted((12 if h == 1 else 3, benign), (1, hostile))


callback_values = weighted(
    (6, floats.map(lambda x: ("f", x))),
    (1, st.just(("none",))),
    (1, st.integers(-2, 2).map(lambda n: ("i", n))),
    (1, st.integers(0, 2).map(lambda n: ("index", n))),
)


@st.composite
def candidates(draw, h):
    kind = draw(weighted((12, st.just("dict")), (1, st.just("odd"))) if h == 0 else
                weighted((12, st.just("dict")), (2, st.just("odd")), (1, st.sampled_from(["list", "tuple"]))))  # fmt: skip
    return Cand(
        kind=kind,
        id=draw(ids(h)),
        scores=draw(score_sets(h)),
        groups=draw(group_sets(h)),
        cost=draw(costs(h)),
        cover=draw(cover_sets(h)),
        callback_values=draw(st.lists(callback_values, min_size=3, max_size=3)),
    )


@st.composite
def scenarios(draw):
    cfg = draw(configs())
    h = draw(st.sampled_from([0, 0, 0, 1, 1, 2]))
    cands = draw(st.lists(candidates(h), max_size=10))
    raise_at = None
    if h:
        raise_at = draw(st.one_of(st.none(), st.tuples(st.integers(0, len(cands)), st.sampled_from([Hostile, Abort]))))
    action = draw(st.one_of(st.none(), st.tuples(st.integers(0, len(cands)), st.sampled_from(["repr", "reenter", "thread"]))))
    return cfg, cands, raise_at, action


# ---------------------------------------------------------------- building objects and their expected reading

# A status is ("ok", value), ("err", exception type) or ("maybe", exception
# type, value): the last for objects on which two readings of the description
# are defensible (a float subclass whose __float__ raises, a dict subclass
# whose __getitem__ raises).


def make_score(desc, ctx):
    tag = desc[0]
    if tag == "f":
        return desc[1], ("ok", f32(desc[1]))
    if tag == "i":
        try:
            return desc[1], ("ok", f32(float(desc[1])))
        except OverflowError:
            return desc[1], ("err", OverflowError)
    if tag == "b":
        return desc[1], ("ok", float(desc[1]))
    if tag == "none":
        return None, ("ok", None)
    if tag == "index":
        return IndexOnly(desc[1]), ("ok", f32(desc[1]))
    if tag == "reenter":
        return Reenter(ctx, desc[1], False), ("ok", f32(desc[1]))
    if tag == "mutator":
        return Mutator(desc[1]), ("ok", f32(desc[1]))
    if tag == "reenter_config":
        return Reenter(ctx, 0.5, True), ("err", RuntimeError)
    if tag == "s":
        return desc[1], ("err", TypeError)
    if tag == "badfloat":
        return BadFloat(), ("err", Hostile)
    if tag == "wrongfloat":
        return WrongFloat(), ("err", TypeError)
    if tag == "wrongindex":
        return WrongIndex(), ("err", TypeError)
    if tag == "isub":
        return IntSub(desc[1]), ("err", Hostile)
    if tag == "fsub":
        return FloatSub(desc[1]), ("maybe", Hostile, f32(desc[1]))
    raise AssertionError(desc)


def make_text(desc):
    tag = desc[0]
    if tag == "s":
        return desc[1], ("ok", desc[1])
    if tag == "i":
        return desc[1], ("ok", str(desc[1]))
    if tag == "none":
        return None, ("ok", None)
    if tag == "goodstr":
        return GoodStr(desc[1]), ("ok", desc[1])
    if tag == "mutstr":
        return Mutator(None, desc[1]), ("ok", desc[1])
    if tag == "badstr":
        return BadStr(), ("err", Hostile)
    if tag == "wrongstr":
        return WrongStr(), ("err", TypeError)
    if tag == "strsub":
        return StrSub(desc[1]), ("err", Hostile)
    if tag == "sur":
        return "\udc80x", ("err", UnicodeEncodeError)
    raise AssertionError(desc)


def make_id(desc):
    """The object and its status; an ok value is (kind, number or text)."""
    tag = desc[0]
    if tag == "i":
        n = desc[1]
        return n, ("ok", (0, n) if 0 <= n < 2**64 else (1, str(n)))
    if tag == "b":
        return desc[1], ("ok", (0, int(desc[1])))
    if tag == "s":
        return desc[1], ("ok", (1, desc[1]))
    if tag == "f":
        return desc[1], ("ok", (1, str(desc[1])))
    if tag == "none":
        return None, ("ok", (1, "None"))
    if tag == "index":
        o = IndexOnly(desc[1])
        return o, ("ok", (0, desc[1]) if desc[1] >= 0 else (1, str(o)))
    if tag == "isub":
        return IntSub(desc[1]), ("ok", (0, desc[1]))
    if tag == "badindex_str":
        return BadIndexStr(desc[1]), ("ok", (1, desc[1]))
    if tag == "mutid":
        return Mutator(desc[1]), ("ok", (0, desc[1]))
    if tag == "badindex_badstr":
        return BadIndexStr(None), ("err", Hostile)
    if tag == "abort":
        return AbortIndex(), ("err", Abort)
    if tag == "wrongstr":
        return WrongStr(), ("err", TypeError)
    if tag == "strsub":
        return StrSub(desc[1]), ("err", Hostile)
    if tag == "sur":
        return "\udc80", ("err", UnicodeEncodeError)
    raise AssertionError(desc)


def make_cost(desc):
    tag = desc[0]
    if tag == "i":
        n = desc[1]
        return n, ("ok", n) if 0 <= n < 2**32 else ("err", OverflowError)
    if tag == "b":
        return desc[1], ("ok", int(desc[1]))
    if tag == "none":
        return None, ("ok", 0)
    if tag == "index":
        return IndexOnly(desc[1]), ("ok", desc[1]) if desc[1] >= 0 else ("err", OverflowError)
    if tag in ("f", "s"):
        return {"f": 1.5, "s": "3"}[tag], ("err", TypeError)
    if tag == "badindex":
        return BadIndexStr("x"), ("err", Hostile)
    if tag == "wrongindex":
        return WrongIndex(), ("err", TypeError)
    raise AssertionError(desc)


class _Stop(Exception):
    pass


class Reading:
    """Expected reading of one item: the first certain error, the exception
    types that might occur before it, and the values read."""

    def __init__(self):
        self.err = None
        self.maybe = set()

    def take(self, status):
        if status[0] == "ok":
            return status[1]
        if status[0] == "maybe":
            self.maybe.add(status[1])
            return status[2]
        self.fail(status[1])

    def fail(self, exc):
        self.err = exc
        raise _Stop


def make_sequence(desc, make):
    """A sequence from ("seq", kind, element descs, claim, raise_at): the
    object, and a reader over the element statuses."""
    _, kind, elems, claim, raise_at = desc
    made = [make(e) for e in elems]
    objs = [o for o, _ in made]
    statuses = [s for _, s in made]
    if kind == "list":
        obj = store = objs
    elif kind == "tuple":
        obj, store = tuple(objs), None
    elif kind == "lsub":
        obj = store = LyingList(objs, claim)
    else:
        obj = Seq(objs, claim, raise_at)
        store = obj.items
    for o in objs:
        if isinstance(o, Mutator):
            o.target = store

    def read(reading, limit):
        n = len(objs) if claim is None else claim
        if n < 0:
            reading.fail(ValueError)
        if limit is not None:
            n = min(n, limit)
        out = []
        size = len(objs)
        for i in range(n):
            if i == raise_at:
                reading.fail(Hostile)
            if i >= size:
                reading.fail(IndexError)
            out.append(reading.take(statuses[i]))
            if isinstance(objs[i], Mutator) and store is not None:
                size = 0
        return out

    return obj, read


@dataclasses.dataclass
class Model:
    obj: object
    err: object
    maybe: set
    key: tuple = None  # (0, number) or (1, text)
    raw: list = None  # the candidate's own value per axis (f32, NaN kept) or None
    groups: list = None
    cost: int = 0
    cover: list = None
    callback_values: list = None
    id_obj: object = None

    @property
    def id_text(self):
        return str(self.key[1])

    @property
    def order_key(self):
        kind, v = self.key
        return (kind, v if kind == 0 else v.encode("utf-8"))


def group_key_list(cfg):
    return [g[0] for g in cfg.groups] + [r[0] for r in cfg.requirements]


def build_candidate(c, cfg, ctx):
    """The Python object for a description and the model of its reading."""
    names = [a.name for a in cfg.axes]
    keys = group_key_list(cfg)
    reading = Reading()
    parts = {}

    # id
    id_obj, id_status = make_id(c.id) if c.id[0] != "absent" else (None, None)
    if c.id[0] != "absent":
        parts["id"] = id_obj

    # scores
    s = c.scores
    read_scores = None
    if s[0] == "dict":
        _, entries, odd, evil = s
        made = {name: make_score(v, ctx) for name, v in entries}
        d = OddDict() if odd else {}
        for name, (o, _) in made.items():
            dict.__setitem__(d, name, o)
        if evil:
            dict.__setitem__(d, EvilKey(evil), 1.0)
        for o, _ in made.values():
            if isinstance(o, Mutator):
                o.target = d
        parts["scores"] = d

        def read_scores(r):
            if odd:
                r.maybe.add(Hostile)
            raw = []
            cleared = False
            for name in names:
                if name in made and not cleared:
                    raw.append(r.take(made[name][1]))
                    cleared = isinstance(made[name][0], Mutator)
                elif name == evil and not cleared:
                    r.fail(Hostile)
                else:
                    raw.append(None)
            return raw

    elif s[0] == "seq":
        obj, read = make_sequence(s, lambda v: make_score(v, ctx))
        parts["scores"] = obj

        def read_scores(r):
            raw = read(r, len(names))
            return raw + [None] * (len(names) - len(raw))

    elif s[0] == "str":
        parts["scores"] = s[1]

        def read_scores(r):
            if s[1]:
                r.fail(TypeError)
            return [None] * len(names)

    elif s[0] in ("none", "int"):
        parts["scores"] = None if s[0] == "none" else 5

        def read_scores(r):
            r.fail(ValueError)

    else:

        def read_scores(r):
            return [None] * len(names)

    # groups
    g = c.groups
    if g[0] == "dict":
        _, entries, odd = g
        made_groups = {k: make_text(v) for k, v in entries}
        d = OddDict() if odd else {}
        for k, (o, _) in made_groups.items():
            dict.__setitem__(d, k, o)
            if isinstance(o, Mutator):
                o.target = d
        parts["groups"] = d
    elif g[0] in ("none", "list"):
        parts["groups"] = None if g[0] == "none" else ["x"]

    def read_groups(r):
        if not keys:
            return []
        if g[0] == "absent":
            return [None] * len(keys)
        if g[0] != "dict":
            r.fail(ValueError)
        if g[2]:
            r.maybe.add(Hostile)
        out = []
        cleared = False
        for k in keys:
            if k in made_groups and not cleared:
                out.append(r.take(made_groups[k][1]))
                cleared = isinstance(made_groups[k][0], Mutator)
            else:
                out.append(None)
        return out

    # cost
    cost_status = None
    if c.cost[0] != "absent":
        parts["cost"], cost_status = make_cost(c.cost)

    def read_cost(r):
        if cfg.budget[0] != "tokens" or cost_status is None:
            return 0
        return r.take(cost_status)

    # cover
    v = c.cover
    read_cover_seq = None
    if v[0] == "seq":
        parts["cover"], read_cover_seq = make_sequence(v, make_text)
    elif v[0] == "str":
        parts["cover"] = v[1]
    elif v[0] in ("none", "int", "dict"):
        parts["cover"] = {"none": None, "int": 7, "dict": {"x": 1}}[v[0]]

    def read_cover(r):
        if not cfg.coverage or v[0] in ("absent", "none"):
            return []
        if v[0] in ("int", "dict"):
            r.fail(ValueError)
        if v[0] == "str":
            return list(v[1])
        return ["None" if t is None else t for t in read_cover_seq(r, None)]

    if c.id[0] == "abort" and c.kind == "odd":
        c = dataclasses.replace(c, kind="dict")
    if c.kind in ("dict", "odd"):
        obj = OddDict() if c.kind == "odd" else {}
        for k, o in parts.items():
            dict.__setitem__(obj, k, o)
        if isinstance(id_obj, Mutator):
            id_obj.target = obj
    else:
        obj = [parts] if c.kind == "list" else (parts,)

    model = Model(obj=obj, err=None, maybe=reading.maybe, id_obj=id_obj)
    try:
        if c.kind not in ("dict", "odd"):
            reading.fail(ValueError)
        if c.kind == "odd":
            reading.maybe.add(Hostile)
        if id_status is None:
            reading.fail(ValueError)
        model.key = reading.take(id_status)
        if isinstance(id_obj, Mutator):
            # The item was emptied while its id was read: nothing else is there.
            model.raw, model.groups, model.cost, model.cover = [None] * len(names), [None] * len(keys), 0, []
        else:
            model.raw = read_scores(reading)
            model.groups = read_groups(reading)
            model.cost = read_cost(reading)
            model.cover = read_cover(reading)
    except _Stop:
        model.err = reading.err
    model.callback_values = [make_score(d, ctx) for d in c.callback_values]
    return model


# ---------------------------------------------------------------- callbacks


def make_callback(ctx, axis_index, behaviour, table):
    """A scoring callback. Only its outermost call misbehaves and is recorded
    (with the error it should cause); a nested run's calls return 0.5s."""

    def fn(xs):
        if ctx.depth:
            return [0.5] * len(xs)
        n = len(xs)
        values = [table[id(x)][axis_index][0] if id(x) in table else 0.5 for x in xs]
        call = {"axis": axis_index, "n": n, "pool": [id(x) for x in xs], "expected": None, "returned": None}
        ctx.calls.append(call)

        def length(m):
            if m != n:
                call["expected"] = "length"
                call["returned"] = m

        if behaviour in ("list", "mutate", "nested"):
            result = list(values)
            if behaviour == "mutate":
                for i, x in enumerate(xs):
                    if isinstance(x, dict):
                        [dict.clear, lambda d: dict.__setitem__(d, "scores", None),
                         lambda d: dict.__setitem__(d, "groups", 5), lambda d: dict.pop(d, "id", None)][i % 4](x)  # fmt: skip
                xs.clear()
                xs.append("junk")
            if behaviour == "nested":
                ctx.reenter()
            return result
        if behaviour == "thread":
            other = threading.Thread(target=ctx.reenter)
            other.start()
            other.join()
            return values
        if behaviour == "tuple":
            return tuple(values)
        if behaviour == "seq":
            return Seq(values)
        if behaviour == "gen":
            call["expected"] = ValueError
            return (v for v in values)
        if behaviour == "none":
            call["expected"] = ValueError
            return None
        if behaviour == "dict":
            call["expected"] = ValueError
            return {i: v for i, v in enumerate(values)}
        if behaviour == "raise":
            call["expected"] = Hostile
            raise Hostile("callback")
        if behaviour == "abort":
            call["expected"] = "abort"
            raise Abort("callback")
        if behaviour == "shrinking":
            # The first element empties the list while it is converted.
            if n < 2:
                return values
            call["expected"] = IndexError
            result = [Mutator(0.5)] + values[1:]
            result[0].target = result
            return result
        if behaviour == "short":
            length(max(n - 1, 0))
            return values[:-1]
        if behaviour == "long":
            length(n + 1)
            return values + [0.5]
        if behaviour in ("badelem", "wrongelem"):
            if n:
                call["expected"] = Hostile if behaviour == "badelem" else TypeError
                return [BadFloat() if behaviour == "badelem" else "x"] + values[1:]
            return values
        if behaviour == "lying_long":
            call["expected"] = IndexError
            return Seq(values, claim=n + 2)
        if behaviour == "lying_short":
            length(max(n - 1, 0))
            return Seq(values, claim=max(n - 1, 0))
        if behaviour == "neg_len":
            call["expected"] = ValueError
            return Seq(values, claim=-1)
        if behaviour == "huge_len":
            call["expected"] = IndexError
            return Seq([], claim=2**62)
        if behaviour == "str":
            if n:
                call["expected"] = TypeError
            return "x" * n
        if behaviour == "badget":
            if n:
                call["expected"] = Hostile
            return Seq(values, raise_at=n - 1)
        raise AssertionError(behaviour)

    return fn


# ---------------------------------------------------------------- configuring and predicting validation


def configure(cfg, ctx, table):
    e = Engine()
    fns = []
    for i, a in enumerate(cfg.axes):
        fn = make_callback(ctx, i, a.behaviour, table) if a.behaviour else None
        fns.append(fn)
        e.scorer(a.name, scale=a.scale, cost=a.cost, normalize=a.normalize, normalize_range=a.normalize_range, fn=fn)
    kind = cfg.fusion[0]
    if kind == "rrf":
        e.fuse("rrf", k=cfg.fusion[1])
    elif kind == "weighted_sum":
        e.fuse("weighted_sum", weights=cfg.fusion[1])
    else:
        e.fuse("max")
    e.missing(*cfg.missing[:1], **({"value": cfg.missing[1]} if cfg.missing[0] == "impute" else {}))
    for axis, minimum, cid in cfg.unary:
        e.unary_min(axis, minimum, id=cid)
    for key, maximum, cid in cfg.groups:
        e.max_per_group(key, maximum, id=cid)
    if cfg.total:
        e.max_total(cfg.total[0], id=cfg.total[1])
    for key, value, n, cid in cfg.requirements:
        e.require_at_least(key, value, n, id=cid)
    if cfg.coverage:
        e.coverage_objective()
    b = cfg.budget
    {"top_k": e.budget_top_k, "tokens": e.budget_tokens, "tail_mass": e.budget_tail_mass}[b[0]](*b[1:])
    if cfg.threshold is not None:
        e.threshold(cfg.threshold)
    e.pool_multiplier(cfg.multiplier)
    if cfg.retention[0] == "sample":
        e.rejections("sample", n=cfg.retention[1])
    else:
        e.rejections(cfg.retention[0])
    if cfg.admission is not None:
        e.admission(cfg.admission)
    if cfg.min_fit is not None:
        e.min_fit(cfg.min_fit)
    return e, fns


def weight_names(cfg):
    w = cfg.fusion[1]
    if w is None:
        return []
    return list(w) if isinstance(w, dict) else [name for name, _ in w]


def config_is_valid(cfg):
    names = [a.name for a in cfg.axes]
    if any(axis not in names for axis, _, _ in cfg.unary):
        return False
    kind = cfg.fusion[0]
    if len(set(names)) != len(names):
        return False
    if kind != "rrf" and any(a.scale != "unit" and a.normalize is None for a in cfg.axes):
        return False
    if kind == "weighted_sum" and any(name not in names for name in weight_names(cfg)):
        return False
    if cfg.admission is not None:
        if cfg.admission not in names or cfg.axes[names.index(cfg.admission)].cost == "expensive":
            return False
    elif kind == "rrf" and all(a.cost == "expensive" for a in cfg.axes):
        return False
    if cfg.multiplier == 0:
        return False
    b = cfg.budget
    if b[0] == "top_k" and b[1] == 0:
        return False
    if b[0] == "tail_mass" and not (0 <= f32(b[1]) < 1):
        return False
    return True


def pool_base(cfg):
    b = cfg.budget
    return {"top_k": lambda: b[1], "tokens": lambda: b[1], "tail_mass": lambda: max(b[2], 1)}[b[0]]()


def guarantee_table(cfg):
    """(exact, guarantee) when no requirement repair happened."""
    p = len(cfg.groups) + (1 if cfg.total else 0)
    tokens = cfg.budget[0] == "tokens"
    if not cfg.coverage:
        if not tokens:
            return (True, None) if p <= 1 else (False, f32(1 / p))
        return (False, 0.5) if p == 0 else (False, None)
    if not tokens:
        if p == 0:
            return False, f32(0.63212055)
        return (False, 0.5) if p == 1 else (False, f32(1 / (p + 1)))
    return (False, f32(0.31606027)) if p == 0 else (False, None)


# ---------------------------------------------------------------- 32-bit reference arithmetic

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.expf.restype = ctypes.c_float
_libm.expf.argtypes = [ctypes.c_float]


def fdiv(a, b):
    """IEEE division (Python raises on a zero divisor)."""
    if b == 0:
        if a == 0 or math.isnan(a):
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


def same(a, b):
    """Equal as 32-bit floats: the same bits, or both NaN."""
    if a is None or b is None:
        return a is b
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return struct.pack("<f", a) == struct.pack("<f", b)


def normalized(axis, x):
    """An axis's normaliser applied to a present value, in 32-bit arithmetic."""
    n = axis.normalize
    if n == "sigmoid":
        return f32(1.0 / f32(_libm.expf(-x) + 1.0))
    if n == "minmax":
        lo, hi = (f32(v) for v in axis.normalize_range)
        if hi <= lo:
            return 0.0
        x = f32(f32(x - lo) / f32(hi - lo))
    if n in ("clamp01", "minmax"):
        return 0.0 if x < 0 else 1.0 if x > 1 else x
    return x


def axis_weight(cfg, name):
    w = cfg.fusion[1]
    pairs = list(w.items()) if isinstance(w, dict) else list(w or [])
    if not pairs:
        return 1.0
    return next((f32(v) for k, v in pairs if k == name), 0.0)


def axis_values(cfg, m):
    """The value of every axis for a candidate as its scorer gives it
    (normalised; NaN counts as no value)."""
    scores = []
    for i, a in enumerate(cfg.axes):
        v = m.callback_values[i][1][1] if a.behaviour else m.raw[i]
        v = None if v is None else normalized(a, v)
        scores.append(None if v is None or math.isnan(v) else v)
    return scores


def admission_key(cfg, m):
    """The stage-1 key: the admission axis, else the first cheap axis under
    rank fusion, else the provisional score over the cheap axes."""
    values = axis_values(cfg, m)
    impute = f32(cfg.missing[1]) if cfg.missing[0] == "impute" else None
    names = [a.name for a in cfg.axes]
    axis = cfg.admission
    if axis is None and cfg.fusion[0] == "rrf":
        axis = next(a.name for a in cfg.axes if a.cost == "cheap")
    if axis is not None:
        v = values[names.index(axis)]
        return v if v is not None else impute if impute is not None else -math.inf
    taking_part = [
        (a.name, impute if v is None else v)
        for a, v in zip(cfg.axes, values)
        if a.cost == "cheap" and (v is not None or impute is not None)
    ]
    if not taking_part:
        return -math.inf
    if cfg.fusion[0] == "max":
        best = None
        for _, v in taking_part:
            if best is None or (math.isnan(best) and not math.isnan(v)) or v > best:
                best = v
        return best
    num = den = 0.0
    for name, v in taking_part:
        w = axis_weight(cfg, name)
        num, den = f32(num + f32(w * v)), f32(den + w)
    return f32(num / den) if den > 0 else 0.0


def check_fusion(cfg, ranked, m):
    """A chosen candidate's scores, terms and fused score, recomputed."""
    scores = axis_values(cfg, m)
    assert all(same(ranked.scores[a.name], v) for a, v in zip(cfg.axes, scores)), (ranked.scores, scores)

    method, policy = cfg.fusion[0], cfg.missing[0]
    impute = f32(cfg.missing[1]) if policy == "impute" else None
    terms = ranked.fusion["terms"]
    assert ranked.fusion["missing_policy"] == policy
    assert [t["scorer"] for t in terms] == [a.name for a in cfg.axes]
    if method == "rrf":
        k = f32(60.0 if cfg.fusion[1] is None else cfg.fusion[1])
        assert same(ranked.fusion["k"], k)
    total = 0.0
    if method == "weighted_sum":
        for a, v in zip(cfg.axes, scores):
            if v is not None or policy == "impute":
                total = f32(total + axis_weight(cfg, a.name))
    for a, v, t in zip(cfg.axes, scores, terms):
        if v is None and policy != "impute":
            assert (t["input"], t["value"], t["weight"], t["contribution"]) == ("skipped", None, 0.0, 0.0)
            continue
        value = impute if v is None else v
        if method == "rrf":
            assert t["input"] == "rank" and t["value"] == int(t["value"]) >= 1 and t["weight"] == 1.0
            assert same(t["contribution"], f32(fdiv(1.0, f32(k + t["value"]))))
            continue
        assert t["input"] == ("imputed" if v is None else "value") and same(t["value"], value)
        if method == "max":
            assert t["weight"] == 1.0 and same(t["contribution"], value)
        else:
            weight = f32(axis_weight(cfg, a.name) / total) if total > 0 else 0.0
            assert same(t["weight"], weight) and same(t["contribution"], f32(value * weight))

    taking_part = [t["contribution"] for t in terms if t["input"] != "skipped"]
    if method == "max":
        best = None
        for c in taking_part:
            if best is None or (math.isnan(best) and not math.isnan(c)) or c > best:
                best = c
        fused = 0.0 if best is None else best
    else:
        fused = -0.0
        for c in taking_part:
            fused = f32(fused + c)
    assert same(ranked.fused, fused), (ranked.fused, fused)


# ---------------------------------------------------------------- the property


def run_scenario(cfg, cands, raise_at, action):
    run_once(cfg, cands, raise_at, action)
    # Every hostile object of the example is gone with the example (a
    # container that was never emptied holds the mutator that would have).
    for ref in list(LIVE.values()):
        if isinstance(ref(), Mutator):
            ref().target = None
    if LIVE:
        event("collected")
        gc.collect()
    assert not LIVE, [r() for r in LIVE.values()]


def run_once(cfg, cands, raise_at, action):
    ctx = Ctx()
    ctx.naxes = len(cfg.axes)
    models = [build_candidate(c, cfg, ctx) for c in cands]
    table = {id(m.obj): m.callback_values for m in models}
    engine, fns = configure(cfg, ctx, table)
    ctx.engine = engine
    objs = [m.obj for m in models]
    pulled = []

    def stream():
        for i, m in enumerate(models):
            if action and action[0] == i:
                if action[1] == "repr":
                    repr(engine)
                elif action[1] == "thread":
                    other = threading.Thread(target=ctx.reenter)
                    other.start()
                    other.join()
                else:
                    ctx.reenter()
            if raise_at and raise_at[0] == i:
                raise raise_at[1]("generator")
            pulled.append(m)
            yield m.obj
        if raise_at and raise_at[0] == len(models):
            raise raise_at[1]("generator")

    counts_before = [sys.getrefcount(o) for o in objs]
    fn_counts_before = [sys.getrefcount(f) for f in fns if f is not None]
    gen = stream()
    started = []

    def tracked():
        started.append(True)
        yield from gen

    outcome = error = None
    try:
        outcome = engine.run(tracked())
    except (ValueError, TypeError, OverflowError, RuntimeError, IndexError, Hostile, EngineError, Abort) as exc:
        error = exc

    event("outcome" if error is None else type(error).__name__ + ("" if type(error) is not EngineError else str(error)[:6]))
    assert not ctx.violations, ctx.violations
    valid = config_is_valid(cfg)
    assert bool(started) == valid, (error, cfg)
    if not valid:
        assert isinstance(error, ValueError), error
    else:
        check_error_or_outcome(cfg, models, pulled, raise_at, ctx, error, outcome)

    # The engine is free again, and nothing the run touched is still held.
    engine.pool_multiplier(max(cfg.multiplier, 1))
    ctx.engine = None
    del outcome, error, gen
    # An id that emptied its own item let go of the item on the way.
    counts_expected = [
        n - (1 if isinstance(o, dict) and isinstance(m.id_obj, Mutator) and m.id_obj.fired else 0)
        for n, o, m in zip(counts_before, objs, models)
    ]
    assert [sys.getrefcount(o) for o in objs] == counts_expected
    assert [sys.getrefcount(f) for f in fns if f is not None] == fn_counts_before


def expected_reader_error(pulled, raise_at):
    """(allowed exception types, whether one of them certainly occurs)."""
    allowed = set()
    for m in pulled:
        allowed |= m.maybe
        if m.err:
            allowed.add(m.err)
            return allowed, True
    if raise_at is not None:
        allowed.add(raise_at[1])
        return allowed, True
    return allowed, False


def check_error_or_outcome(cfg, models, pulled, raise_at, ctx, error, outcome):
    # A stream that aborts (an item or the iterator raising a non-Exception)
    # stops at once: nothing after it is pulled, no callback is called.
    end = raise_at[0] if raise_at is not None else len(models)
    aborting = next((j for j, m in enumerate(models[:end]) if m.err is Abort), None)
    if aborting is not None or (raise_at is not None and raise_at[1] is Abort):
        assert len(pulled) == (aborting + 1 if aborting is not None else end)
        assert isinstance(error, Abort) and ctx.calls == [], (error, ctx.calls)
        return
    assert len(pulled) == end
    reader_allowed, reader_certain = expected_reader_error(pulled, raise_at)
    calls = ctx.calls
    # Each callback is called once, in registration order; a wrong length or
    # an abort stops the run.
    callback_axes = [i for i, a in enumerate(cfg.axes) if a.behaviour]
    assert [c["axis"] for c in calls] == callback_axes[: len(calls)]
    stops = [c for c in calls if c["expected"] in ("length", "abort")]
    if stops:
        assert stops[0] is calls[-1]
    else:
        assert len(calls) == len(callback_axes)
    if stops and stops[0]["expected"] == "abort":
        assert isinstance(error, Abort), error
        return
    mismatch = stops
    callback_errors = [c["expected"] for c in calls if c["expected"] not in (None, "length")]

    # Whole runs over well-formed items are recomputed by the reference.
    if not mismatch and not callback_errors and raise_at is None and all(not m.err and not m.maybe for m in pulled):
        check_against_reference(cfg, pulled, error, outcome)

    if mismatch:
        c = mismatch[0]
        assert isinstance(error, EngineError), error
        name = cfg.axes[c["axis"]].name
        assert str(error) == f"채점기 '{name}' 의 배치 결과 길이가 {c['returned']} 인데 후보는 {c['n']} 개다"
        return
    if isinstance(error, EngineError):
        # The only other run-time fault: a requirement that cannot be met.
        ids = [r[3] if r[3] is not None else r[0] for r in cfg.requirements]
        needs = {(i, r[2]) for i, r in zip(ids, cfg.requirements)}
        assert any(str(error).startswith(f"요구 조건 '{i}' 의 교체에 실패했다. 최소 {n} 개가") for i, n in needs), error
        return
    if reader_certain:
        assert error is not None and isinstance(error, tuple(reader_allowed)), (error, reader_allowed)
        return
    if error is not None:
        allowed = reader_allowed | set(callback_errors[:1])
        assert allowed and isinstance(error, tuple(allowed)), (error, allowed)
        return
    assert not callback_errors, callback_errors
    check_outcome(cfg, pulled, ctx, outcome)


def check_outcome(cfg, models, ctx, out):
    names = [a.name for a in cfg.axes]
    by_id = {id(m.obj): m for m in models}
    ranked, rejected = out.ranked, out.rejected
    counts, selection, trace = out.rejected_counts, out.selection, out.trace

    # Completeness and identity.
    assert out.is_complete()
    assert trace["input_count"] == len(models)
    assert list(counts) == REASONS
    assert [r.rank for r in ranked] == list(range(1, len(ranked) + 1))
    seen = Counter(id(r.candidate) for r in ranked) + Counter(id(r.candidate) for r in rejected)
    assert set(seen) <= set(by_id) and all(v == 1 for v in seen.values())
    total_rejections = sum(counts.values())
    retention = cfg.retention[0]
    if retention == "keep":
        assert set(seen) == set(by_id)
        assert Counter(r.reason for r in rejected) == Counter({k: v for k, v in counts.items() if v})
    elif retention == "count":
        assert rejected == []
    else:
        assert len(rejected) == min(cfg.retention[1], total_rejections)

    # Record shapes.
    unary_ids = [u[2] if u[2] is not None else u[0] for u in cfg.unary]
    set_ids = [g[2] if g[2] is not None else g[0] for g in cfg.groups]
    if cfg.total:
        set_ids.append(cfg.total[1] if cfg.total[1] is not None else "max_total")
    for r in rejected:
        m = by_id[id(r.candidate)]
        assert r.id == m.id_text
        assert r.reason in REASONS
        detail = {"not_scored": names, "unary_constraint": unary_ids, "set_constraint": set_ids}.get(r.reason)
        assert (r.detail is None) if detail is None else (r.detail in detail)
        assert (r.fused is None) == (r.reason in ("not_scored", "unary_constraint", "out_of_pool"))
    fusion_name = cfg.fusion[0]
    for r in ranked:
        m = by_id[id(r.candidate)]
        assert r.id == m.id_text
        assert list(r.scores) == names
        assert r.fusion["method"] == fusion_name
        assert ("k" in r.fusion) == (fusion_name == "rrf")
        assert r.constraints == set_ids
        # Constraint ids may repeat, so objects are read as lists of pairs.
        record = dict(
            json.loads(
                r.to_json(),
                object_pairs_hook=lambda pairs: pairs,
                parse_constant=lambda c: pytest.fail(f"non-JSON constant {c}"),
            )
        )
        assert (record["candidate"], record["rank"]) == (r.id, r.rank)
        assert [k for k, _ in record["scores"]] == names
        assert record["constraints"] == [(c, "pass") for c in set_ids]
        finite = [r.fused] + list(r.scores.values())
        printed = [record["fused"]] + [v for _, v in record["scores"]]
        for value, text in zip(finite, printed):
            assert (text is None) if value is None or not math.isfinite(value) else same(f32(text), value)
        check_fusion(cfg, r, m)

    # Trace and pool.
    capacity = max(1, cfg.multiplier * pool_base(cfg))
    assert trace["pool_capacity"] == capacity
    pool_size = selection["pool_size"]
    assert pool_size <= min(capacity, len(models))
    assert [s["scorer"] for s in trace["scorers"]] == names
    assert [s["cost"] for s in trace["scorers"]] == [a.cost for a in cfg.axes]
    for a, s in zip(cfg.axes, trace["scorers"]):
        assert s["missing"] <= s["calls"]
        if a.cost == "expensive":
            assert s["calls"] == pool_size
        else:
            assert s["calls"] <= len(models)
    for c in ctx.calls:
        assert c["n"] == pool_size and len(set(c["pool"])) == pool_size and set(c["pool"]) <= set(by_id)
        assert {id(r.candidate) for r in ranked} <= set(c["pool"])
    assert (trace["budget"] is not None) == (cfg.budget[0] == "tail_mass")
    if trace["budget"] is not None:
        bt = trace["budget"]
        assert (bt["reason"] is not None) == bt["fallback"]
        assert 0.0 <= bt["fit_quality"] <= 1.0
        if bt["fallback"]:
            assert bt["derived_k"] == cfg.budget[2]
        else:
            assert 1 <= bt["derived_k"] <= pool_size and f32(0.01) <= bt["s"] <= 6.0
    assert selection["cut_margin"] is None or math.isfinite(selection["cut_margin"])

    # The chosen set keeps every limit.
    chosen = [by_id[id(r.candidate)] for r in ranked]
    keys = group_key_list(cfg)
    b = cfg.budget
    if b[0] == "top_k":
        assert len(ranked) <= b[1]
    elif b[0] == "tail_mass":
        assert len(ranked) <= trace["budget"]["derived_k"]
    else:
        assert sum(m.cost for m in chosen) <= b[1]
    if cfg.total:
        assert len(ranked) <= cfg.total[0]
    for slot, (_, maximum, _) in enumerate(cfg.groups):
        per_value = Counter(m.groups[slot] for m in chosen if m.groups[slot] is not None)
        assert all(v <= maximum for v in per_value.values())
        if maximum == 0:
            assert ranked == []
    for j, (_, value, n, _) in enumerate(cfg.requirements):
        slot = len(cfg.groups) + j
        assert sum(1 for m in chosen if m.groups[slot] == value) >= n
    assert len(keys) == len(cfg.groups) + len(cfg.requirements)

    # Unary minimums read the candidate's own value, before any normaliser.
    def first_refusal(m):
        for (axis, minimum, _), uid in zip(cfg.unary, unary_ids):
            v = m.raw[names.index(axis)]
            if v is None or not v >= f32(minimum):
                return uid
        return None

    for m in chosen:
        assert first_refusal(m) is None
    if retention == "keep":
        refused = {id(r.candidate): r.detail for r in rejected if r.reason == "unary_constraint"}
        assert refused == {id(m.obj): first_refusal(m) for m in models if first_refusal(m) is not None}

    if retention == "keep":
        check_stage_one(cfg, models, out, first_refusal)
        check_selection(cfg, out, by_id)

    if cfg.threshold is not None:
        t = f32(cfg.threshold)
        assert all(not r.fused < t for r in ranked)
        assert all(r.fused < t for r in rejected if r.reason == "below_threshold")

    exact, guarantee = guarantee_table(cfg)
    if not cfg.requirements:
        assert (selection["exact"], selection["guarantee"]) == (exact, guarantee)
    elif selection["exact"]:
        assert exact and selection["guarantee"] is None

    # Without set constraints, objective, requirements or token budget, the
    # chosen set is the head of the pool in fused order.
    simple = not (cfg.groups or cfg.total or cfg.requirements or cfg.coverage) and b[0] != "tokens"
    if simple and not any(math.isnan(r.fused) for r in ranked):

        def order(r):
            return (-total_key(r.fused), by_id[id(r.candidate)].order_key)

        assert [order(r) for r in ranked] == sorted(order(r) for r in ranked)
        outranked = [r for r in rejected if r.reason == "outranked"]
        if ranked and outranked and retention == "keep" and not any(math.isnan(r.fused) for r in outranked):
            assert max(order(r) for r in ranked) <= min(order(r) for r in outranked)
        if any(r.reason == "outranked" for r in rejected) or counts["outranked"]:
            limit = b[1] if b[0] == "top_k" else trace["budget"]["derived_k"]
            assert len(ranked) == limit
        # The margin between the last chosen and the best one left out.
        fused = [r.fused for r in rejected if r.reason == "outranked"]
        if retention == "keep" and ranked and not any(math.isnan(f) for f in fused):
            margin = f32(ranked[-1].fused - max(fused)) if fused else None
            expected = margin if margin is not None and math.isfinite(margin) else None
            assert same(selection["cut_margin"], expected), (selection["cut_margin"], expected)
    if b[0] != "tokens" and not cfg.requirements:
        limit = b[1] if b[0] == "top_k" else trace["budget"]["derived_k"]
        assert selection["pool_exhausted"] == (len(ranked) < limit)


def better(key, best):
    """The selector's best-so-far rule: a later key replaces the best only when
    greater; a NaN never displaces a number, a number always displaces a NaN."""
    if best is None:
        return True
    if math.isnan(key):
        return False
    return math.isnan(best) or key > best


class Unsatisfied(Exception):
    pass


def reference_select(cfg, pool, k):
    """The selector written out plainly over (model, fused) pool entries in
    pool order: (chosen positions, blocked ids, cut margin, pool exhausted,
    repaired); raises Unsatisfied(name, need, have)."""
    n = len(pool)
    tokens = cfg.budget[0] == "tokens"
    cap = cfg.budget[1] if tokens else None
    constraints = [("group", slot, maximum, cid if cid is not None else key)
                   for slot, (key, maximum, cid) in enumerate(cfg.groups)]  # fmt: skip
    if cfg.total:
        constraints.append(("total", None, cfg.total[0], cfg.total[1] if cfg.total[1] is not None else "max_total"))
    requirements = [
        (cid if cid is not None else key, value, need, len(cfg.groups) + j)
        for j, (key, value, need, cid) in enumerate(cfg.requirements)
    ]

    def cost(p):
        return pool[p][0].cost

    def admits(c, selection, p):
        kind, slot, maximum, _ = c
        if kind == "total":
            return len(selection) < maximum
        if maximum == 0:
            return False
        value = pool[p][0].groups[slot]
        return value is None or sum(1 for q in selection if pool[q][0].groups[slot] == value) < maximum

    def refusal(selection, p):
        return next((c[3] for c in constraints if not admits(c, selection, p)), None)

    def gain(selection, p):
        fused = pool[p][1]
        if not cfg.coverage:
            return fused
        covered = {item for q in selection for item in pool[q][0].cover}
        extra = 0.0
        for item in dict.fromkeys(pool[p][0].cover):
            if item not in covered:
                extra = f32(extra + 1.0)
        return f32(fused + extra)

    def ratio(g, c):
        return math.inf if c == 0 else f32(g / c)

    def feasible(positions):
        if k is not None and len(positions) > k:
            return False
        if tokens and sum(cost(p) for p in positions) > cap:
            return False
        return all(
            admits(c, positions[:i] + positions[i + 1 :], p) for i, p in enumerate(positions) for c in constraints
        )

    def satisfied(req, positions):
        _, value, _, slot = req
        return sum(1 for p in positions if pool[p][0].groups[slot] == value)

    single_won = False
    if not tokens:
        chosen = []
        while len(chosen) < min(k, n):
            best = best_key = None
            for p in range(n):
                if p not in chosen and refusal(chosen, p) is None:
                    key = gain(chosen, p)
                    if better(key, best_key):
                        best, best_key = p, key
            if best is None:
                break
            chosen.append(best)
        exhausted = len(chosen) < k
    else:

        def pack(by_ratio):
            chosen, spent, total = [], 0, 0.0
            while True:
                best = best_key = best_gain = None
                for p in range(n):
                    if p in chosen or spent + cost(p) > cap or refusal(chosen, p) is not None:
                        continue
                    g = gain(chosen, p)
                    key = ratio(g, cost(p)) if by_ratio else g
                    if better(key, best_key):
                        best, best_key, best_gain = p, key, g
                if best is None:
                    return chosen, total, len(chosen) == n
                chosen.append(best)
                total, spent = f32(total + best_gain), spent + cost(best)

        chosen, total, exhausted = pack(True)
        plain, plain_total, _ = pack(False)
        if total < plain_total:
            chosen, total = plain, plain_total
        single = single_value = None
        for p in range(n):
            if cost(p) <= cap and refusal([], p) is None and better(gain([], p), single_value):
                single, single_value = p, gain([], p)
        if single is not None and total < single_value:
            chosen, single_won = [single], True

    repaired = False
    for r, req in enumerate(requirements):
        name, _, need, slot = req
        while satisfied(req, chosen) < need:
            incoming = [p for p in range(n) if p not in chosen and pool[p][0].groups[slot] == req[1]]
            outgoing = [p for p in chosen if pool[p][0].groups[slot] != req[1]]
            outgoing.sort(key=lambda p: pool[p][0].order_key, reverse=True)
            outgoing.sort(key=lambda p: total_key(pool[p][1]))
            accepted = None
            for x in incoming:
                trials = [chosen + [x]] if k is not None and len(chosen) < k else []
                trials += [[q for q in chosen if q != y] + [x] for y in outgoing]
                accepted = next(
                    (
                        t
                        for t in trials
                        if feasible(t) and all(satisfied(q, t) >= q[2] for q in requirements[:r])
                    ),
                    None,
                )
                if accepted:
                    break
            if accepted is None:
                raise Unsatisfied(name, need, satisfied(req, range(n)))
            chosen, repaired = accepted, True
    for req in requirements:
        if satisfied(req, chosen) < req[2]:
            raise Unsatisfied(req[0], req[2], satisfied(req, range(n)))

    blocked = [None if p in chosen else refusal(chosen, p) for p in range(n)]
    if single_won:
        margin = math.nan
    elif not chosen:
        margin = None
    else:
        last, before = chosen[-1], chosen[:-1]
        remaining = max(cap - sum(cost(q) for q in before), 0) if tokens else None
        key_last = ratio(gain(before, last), cost(last)) if tokens else gain(before, last)
        best = None
        for p in range(n):
            if p in chosen or refusal(before, p) is not None or (tokens and cost(p) > remaining):
                continue
            key = ratio(gain(before, p), cost(p)) if tokens else gain(before, p)
            if better(key, best):
                best = key
        margin = None if best is None else f32(key_last - best)
    return chosen, blocked, margin, exhausted, repaired


def check_selection(cfg, out, by_id):
    """Compares the selection with the reference selector over the same pool."""
    in_pool = list(out.ranked) + [r for r in out.rejected if r.reason in ("set_constraint", "outranked")]
    order = sorted(in_pool, key=lambda r: (-total_key(r.fused), by_id[id(r.candidate)].order_key))
    keys = [(total_key(r.fused), by_id[id(r.candidate)].order_key) for r in order]
    if len(set(keys)) != len(keys):
        return  # the pool order of fully equal entries is not visible from outside
    pool = [(by_id[id(r.candidate)], r.fused) for r in order]
    b = cfg.budget
    k = None if b[0] == "tokens" else b[1] if b[0] == "top_k" else out.trace["budget"]["derived_k"]
    chosen, blocked, margin, exhausted, repaired = reference_select(cfg, pool, k)
    assert [id(r.candidate) for r in out.ranked] == [id(pool[p][0].obj) for p in chosen]
    for p, r in enumerate(order):
        if p not in chosen:
            expected = ("outranked", None) if blocked[p] is None else ("set_constraint", blocked[p])
            assert (r.reason, r.detail) == expected
    sel = out.selection
    assert sel["pool_exhausted"] == exhausted
    assert same(sel["cut_margin"], margin if margin is not None and math.isfinite(margin) else None)
    exact, guarantee = (False, None) if repaired else guarantee_table(cfg)
    assert (sel["exact"], sel["guarantee"]) == (exact, guarantee)


def reference_budget(xs, epsilon, min_fit, fallback_k):
    """K from a Zipf fit of the fused scores, in 64-bit arithmetic."""

    def fall_back(reason, s=0.0, fit=0.0):
        return {"s": s, "fit_quality": fit, "fallback": True, "reason": reason, "derived_k": fallback_k}

    n = len(xs)
    if n < 10:
        return fall_back("too_few_samples")
    if any(not math.isfinite(x) or x < 0 for x in xs):
        return fall_back("not_a_mass_distribution")
    total = 0.0
    for x in xs:
        total += x
    if total <= 0:
        return fall_back("not_a_mass_distribution")
    logs = [math.log(i) for i in range(1, n + 1)]
    data_mean = 0.0
    for x, lg in zip(xs, logs):
        data_mean += x / total * lg

    def model_mean(s):
        num = z = 0.0
        for i, lg in enumerate(logs, 1):
            w = math.pow(i, -s)
            num += w * lg
            z += w
        return 0.0 if z <= 0 else num / z

    if model_mean(0.01) < data_mean:
        s = 0.01
    elif model_mean(6.0) > data_mean:
        s = 6.0
    else:
        lo, hi = 0.01, 6.0
        for _ in range(60):
            mid = (lo + hi) * 0.5
            if model_mean(mid) > data_mean:
                lo = mid
            else:
                hi = mid
        s = (lo + hi) * 0.5
    z = 0.0
    for i in range(1, n + 1):
        z += math.pow(i, -s)
    fit = 0.0
    if not z <= 0:
        f_data = f_model = dist = 0.0
        for i, x in enumerate(xs, 1):
            f_data += x / total
            f_model += math.pow(i, -s) / z
            if abs(f_data - f_model) > dist:
                dist = abs(f_data - f_model)
        fit = f32(min(max(1.0 - dist, 0.0), 1.0))
    if f32(min_fit) > fit:
        return fall_back("poor_fit", f32(s), fit)
    k = n
    if z > 0:
        c = 0.0
        for i in range(1, n + 1):
            c += math.pow(i, -s)
            if 1.0 - c / z <= f32(epsilon):
                k = i
                break
    return {"s": f32(s), "fit_quality": fit, "fallback": False, "reason": None, "derived_k": k}


def reference_fused(cfg, values, ranks):
    """The fused score of one entry from its axis values and ranks."""
    method, policy = cfg.fusion[0], cfg.missing[0]
    impute = f32(cfg.missing[1]) if policy == "impute" else None
    total = 0.0
    if method == "weighted_sum":
        for a, v in zip(cfg.axes, values):
            if v is not None or policy == "impute":
                total = f32(total + axis_weight(cfg, a.name))
    contributions = []
    for a, v, r in zip(cfg.axes, values, ranks):
        if v is None and policy != "impute":
            continue
        value = impute if v is None else v
        if method == "rrf":
            k = f32(60.0 if cfg.fusion[1] is None else cfg.fusion[1])
            contributions.append(f32(fdiv(1.0, f32(k + r))))
        elif method == "max":
            contributions.append(value)
        else:
            weight = f32(axis_weight(cfg, a.name) / total) if total > 0 else 0.0
            contributions.append(f32(value * weight))
    if method == "max":
        best = None
        for c in contributions:
            if best is None or (math.isnan(best) and not math.isnan(c)) or c > best:
                best = c
        return 0.0 if best is None else best
    fused = -0.0
    for c in contributions:
        fused = f32(fused + c)
    return fused


def reference_run(cfg, models):
    """The whole run written out plainly: a dict with the ranked (object,
    fused) pairs, every rejection record in recording order, the pool size,
    the selector's report and the budget trace; or the requirement error's
    message; or None when the stage-1 pool order is not decided from outside
    (two eligible candidates with the same admission key and identifier)."""
    names = [a.name for a in cfg.axes]
    cheap = [i for i, a in enumerate(cfg.axes) if a.cost == "cheap"]
    policy = cfg.missing[0]
    impute = f32(cfg.missing[1]) if policy == "impute" else None
    unary = [(names.index(axis), f32(minimum), cid if cid is not None else axis) for axis, minimum, cid in cfg.unary]
    capacity = max(1, cfg.multiplier * pool_base(cfg))
    records, pool, seen_keys = [], [], set()
    for m in models:
        refused = next((uid for i, minimum, uid in unary if m.raw[i] is None or not m.raw[i] >= minimum), None)
        if refused is not None:
            records.append((m.obj, "unary_constraint", refused, None))
            continue
        values = axis_values(cfg, m)
        if policy == "reject":
            missing = next((names[i] for i in cheap if values[i] is None), None)
            if missing is not None:
                records.append((m.obj, "not_scored", missing, None))
                continue
        key = (-total_key(admission_key(cfg, m)), m.order_key)
        if key in seen_keys:
            return None
        seen_keys.add(key)
        # The pool is kept sorted, best first; keys are distinct.
        entry = (key, m, values)
        if len(pool) < capacity:
            bisect.insort(pool, entry, key=lambda e: e[0])
        elif key < pool[-1][0]:
            worst = pool.pop()
            bisect.insort(pool, entry, key=lambda e: e[0])
            records.append((worst[1].obj, "out_of_pool", None, None))
        else:
            records.append((m.obj, "out_of_pool", None, None))

    staged = []
    for _, m, values in pool:
        missing = next((names[i] for i, v in enumerate(values) if v is None), None)
        if policy == "reject" and missing is not None:
            records.append((m.obj, "not_scored", missing, None))
        else:
            staged.append((m, values))
    ranks = [[None] * len(cfg.axes) for _ in staged]
    if cfg.fusion[0] == "rrf":
        for i in range(len(cfg.axes)):
            taking = [j for j, (_, values) in enumerate(staged) if values[i] is not None or policy == "impute"]
            taking.sort(
                key=lambda j: (
                    -total_key(impute if staged[j][1][i] is None else staged[j][1][i]),
                    staged[j][0].order_key,
                )
            )
            for r, j in enumerate(taking, 1):
                ranks[j][i] = r
    entries = []
    for (m, values), rank in zip(staged, ranks):
        fused = reference_fused(cfg, values, rank)
        if cfg.threshold is not None and fused < f32(cfg.threshold):
            records.append((m.obj, "below_threshold", None, fused))
        else:
            entries.append((m, fused))
    entries.sort(key=lambda e: (-total_key(e[1]), e[0].order_key))

    b = cfg.budget
    budget = None
    if b[0] == "tail_mass":
        budget = reference_budget([f for _, f in entries], b[1], 0.9 if cfg.min_fit is None else cfg.min_fit, b[2])
    k = b[1] if b[0] == "top_k" else None if b[0] == "tokens" else budget["derived_k"]
    try:
        chosen, blocked, margin, exhausted, repaired = reference_select(cfg, entries, k)
    except Unsatisfied as exc:
        name, need, have = exc.args
        return (
            f"요구 조건 '{name}' 의 교체에 실패했다. 최소 {need} 개가 필요하고 풀에서 해당 조건에 맞는 후보는 "
            f"{have} 개다. 다른 제약과의 충돌도 확인해야 한다"
        )
    for p, (m, fused) in enumerate(entries):
        if p not in chosen:
            reason = ("outranked", None) if blocked[p] is None else ("set_constraint", blocked[p])
            records.append((m.obj, *reason, fused))
    exact, guarantee = (False, None) if repaired else guarantee_table(cfg)
    return {
        "ranked": [(entries[p][0].obj, entries[p][1]) for p in chosen],
        "records": records,
        "pool_size": len(pool),
        "selection": {
            "exact": exact,
            "guarantee": guarantee,
            "pool_exhausted": exhausted,
            "cut_margin": margin if margin is not None and math.isfinite(margin) else None,
        },
        "budget": budget,
    }


def check_against_reference(cfg, models, error, out):
    ref = reference_run(cfg, models)
    event("reference: " + ("undecided pool order" if ref is None else "error" if isinstance(ref, str) else "outcome"))
    if ref is None:
        return
    if isinstance(ref, str):
        assert isinstance(error, EngineError) and str(error) == ref, (error, ref)
        return
    assert error is None, (error, ref)
    assert [(id(r.candidate), struct.pack("<f", r.fused)) for r in out.ranked] == [
        (id(o), struct.pack("<f", f)) for o, f in ref["ranked"]
    ]
    records = ref["records"]
    assert out.rejected_counts == {reason: sum(1 for r in records if r[1] == reason) for reason in REASONS}
    if cfg.retention[0] == "keep":
        kept = records
    else:
        kept = records[: cfg.retention[1]] if cfg.retention[0] == "sample" else []
    got = [(id(r.candidate), r.reason, r.detail, r.fused) for r in out.rejected]
    assert len(got) == len(kept)
    for g, (o, reason, detail, fused) in zip(got, kept):
        assert g[:3] == (id(o), reason, detail) and same(g[3], fused), (g, (o, reason, detail, fused))
    sel = out.selection
    assert sel["pool_size"] == ref["pool_size"]
    for key, value in ref["selection"].items():
        assert same(sel[key], value) if isinstance(value, float) else sel[key] == value, (key, sel[key], value)
    if ref["budget"] is not None:
        got_budget = out.trace["budget"]
        for key, value in ref["budget"].items():
            assert same(got_budget[key], value) if isinstance(value, float) else got_budget[key] == value, key


def check_stage_one(cfg, models, out, first_refusal):
    """Who was rejected before the pool, and that the pool holds the best
    candidates by admission key (ties by identifier)."""
    by_id = {id(m.obj): m for m in models}
    rejected = {id(r.candidate): r for r in out.rejected}
    names = [a.name for a in cfg.axes]
    cheap = [i for i, a in enumerate(cfg.axes) if a.cost == "cheap"]
    eligible = []
    for m in models:
        if first_refusal(m) is not None:
            continue
        values = axis_values(cfg, m)
        missing = [names[i] for i in cheap if values[i] is None]
        r = rejected.get(id(m.obj))
        if cfg.missing[0] == "reject" and missing:
            assert r is not None and (r.reason, r.detail) == ("not_scored", missing[0])
            continue
        assert r is None or not (r.reason == "not_scored" and r.detail in [names[i] for i in cheap])
        eligible.append(m)

    def order(m):
        return (-total_key(admission_key(cfg, m)), m.order_key)

    capacity = out.trace["pool_capacity"]
    outside = [m for m in eligible if getattr(rejected.get(id(m.obj)), "reason", None) == "out_of_pool"]
    inside = [m for m in eligible if getattr(rejected.get(id(m.obj)), "reason", None) != "out_of_pool"]
    assert out.selection["pool_size"] == len(inside) == min(len(eligible), capacity)
    if inside and outside:
        assert max(order(m) for m in inside) <= min(order(m) for m in outside)
    assert len(outside) == out.rejected_counts["out_of_pool"]
    assert set(by_id) >= {id(m.obj) for m in eligible}


@FUZZ
@given(scenarios())
def test_random_runs_are_complete_or_raise_the_right_error(scenario):
    run_scenario(*scenario)


@st.composite
def selection_scenarios(draw):
    """Well-formed runs that lean on the selector: set constraints,
    requirements, token budgets and the coverage objective, all rejections
    kept so that the whole pool can be checked."""
    cfg = draw(configs())
    make_valid(cfg)
    cfg.retention = ("keep",)
    cfg.threshold = None
    if not cfg.requirements:
        cfg.requirements = [(draw(st.sampled_from(GROUP_KEYS)), draw(st.sampled_from(GROUP_VALUES)), 1, None)]
    if draw(st.booleans()):
        cfg.budget = ("tokens", draw(st.integers(0, 30)))
    cfg.multiplier = max(cfg.multiplier, 2)
    cfg.total = None if draw(st.booleans()) else cfg.total
    for a in cfg.axes:
        if a.behaviour not in (None, *BENIGN_BEHAVIOURS):
            a.behaviour = "list"
    cands = draw(st.lists(plain_candidates(), min_size=3, max_size=14))
    return cfg, cands, None, None


@st.composite
def plain_candidates(draw):
    """Well-formed items that mostly carry a value for every group key."""
    return Cand(
        kind="dict",
        id=("i", draw(st.integers(0, 10**6))),
        scores=("dict", [(n, ("f", draw(floats))) for n in AXIS_NAMES if draw(st.integers(0, 5))], False, None),
        groups=("dict", [(k, ("s", draw(st.sampled_from(GROUP_VALUES)))) for k in GROUP_KEYS if draw(st.integers(0, 4))],
                False),
        cost=("i", draw(st.integers(0, 12))),
        cover=("seq", "list", [("s", v) for v in draw(st.lists(st.sampled_from(GROUP_VALUES), max_size=3))], None,
               None),
        callback_values=draw(st.lists(callback_values, min_size=3, max_size=3)),
    )  # fmt: skip


@FUZZ
@given(selection_scenarios())
def test_selection_matches_the_reference_selector(scenario):
    run_scenario(*scenario)


def seeded_candidates(rng, n):
    """n well-formed items with distinct identifiers, from a seeded generator."""
    numbers = rng.sample(range(10**6), n)

    def value():
        r = rng.random()
        return ("none",) if r < 0.1 else ("f", rng.choice(SPECIAL)) if r < 0.15 else ("f", rng.uniform(-1, 2))

    return [
        Cand(
            kind="dict",
            id=("i", k) if rng.random() < 0.8 else ("s", f"t{k}"),
            scores=("dict", [(name, value()) for name in AXIS_NAMES if rng.random() < 0.9], False, None),
            groups=("dict", [(key, ("s", rng.choice(GROUP_VALUES))) for key in GROUP_KEYS if rng.random() < 0.8],
                    False),
            cost=("i", rng.randrange(13)),
            cover=("seq", "list", [("s", rng.choice(GROUP_VALUES)) for _ in range(rng.randrange(3))], None, None),
            callback_values=[value() for _ in range(3)],
        )
        for k in numbers
    ]  # fmt: skip


@st.composite
def long_streams(draw):
    """Long streams through pools of every size, the heap's reserve of 1024
    slots included."""
    cfg = draw(configs())
    make_valid(cfg)
    for a in cfg.axes:
        if a.behaviour not in (None, *BENIGN_BEHAVIOURS):
            a.behaviour = "list"
    n = draw(weighted((1, st.integers(0, 60)), (2, st.integers(500, 1500))))
    small = cfg.budget[0] == "tokens" or cfg.requirements
    if cfg.budget[0] == "tokens":
        cfg.budget = ("tokens", min(cfg.budget[1], 30))
    cfg.multiplier = draw(st.sampled_from([1, 2] if small else [1, 2, 7, 60, 400]))
    rng = random.Random(draw(st.integers(0, 2**32 - 1)))
    return cfg, seeded_candidates(rng, n), None, None


@settings(FUZZ, max_examples=max(EXAMPLES // 6, 5))
@given(long_streams())
def test_long_streams_match_the_reference(scenario):
    event(f"stream of {len(scenario[1]) // 500 * 500}+ items")
    run_scenario(*scenario)


class DelDict(dict):
    """A candidate that re-enters the engine from its finaliser."""

    ctx = None

    def __del__(self):
        if self.ctx is not None and self.ctx.running:
            self.ctx.reenter()
            self.ctx.reentered = True


@st.composite
def releasing_runs(draw):
    cfg = draw(configs())
    make_valid(cfg)
    for a in cfg.axes:
        if a.behaviour not in (None, *BENIGN_BEHAVIOURS):
            a.behaviour = "list"
    cfg.retention = draw(st.sampled_from([("count",), ("sample", 0), ("sample", 2)]))
    return cfg, draw(st.integers(0, 40)), draw(st.integers(0, 2**32 - 1))


@FUZZ
@given(releasing_runs())
def test_candidates_released_during_a_run_may_reenter_it(scenario):
    # Items that only the run holds are released while it is running (not
    # kept, evicted, unreadable), and their finalisers run in the middle of it.
    cfg, n, seed = scenario
    ctx = Ctx()
    ctx.naxes = len(cfg.axes)
    ctx.running = False
    engine, _ = configure(cfg, ctx, {})
    ctx.engine = engine
    descs = seeded_candidates(random.Random(seed), n)

    def stream():
        for i, c in enumerate(descs):
            item = DelDict(build_candidate(c, cfg, ctx).obj)
            item.ctx = ctx
            if i % 7 == 3:
                item["scores"] = 5  # unreadable: released by the reader
            yield item

    ctx.running = True
    try:
        out = engine.run(stream())
    except (ValueError, EngineError) as exc:
        event(type(exc).__name__)
    else:
        event("outcome")
        assert out.is_complete() and out.trace["input_count"] == n
    finally:
        ctx.running = False
        ctx.engine = None
    event(f"re-entered from a finaliser: {getattr(ctx, 'reentered', False)}")
    assert not ctx.violations, ctx.violations


# ---------------------------------------------------------------- hostile configuration arguments

HOSTILE_ARGS = [
    BadFloat, WrongFloat, WrongIndex, BadStr, WrongStr,
    lambda: IndexOnly(3), lambda: IndexOnly(-1), lambda: IndexOnly(2**70), lambda: BadIndexStr("x"),
    lambda: IntSub(2), lambda: FloatSub(0.5), lambda: StrSub("a"), lambda: Mutator(2, "a"),
    lambda: 2**70, lambda: -1, lambda: 2**32, lambda: 1.5, lambda: "a", lambda: "\udc80", lambda: None,
    lambda: math.nan, lambda: True, lambda: [1.0, 2.0], lambda: (1.0,), lambda: (1.0, 2.0, 3.0),
    lambda: (BadFloat(), 1.0), lambda: (0.0, 1.0), lambda: OddDict(a=1.0), lambda: Seq([("a", 1.0)], claim=3),
    lambda: Seq([("a", BadFloat())]), lambda: {"a": BadFloat()}, lambda: {BadStr(): 1.0}, lambda: {WrongStr(): 1.0},
    lambda: [("a", "x")], lambda: [["a", 1.0]], lambda: LyingList([("a", 1.0)], 5), lambda: "ab",
]  # fmt: skip

VALID_ARGS = {
    "text": st.sampled_from(["a", "b", "c", "g", "x"]),
    "scale": st.sampled_from(["unit", "unbounded", "rank"]),
    "cost": st.sampled_from(["cheap", "expensive"]),
    "normalize": st.sampled_from([None, "sigmoid", "clamp01", "minmax"]),
    "range": st.sampled_from([None, (0.0, 1.0), (1, 0)]),
    "fn": st.sampled_from([None, lambda xs: [0.5] * len(xs), lambda xs: (None,) * len(xs)]),
    "method": st.sampled_from(["rrf", "weighted_sum", "max"]),
    "weights": st.sampled_from([None, {"a": 1.0}, [("a", 0.5), ("b", 0.5)]]),
    "missing": st.sampled_from(["skip", "impute", "reject"]),
    "retention": st.sampled_from(["keep", "count", "sample"]),
    "float": floats,
    "u32": st.integers(0, 5),
    "u64": st.integers(0, 5),
}

METHODS = {
    "scorer": (["text"], {"scale": "scale", "cost": "cost", "normalize": "normalize", "normalize_range": "range",
                          "fn": "fn"}),
    "fuse": (["method"], {"k": "float", "weights": "weights"}),
    "missing": (["missing"], {"value": "float"}),
    "max_per_group": (["text", "u64"], {"id": "text"}),
    "max_total": (["u64"], {"id": "text"}),
    "require_at_least": (["text", "text", "u64"], {"id": "text"}),
    "unary_min": (["text", "float"], {"id": "text"}),
    "coverage_objective": ([], {}),
    "budget_top_k": (["u32"], {}),
    "budget_tail_mass": (["float", "u32"], {}),
    "budget_tokens": (["u32"], {}),
    "admission": (["text"], {}),
    "pool_multiplier": (["u32"], {}),
    "threshold": (["float"], {}),
    "min_fit": (["float"], {}),
    "rejections": (["retention"], {"n": "u64"}),
}  # fmt: skip


def argument(kind):
    return weighted((4, VALID_ARGS[kind]), (1, st.sampled_from(HOSTILE_ARGS).map(lambda make: make())))


@st.composite
def configuration_calls(draw):
    name = draw(st.sampled_from(sorted(METHODS)))
    positional, keywords = METHODS[name]
    args = tuple(draw(argument(kind)) for kind in positional)
    kwargs = {k: draw(argument(kind)) for k, kind in keywords.items() if draw(st.booleans())}
    return name, args, kwargs


@FUZZ
@given(st.lists(configuration_calls(), max_size=14))
def test_hostile_configuration_arguments_fail_cleanly(calls):
    e = Engine()
    e.scorer("a")
    for name, args, kwargs in calls:
        before = repr(e)
        try:
            assert getattr(e, name)(*args, **kwargs) is None
        except (TypeError, ValueError, OverflowError, Hostile):
            assert repr(e) == before
    stream = [
        {"id": i, "scores": {"a": i / 10, "b": 0.5, "c": None}, "groups": {"g": "x"}, "cost": 1, "cover": ["x"]}
        for i in range(6)
    ]
    try:
        out = e.run(stream)
    except (ValueError, TypeError, OverflowError, EngineError, Hostile) as exc:
        event(type(exc).__name__)
    else:
        event("outcome")
        assert out.is_complete()
        assert out.trace["input_count"] == 6
    # The engine is free again after the run.
    e.threshold(0.0)


@pytest.mark.parametrize("make_stream", [iter, lambda items: (x for x in items)], ids=["iterator", "generator"])
def test_a_nested_run_may_drain_the_outer_stream(make_stream):
    e = Engine()
    e.scorer("a")
    inner = []

    class Drain:
        def __float__(self):
            inner.append(e.run(stream))
            return 0.5

    items = [{"id": 0, "scores": {"a": Drain()}}] + [{"id": i, "scores": {"a": i / 10}} for i in range(1, 6)]
    stream = make_stream(items)
    out = e.run(stream)
    assert out.trace["input_count"] == 1 and out.is_complete()
    assert inner[0].trace["input_count"] == 5 and inner[0].is_complete()
    assert [r.candidate for r in inner[0].ranked] == items[:0:-1]


def test_runs_of_one_engine_on_several_threads():
    # Runs interleave wherever the interpreter switches threads inside the
    # streams and callbacks; configuration calls from another thread are
    # refused exactly while some run holds the engine.
    e = Engine()
    e.scorer("a")
    e.scorer("e", cost="expensive", fn=lambda xs: [time.sleep(0) or 0.5 for _ in xs])
    e.max_per_group("g", 2)
    e.rejections("count")
    results, refusals, failures = [], [], []

    def stream(n):
        for i in range(n):
            if i % 16 == 0:
                time.sleep(0)
            yield {"id": i, "scores": {"a": (i * 37 % 101) / 100}, "groups": {"g": str(i % 5)}}

    def runner(n):
        try:
            for _ in range(3):
                out = e.run(stream(n))
                results.append((n, out.trace["input_count"], out.is_complete()))
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(exc)

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
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert failures == []
    assert sorted(results) == sorted((n, n, True) for n in (50, 300, 600) for _ in range(3))
    assert set(refusals) <= {"Already borrowed"}


RESULT_VALUES = [
    lambda d: None, lambda d: True, lambda d: 1, lambda d: -1, lambda d: 2**64, lambda d: 1.5, lambda d: "x",
    lambda d: IndexOnly(2), lambda d: BadIndexStr("x"), lambda d: WrongIndex(), lambda d: AbortIndex(),
    lambda d: watch_target(Mutator(1), d),
]  # fmt: skip


def watch_target(mutator, d):
    mutator.target = d
    return mutator


@FUZZ
@given(
    st.lists(
        st.tuples(
            st.sampled_from(["rejected_counts", "selection", "trace"]),
            st.sampled_from(["exact", "input_count", "outranked", "zz"] + REASONS),
            st.sampled_from(["set", "delete", "evil"]),
            st.integers(0, len(RESULT_VALUES) - 1),
        ),
        max_size=6,
    )
)
def test_result_dicts_changed_by_hand(changes):
    # The result's dicts are shared: whatever Python puts in them, the repr
    # still shows, and is_complete answers or raises a conversion error.
    e = Engine()
    e.scorer("a")
    e.budget_top_k(2)
    out = e.run([{"id": i, "scores": {"a": i / 4}} for i in range(4)])
    for attr, key, how, value in changes:
        d = getattr(out, attr)
        try:  # a colliding key refuses our own changes too
            if how == "set":
                d[key] = RESULT_VALUES[value](d)
            elif how == "delete":
                d.pop(key, None)
            elif key not in d:
                d[EvilKey(key)] = 0
        except Hostile:
            pass
    assert repr(out).startswith("Outcome(ranked=2, rejected=2, exact=")
    try:
        assert out.is_complete() in (True, False)
    except (TypeError, OverflowError, ValueError, Hostile, EngineError, Abort) as exc:
        event(type(exc).__name__)


# ---------------------------------------------------------------- regressions found by the properties above


@pytest.mark.parametrize("claim", [2**40, 2**62, sys.maxsize])
def test_callback_result_claiming_a_huge_length_is_an_index_error(claim):
    # Room for the claimed length used to be reserved up front: the process
    # aborted (std::length_error) or the run raised MemoryError.
    e = Engine()
    e.scorer("a")
    e.scorer("e", cost="expensive", fn=lambda xs: Seq([], claim=claim))
    with pytest.raises(IndexError):
        e.run([{"id": 1, "scores": {"a": 0.5}}])
