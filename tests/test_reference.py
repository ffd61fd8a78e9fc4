"""Whole runs recomputed by a plain reference (stage-1 pool, fusion, threshold, selector, requirement
repair) and compared bit for bit on seeded random configurations: long streams, and small pools that
lean on the selector. Hostile objects are checked for what they can break: no crash, an allowed error
or a complete outcome, nothing left referenced. Every run draws the same cases: VANTOREL_FUZZ_EXAMPLES
says how many of the fixed seeds 0, 1, 2, ... each test takes (60)."""

import bisect
import collections.abc
import gc
import math
import os
import random
import struct
import sys
import weakref
from types import SimpleNamespace

import pytest

from vantorel import Engine, EngineError

SEEDS = range(int(os.environ.get("VANTOREL_FUZZ_EXAMPLES", "60")))
REASONS = ["not_scored", "unary_constraint", "set_constraint", "below_threshold", "outranked", "out_of_pool"]
AXES, GROUP_KEYS, GROUP_VALUES = ["a", "b", "c"], ["g", "h"], ["x", "y", "z"]
SPECIAL = [math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, 1e39, 1e-45, 3.0]
U32, U64 = 2**32 - 1, 2**64 - 1


def f32(x):
    try:
        return struct.unpack("f", struct.pack("f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def total_key(x):
    """Sort key of the IEEE 754 total order on 32-bit floats."""
    i = struct.unpack("<i", struct.pack("<f", x))[0]
    return i ^ 0x7FFFFFFF if i < 0 else i


def bits(x):
    """A float as its 32-bit pattern, anything else as it is."""
    return struct.pack("<f", x) if isinstance(x, float) else x


def number(rng, none=0.0):
    """None (as often as asked), a special value, one on a coarse grid (ties), or a uniform one."""
    if rng.random() < none:
        return None
    r = rng.random()
    if r < 0.1:
        return rng.choice(SPECIAL)
    return f32(rng.randrange(-4, 9) / 4 if r < 0.25 else rng.uniform(-1, 2))


def mostly(rng, choices, rare):
    """One of the choices, or now and then the rare (huge) one."""
    return rare if rng.random() < 0.05 else rng.choice(choices)


def make_config(rng, selector):
    """A valid configuration: for the selector with a requirement, else with pools up to 400 times K."""
    fusion = rng.choice(["rrf", "weighted_sum", "max"])
    axes = []  # (name, cheap, has its own scoring function)
    for name in AXES[: rng.randint(1, 3)]:
        cheap = rng.random() < 2 / 3 or (fusion == "rrf" and not axes)
        axes.append((name, cheap, not cheap and rng.random() < 0.5))
    names, huge = [a[0] for a in axes], U32 if selector else 6
    requirements = [(rng.choice(GROUP_KEYS), rng.choice(GROUP_VALUES), mostly(rng, [0, 1, 2], U64),
                     rng.choice([None, "r"]))] if selector or rng.random() < 0.25 else []  # fmt: skip
    budget = rng.choice([("top_k", mostly(rng, range(1, 7), huge)), ("tokens", rng.randint(0, 30)),
                         ("tail_mass", rng.uniform(0, 0.99), mostly(rng, range(7), huge))])  # fmt: skip
    if budget[0] == "tail_mass" and requirements:  # a failed repair tells no derived K
        budget = ("tokens", rng.randint(0, 30))
    small = budget[0] == "tokens" or requirements
    multipliers = [2, 3] if selector else [1, 2] if small else [1, 2, 7, 60, 400]
    pairs = [(rng.choice(names), f32(rng.uniform(-1, 2))) for _ in range(rng.randint(0, 3))]
    cfg = SimpleNamespace(
        axes=axes, fusion=fusion, requirements=requirements, budget=budget, coverage=rng.random() < 0.5,
        k=number(rng) if fusion == "rrf" and rng.random() < 0.5 else None,
        weights=rng.choice([dict(pairs), pairs]) if fusion == "weighted_sum" and rng.random() < 0.7 else None,
        missing=rng.choice(["skip", "impute", "reject"]), impute=number(rng),
        groups=[(rng.choice(GROUP_KEYS), mostly(rng, [0, 1, 1, 2, 2, 3], U64), rng.choice([None, "gl"]))
                for _ in range(rng.randint(0, 2))],  # fmt: skip
        total=(mostly(rng, range(6), U64), rng.choice([None, "cap"])) if rng.random() < 0.5 else None,
        threshold=None if selector or rng.random() < 0.5 else number(rng),
        multiplier=mostly(rng, multipliers, U32) if selector else rng.choice(multipliers),
        retention=rng.choice([("keep", None)] * 6 + [("count", None), ("sample", rng.randint(0, 5))]),
        admission=rng.choice([None] + [a[0] for a in axes if a[1]]),
    )
    given = list(cfg.weights.items() if isinstance(cfg.weights, dict) else cfg.weights or [])
    cfg.weight = {n: dict(reversed(given)).get(n, 0.0) if given else 1.0 for n in names}  # first pair wins
    cfg.imputed = f32(cfg.impute) if cfg.missing == "impute" else None
    return cfg


def make_models(cfg, rng, n):
    """n items with distinct identifiers; group values are texts, numbers (read as their text) or None."""
    models = []
    for k in rng.sample(range(10**6), n):
        text = rng.random() < 0.2
        scores = {name: number(rng, none=0.1) for name in AXES if rng.random() < 0.9}
        groups = {key: rng.choice(GROUP_VALUES + [None, 7]) for key in GROUP_KEYS if rng.random() < 0.8}
        cover = [rng.choice(GROUP_VALUES) for _ in range(rng.randrange(3))]
        obj = {"id": f"t{k}" if text else k, "scores": scores, "groups": groups, "cover": cover,
               "cost": rng.randrange(13)}  # fmt: skip
        texts = {key: str(value) for key, value in groups.items() if value is not None}
        models.append(SimpleNamespace(obj=obj, order=(text, f"t{k}".encode() if text else k), groups=texts,
                                      calls=[number(rng, none=0.1) for _ in cfg.axes]))  # fmt: skip
    return models


def configure(cfg, calls, normalize=None):
    """The engine of a configuration; calls(item) gives what each axis's own scoring function returns
    for the item, normalize(axis) the axis's normaliser options."""
    e = Engine()
    for i, (name, cheap, fn) in enumerate(cfg.axes):
        fn = (lambda xs, i=i: [calls(x)[i] for x in xs]) if fn else None
        e.scorer(name, cost="cheap" if cheap else "expensive", fn=fn, **(normalize(name) if normalize else {}))
    e.fuse(cfg.fusion, k=cfg.k, weights=cfg.weights)
    e.missing(cfg.missing, value=cfg.impute if cfg.missing == "impute" else None)
    for key, maximum, cid in cfg.groups:
        e.max_per_group(key, maximum, id=cid)
    if cfg.total:
        e.max_total(cfg.total[0], id=cfg.total[1])
    for key, value, n, cid in cfg.requirements:
        e.require_at_least(key, value, n, id=cid)
    if cfg.coverage:
        e.coverage_objective()
    getattr(e, sys.intern("budget_" + cfg.budget[0]))(*cfg.budget[1:])  # a fresh name would sit in a type cache
    if cfg.threshold is not None:
        e.threshold(cfg.threshold)
    e.pool_multiplier(cfg.multiplier)
    e.rejections(cfg.retention[0], n=cfg.retention[1])
    if cfg.admission is not None:
        e.admission(cfg.admission)
    return e


def order(x):
    """Under max(), the best-so-far rule: the earlier stays on ties, a NaN gives way to any number."""
    return (False, 0.0) if math.isnan(x) else (True, x)


def f32_sum(values, start=0.0):
    for v in values:
        start = f32(start + v)
    return start


def axis_values(cfg, m):
    """Every axis's value as its scorer gives it (NaN counts as no value)."""
    values = [m.calls[i] if fn else m.obj["scores"].get(name) for i, (name, _, fn) in enumerate(cfg.axes)]
    return [None if v is None or math.isnan(f32(v)) else f32(v) for v in values]


def taking_part(cfg, values, cheap_only=False):
    """(axis position, value) of the axes with a value, or an imputed one."""
    return [(i, cfg.imputed if v is None else v) for i, (a, v) in enumerate(zip(cfg.axes, values))
            if (v is not None or cfg.imputed is not None) and (a[1] or not cheap_only)]  # fmt: skip


def admission_key(cfg, values):
    """The stage-1 key: the admission axis, else the first cheap axis under rank fusion, else the
    provisional score over the cheap axes."""
    axis = cfg.admission or (next(a[0] for a in cfg.axes if a[1]) if cfg.fusion == "rrf" else None)
    if axis is not None:
        v = values[[a[0] for a in cfg.axes].index(axis)]
        return v if v is not None else cfg.imputed if cfg.imputed is not None else -math.inf
    terms = [(cfg.weight[cfg.axes[i][0]], v) for i, v in taking_part(cfg, values, cheap_only=True)]
    if not terms:
        return -math.inf
    if cfg.fusion == "max":
        return max((v for _, v in terms), key=order)
    den = f32_sum(w for w, _ in terms)
    return f32(f32_sum(f32(w * v) for w, v in terms) / den) if den > 0 else 0.0


def fused_score(cfg, values, ranks):
    terms = [(cfg.weight[cfg.axes[i][0]], v, ranks[i]) for i, v in taking_part(cfg, values)]
    if cfg.fusion == "max":
        best = max((v for _, v, _ in terms), key=order, default=None)
        return 0.0 if best is None else best
    if cfg.fusion == "rrf":
        sums = [f32(f32(60.0 if cfg.k is None else cfg.k) + r) for _, _, r in terms]
        return f32_sum((f32(1.0 / x if x else math.copysign(math.inf, x)) for x in sums), -0.0)
    total = f32_sum(w for w, _, _ in terms)
    return f32_sum((f32(v * (f32(w / total) if total > 0 else 0.0)) for w, v, _ in terms), -0.0)


def guarantee(cfg, repaired):
    """(exact, guarantee) of the selection."""
    p, tokens = len(cfg.groups) + bool(cfg.total), cfg.budget[0] == "tokens"
    if repaired or (tokens and p > 0):
        return False, None
    if not cfg.coverage:
        return (False, 0.5) if tokens else (True, None) if p <= 1 else (False, f32(1 / p))
    return False, f32(0.31606027 if tokens else 0.63212055 if p == 0 else 0.5 if p == 1 else 1 / (p + 1))


def reference_select(cfg, pool, k):
    """The selector over (model, fused) entries, best first: (chosen positions, the constraint that
    blocks each position or None, pool exhausted, repaired), or the failed requirement's message."""
    n, tokens, cap = len(pool), cfg.budget[0] == "tokens", cfg.budget[1]
    constraints = [(key, maximum, cid or key) for key, maximum, cid in cfg.groups]
    if cfg.total:
        constraints.append((None, cfg.total[0], cfg.total[1] or "max_total"))
    needs = [(cid or key, value, need, key) for key, value, need, cid in cfg.requirements]
    cost, groups = [m.obj["cost"] for m, _ in pool], [m.groups for m, _ in pool]

    def admits(c, sel, p):
        key, maximum, _ = c
        if key is None:
            return len(sel) < maximum
        value = groups[p].get(key)
        return maximum > 0 and (value is None or sum(groups[q].get(key) == value for q in sel) < maximum)

    def refusal(sel, p):
        return next((c[2] for c in constraints if not admits(c, sel, p)), None)

    def gain(sel, p):
        if not cfg.coverage:
            return pool[p][1]
        covered = {item for q in sel for item in pool[q][0].obj["cover"]}
        return f32(pool[p][1] + len(set(pool[p][0].obj["cover"]) - covered))

    def key(sel, p, by_ratio):
        g = gain(sel, p)
        return (math.inf if cost[p] == 0 else f32(g / cost[p])) if by_ratio else g

    def rank(sel, p, by_ratio):
        return order(key(sel, p, by_ratio))

    def greedy(by_ratio):
        chosen, spent, total = [], 0, 0.0
        while k is None or len(chosen) < k:
            fits = [p for p in range(n) if p not in chosen and refusal(chosen, p) is None
                    and not (tokens and spent + cost[p] > cap)]  # fmt: skip
            best = max(fits, key=lambda p: rank(chosen, p, by_ratio), default=None)
            if best is None:
                break
            total, spent = f32(total + gain(chosen, best)), spent + cost[best]
            chosen.append(best)
        return chosen, total

    single_won = False
    if tokens:
        (chosen, total), (plain, plain_total) = greedy(True), greedy(False)
        exhausted = len(chosen) == n
        chosen, total = (plain, plain_total) if total < plain_total else (chosen, total)
        alone = [p for p in range(n) if cost[p] <= cap and refusal([], p) is None]
        single = max(alone, key=lambda p: rank([], p, False), default=None)
        if single is not None and total < gain([], single):
            chosen, single_won = [single], True
    else:
        chosen, _ = greedy(False)
        exhausted = len(chosen) < k

    def feasible(sel):
        return (k is None or len(sel) <= k) and (not tokens or sum(cost[p] for p in sel) <= cap) and all(
            admits(c, sel[:i] + sel[i + 1 :], p) for i, p in enumerate(sel) for c in constraints)  # fmt: skip

    def met(req, sel):
        return sum(groups[p].get(req[3]) == req[1] for p in sel)

    def unmet(req):
        return ("요구 조건 '{}' 의 교체에 실패했다. 최소 {} 개가 필요하고 풀에서 해당 조건에 맞는 후보는 {} 개다. "
                "다른 제약과의 충돌도 확인해야 한다").format(req[0], req[2], met(req, range(n)))  # fmt: skip

    repaired = False
    for r, req in enumerate(needs):
        while met(req, chosen) < req[2]:
            incoming = [p for p in range(n) if p not in chosen and groups[p].get(req[3]) == req[1]]
            outgoing = [p for p in chosen if groups[p].get(req[3]) != req[1]]
            outgoing.sort(key=lambda p: pool[p][0].order, reverse=True)
            outgoing.sort(key=lambda p: total_key(pool[p][1]))
            bases = [[q for q in chosen if q != y] for y in outgoing]
            if k is not None and len(chosen) < k:
                bases.insert(0, chosen)
            trials = [base + [x] for x in incoming for base in bases]
            chosen = next((t for t in trials if feasible(t) and all(met(q, t) >= q[2] for q in needs[:r])),
                          None)  # fmt: skip
            if chosen is None:
                return unmet(req)
            repaired = True

    def cut_margin():
        """The last member's key against the members before it, less the best alternate's."""
        *before, last = chosen
        room = max(0, cap - sum(cost[p] for p in before)) if tokens else None
        keys = [key(before, p, tokens) for p in range(n) if p not in chosen and refusal(before, p) is None
                and not (tokens and cost[p] > room)]  # fmt: skip
        margin = f32(key(before, last, tokens) - max(keys, key=order)) if keys else math.nan
        return margin if math.isfinite(margin) else None

    margin = cut_margin() if chosen and not single_won else None
    return chosen, [None if p in chosen else refusal(chosen, p) for p in range(n)], exhausted, repaired, margin


def reference_run(cfg, models, derived_k):
    """The whole run written out plainly: ranked (identity, fused bits), rejection counts, kept records
    and the selection report, or the failed requirement's message. Tail mass takes the run's derived K."""
    names, b = [a[0] for a in cfg.axes], cfg.budget
    capacity = max(1, cfg.multiplier * (max(b[2], 1) if b[0] == "tail_mass" else b[1]))
    records, pool = [], []  # the pool is kept best first; keys are distinct
    for m in models:
        values = axis_values(cfg, m)
        missing = next((a[0] for a, v in zip(cfg.axes, values) if a[1] and v is None), None)
        if cfg.missing == "reject" and missing is not None:
            records.append((m, "not_scored", missing, None))
            continue
        entry = ((-total_key(admission_key(cfg, values)), m.order), m, values)
        if len(pool) == capacity and entry[0] > pool[-1][0]:
            records.append((m, "out_of_pool", None, None))
            continue
        bisect.insort(pool, entry, key=lambda e: e[0])
        if len(pool) > capacity:
            records.append((pool.pop()[1], "out_of_pool", None, None))
    staged = []
    for _, m, values in pool:
        missing = next((name for name, v in zip(names, values) if v is None), None)
        if cfg.missing == "reject" and missing is not None:
            records.append((m, "not_scored", missing, None))
        else:
            staged.append([m, values, [None] * len(names)])
    for i in range(len(names)):
        taking = [s for s in staged if s[1][i] is not None or cfg.imputed is not None]
        taking.sort(key=lambda s: (-total_key(cfg.imputed if s[1][i] is None else s[1][i]), s[0].order))
        for r, s in enumerate(taking, 1):
            s[2][i] = r
    entries = []
    for m, values, ranks in staged:
        fused = fused_score(cfg, values, ranks)
        if cfg.threshold is not None and fused < f32(cfg.threshold):
            records.append((m, "below_threshold", None, fused))
        else:
            entries.append((m, fused))
    entries.sort(key=lambda e: (-total_key(e[1]), e[0].order))
    selected = reference_select(cfg, entries, {"top_k": b[1], "tokens": None, "tail_mass": derived_k}[b[0]])
    if isinstance(selected, str):
        return selected
    chosen, blocked, exhausted, repaired, margin = selected
    for p, (m, fused) in enumerate(entries):
        if p not in chosen:
            records.append((m, "outranked" if blocked[p] is None else "set_constraint", blocked[p], fused))
    policy, n = cfg.retention
    kept = records if policy == "keep" else records[:n] if policy == "sample" else []
    exact, bound = guarantee(cfg, repaired)
    return (
        [(id(entries[p][0].obj), bits(entries[p][1])) for p in chosen],
        {reason: sum(r[1] == reason for r in records) for reason in REASONS},
        [(id(m.obj), reason, detail, bits(fused)) for m, reason, detail, fused in kept],
        {"exact": exact, "guarantee": bits(bound), "pool_size": len(pool), "pool_exhausted": exhausted,
         "cut_margin": bits(margin)},
    )


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("selector", [True, False], ids=["selector", "long_streams"])
def test_runs_match_the_reference(selector, seed):
    """Small pools that lean on the selector; long streams through pools of every size (heap reserve 1024)."""
    rng = random.Random(seed)
    cfg = make_config(rng, selector)
    n = rng.randint(3, 14) if selector else rng.choice([rng.randint(0, 60), rng.randint(500, 1500)])
    models = make_models(cfg, rng, n)
    calls = {id(m.obj): m.calls for m in models}
    engine = configure(cfg, lambda x: calls[id(x)])
    counts = [sys.getrefcount(m.obj) for m in models]
    try:
        out = engine.run(m.obj for m in models)
    except EngineError as error:
        assert str(error) == reference_run(cfg, models, None)
    else:
        got = ([(id(r.candidate), bits(r.fused)) for r in out.ranked], out.rejected_counts,
               [(id(r.candidate), r.reason, r.detail, bits(r.fused)) for r in out.rejected],
               {key: bits(v) for key, v in out.selection.items()})  # fmt: skip
        assert got == reference_run(cfg, models, out.trace["budget"] and out.trace["budget"]["derived_k"])
    out = None
    assert [sys.getrefcount(m.obj) for m in models] == counts


class Hostile(Exception):
    pass


class Tracked(collections.abc.Sequence):
    """A value whose conversions fail, lie, or start a nested run that drains the outer stream; as
    a sequence it claims more elements than memory could hold."""

    engine = stream = None  # the run under test, for the kinds that re-enter it

    def __init__(self, how):
        self.how = how

    def __float__(self):
        if self.how == "float":
            raise Hostile
        if self.how == "drain":
            Tracked.engine.run(Tracked.stream)
        return "0.5" if self.how == "wrong" else 0.25

    def __index__(self):
        raise Hostile

    def __str__(self):
        if self.how == "str":
            raise Hostile
        return "g" if self.how == "ok" else 5

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        raise IndexError(i)


class LyingDict(dict):
    def __getitem__(self, key):
        raise Hostile


class ReenteringDict(dict):  # its finaliser runs the engine again, wherever the run lets go of it
    def __del__(self):
        try:
            Tracked.engine.run([{"id": 0, "scores": [0.5, 0.5]}])
        except Exception:  # noqa: BLE001 - a finaliser has nowhere to raise to
            pass


HOSTILE_VALUES = [*(lambda how=how: Tracked(how) for how in ["float", "wrong", "str", "ok", "drain"]),
                  lambda: None, lambda: "x", lambda: 2**70, lambda: -1, lambda: [1], lambda: {}]  # fmt: skip
CALLBACKS = [  # raise, a short list, a huge sequence, clear the items, bad values, a generator, fine
    lambda xs: (_ for _ in ()).throw(Hostile()), lambda xs: [0.5] * (len(xs) // 2), lambda xs: Tracked("ok"),
    lambda xs: [x.clear() if isinstance(x, dict) else 0.5 for x in xs],
    lambda xs: [Tracked("float")] * len(xs), lambda xs: (0.5 for _ in xs), lambda xs: [0.5] * len(xs),
]


@pytest.mark.parametrize("seed", SEEDS)
def test_hostile_items_and_callbacks_break_nothing(seed):
    """Whatever an item or a callback does, the run ends with an allowed error or a complete
    outcome, and lets go of everything it read."""
    rng = random.Random(seed)
    made = []

    def item(i):
        d = {"id": i, "scores": {"a": 0.5, "b": 0.5}, "groups": {"g": "x"}, "cost": 1, "cover": ["x"]}
        for field in rng.sample(["id", "scores", "groups", "cost", "cover"], rng.randint(0, 2)):
            made.append(rng.choice(HOSTILE_VALUES)())
            nested = {"scores": {"a": made[-1]}, "groups": {"g": made[-1]}, "cover": [made[-1]]}.get(field)
            d[field] = nested if nested is not None and rng.random() < 0.5 else made[-1]
        return d

    items = [item(i) for i in range(rng.randint(0, 6))]
    wraps = [rng.choice([LyingDict, ReenteringDict, None, None, None]) for _ in items]
    fn, stop = rng.choice(CALLBACKS), rng.randint(0, 8)
    e = Engine()
    e.scorer("a")
    e.scorer("b", cost="expensive", fn=fn)
    e.max_per_group("g", 1)
    e.coverage_objective()
    if rng.random() < 0.5:
        e.budget_tokens(3)
    else:
        e.budget_top_k(2)

    def stream():  # a wrapped item is held by the run alone
        for i, (d, wrap) in enumerate(zip(items, wraps)):
            if i == stop:
                raise Hostile
            yield wrap(d) if wrap else d

    counts = [sys.getrefcount(x) for x in (*items, fn)]
    Tracked.engine, Tracked.stream = e, stream()
    try:
        assert e.run(Tracked.stream).is_complete()
    except (ValueError, TypeError, OverflowError, IndexError, Hostile, EngineError):
        pass
    Tracked.engine = Tracked.stream = None
    assert [sys.getrefcount(x) for x in (*items, fn)] == counts
    watched = [weakref.ref(v) for v in made if isinstance(v, Tracked)]
    del items, made
    gc.collect()
    assert all(r() is None for r in watched)
