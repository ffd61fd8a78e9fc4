"""Tables and data frames read straight from their Arrow memory. A table means the list of its rows as
`to_pylist()` gives them: a run over one equals the run over those dicts, field by field, and a flat
column mapping equals the run over the dicts it builds, with its rows as the candidates. Schema faults
are refused before the first row. VANTOREL_FUZZ_EXAMPLES: random tables per property (60)."""

import collections
import os
import random
import struct
from decimal import Decimal

import numpy as np
import pytest
from test_reference import AXES, GROUP_KEYS, GROUP_VALUES, configure, make_config, number

from vantorel import Engine, EngineError, columns

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")
pytest.importorskip("pandas")

EXAMPLES = int(os.environ.get("VANTOREL_FUZZ_EXAMPLES", "60"))


def text(r):
    return r.choice(GROUP_VALUES + ["", "é", "a text of more than twelve bytes"])


TYPES = {  # Arrow type and a maker of a value of each column type
    "int8": (pa.int8(), lambda r: r.randrange(-20, 60)),
    "int64": (pa.int64(), lambda r: r.choice([r.randrange(-3, 9), 2**62 + 1, -(2**63), 2**53 + 1])),
    "uint64": (pa.uint64(), lambda r: r.choice([r.randrange(60), 2**64 - 1, 2**53 + 1])),
    "cost": (pa.int64(), lambda r: r.randrange(13) if r.random() < 0.99 else r.choice([-1, 2**32])),  # or a row fault
    "bool": (pa.bool_(), lambda r: r.random() < 0.5),
    "float32": (pa.float32(), number),
    "float64": (pa.float64(), lambda r: r.choice([number(r), 1e-300, 0.1, -1e300, 1e39])),
    "utf8": (pa.string(), text), "large_utf8": (pa.large_string(), text), "utf8_view": (pa.string_view(), text),
    "dictionary": (pa.dictionary(pa.int16(), pa.string()), text),
    "dictionary_float": (pa.dictionary(pa.uint16(), pa.float32()), number),
    "null": (pa.null(), lambda r: None),
}  # fmt: skip
ID_TYPES = ["int8", "int64", "uint64", "bool", "utf8", "large_utf8", "utf8_view", "dictionary", "float64", "null"]
SCORE_TYPES = ["float32", "float64", "int8", "int64", "uint64", "bool", "dictionary_float", "null"]
GROUP_TYPES = ["utf8", "large_utf8", "utf8_view", "dictionary", "int8", "bool", "float64", "null"]
NORMALIZERS = [{}, {}, {"normalize": "sigmoid"}, {"normalize": "clamp01"},
               {"normalize": "minmax", "normalize_range": (-1.0, 2.0)}]  # fmt: skip


def canon(x):
    """A value with its floats as their bit patterns (NaN and -0.0 compare as themselves) and its
    dicts as their items in order."""
    if isinstance(x, float):
        return struct.pack("<d", x)
    if isinstance(x, dict):
        return [(k, canon(v)) for k, v in x.items()]
    return [canon(v) for v in x] if isinstance(x, (list, tuple)) else x


def outcome(run, original=lambda c: c):
    """Everything a run tells, comparable; original(candidate) is the row a candidate stands for."""
    try:
        out = run()
    except Exception as error:  # noqa: BLE001 - the error is part of the outcome
        return type(error), str(error)
    scorers = [{k: v for k, v in s.items() if k != "elapsed_nanos"} for s in out.trace["scorers"]]
    return canon([
        [(r.id, r.rank, r.fused, r.scores, r.fusion, r.constraints, r.to_json(), original(r.candidate))
         for r in out.ranked],
        [(r.id, r.reason, r.detail, r.fused, original(r.candidate)) for r in out.rejected],
        out.rejected_counts, out.selection, dict(out.trace, scorers=scorers), out.is_complete()])  # fmt: skip


def calls(row):
    """What the axes with their own scoring function give a row: fixed by its contents."""
    r = random.Random(repr(row))
    return [number(r, none=0.1) for _ in AXES]


def make_columns(rng, flat):
    """(name, Arrow type, maker of a row's value) of each column: the candidate fields nested, or flat
    with the id as 'doc'; nulls at every level; carried columns; now and then a second column of a name."""
    none, holes = rng.choice([0.0, 0.1, 0.4]), rng.random() < 0.2

    def cell(names):
        arrow, make = TYPES[rng.choice(names)]
        return arrow, lambda r: None if r.random() < none else make(r)

    def whole(make):  # a null row: a fault where a dict or a list must be
        def value(r):
            v = make(r)
            return (Hidden(v) if isinstance(v, dict) else None) if holes and r.random() < 0.05 else v

        return value

    def nested(name, fields):
        if flat:
            return fields
        arrow = pa.struct([(n, t) for n, t, _ in fields])
        return [(name, arrow, whole(lambda r: {n: m(r) for n, _, m in fields}))] if fields else []

    def items(arrow, make, size=None):
        listed = rng.choice([pa.list_, pa.large_list])(arrow) if size is None else pa.list_(arrow, size)
        return listed, whole(lambda r: [make(r) for _ in range(size if size else r.randrange(5))])

    cols = [("doc" if flat else "id", *cell(ID_TYPES))]
    if flat or rng.random() < 0.6:
        cols += nested("scores", [(a, *cell(SCORE_TYPES)) for a in AXES + ["z"] if rng.random() < 0.8])
    else:  # a list in axis order, of any length
        cols.append(("scores", *items(*cell(SCORE_TYPES), rng.choice([None, rng.randint(1, 4)]))))
    cols += nested("groups", [(k, *cell(GROUP_TYPES)) for k in GROUP_KEYS + ["k"] if rng.random() < 0.8])
    cols += [("cost", *cell(["cost", "cost", "bool", "null"])), ("cover", *items(*cell(GROUP_TYPES)))]
    carried = [("extra", pa.struct([("n", pa.list_(pa.int64())), ("b", pa.binary())]),
                lambda r: {"n": [r.randrange(9)] * r.randrange(3), "b": b"\x00\xff"}),
               ("blob", pa.binary(2), lambda r: None if r.random() < none else b"ab"),
               ("pairs", pa.list_(pa.struct([("k", pa.string_view())])), lambda r: [{"k": text(r)}])]
    cols += rng.sample(carried, rng.randint(0, 3))  # fmt: skip
    if not flat:
        cols = [c for c in cols if rng.random() < (0.97 if c[0] == "id" else 0.9)]
        if rng.random() < 0.1:
            cols.insert(rng.randint(0, len(cols)), (rng.choice(["id", "scores", "groups"]), *cell(["int8"])))
    return cols


class Hidden(dict):
    """A null struct row whose fields keep their values in the columns below it."""


def column(values, arrow):
    array = pa.array(values, arrow)
    if not any(isinstance(v, Hidden) for v in values):
        return array
    mask = pa.array([isinstance(v, Hidden) for v in values])
    return pa.StructArray.from_arrays([array.field(i) for i in range(arrow.num_fields)], fields=list(arrow), mask=mask)


def make_table(rng, cols):
    """Random rows in chunks built one by one (each with its own dictionaries; some empty), then sliced."""
    schema = pa.schema([(name, arrow) for name, arrow, _ in cols])
    lo, n, hi = rng.randrange(3), rng.choice([0, rng.randint(1, 12), rng.randint(0, 80), rng.randint(300, 700)]), 2
    cuts = sorted(rng.choices(range(lo + n + hi + 1), k=rng.randint(0, 3)))
    chunks = [pa.Table.from_arrays([column([m(rng) for _ in range(b - a)], t) for _, t, m in cols], schema=schema)
              for a, b in zip([0, *cuts], [*cuts, lo + n + hi])]  # fmt: skip
    return pa.concat_tables(chunks).slice(lo, n)


def export(rng, table, flat):
    """The table as one of the shapes Engine.run takes, and the rows that shape exports."""
    form = rng.choice(["table", "reader", "batch", "array", "polars", *["pandas"] * flat])
    batch = pa.RecordBatch.from_arrays([c.combine_chunks() for c in table.columns], schema=table.schema)
    if form == "reader":
        batches = table.to_batches()
        for _ in range(rng.randint(0, 2)):
            batches.insert(rng.randint(0, len(batches)), batch.slice(0, 0))
        return form, pa.RecordBatchReader.from_batches(table.schema, batches), table.to_pylist()
    if form == "batch":
        return form, batch, batch.to_pylist()
    if form == "array" and len(set(table.column_names)) == table.num_columns:  # its null rows are no dicts
        mask = pa.array([rng.random() < 0.02 for _ in range(len(batch))], pa.bool_())
        array = pa.StructArray.from_arrays(batch.columns, fields=list(table.schema), mask=mask)
        return form, array, array.to_pylist()
    if form in ("polars", "pandas"):
        try:
            frame = pl.from_arrow(table) if form == "polars" else table.to_pandas()
            return form, frame, pa.RecordBatchReader.from_stream(frame).read_all().to_pylist()
        except (pa.ArrowException, pl.exceptions.PolarsError, TypeError, ValueError):
            pass  # a type the frame does not take
    return "table", table, table.to_pylist()


def make_mapping(rng, names):
    """Arguments of columns() over the flat columns present: scores and groups as lists or dicts."""
    def pick(keys, pool):
        present = [c for c in pool if c in names]
        if not present or rng.random() < 0.1:
            return None
        if rng.random() < 0.5:
            return rng.sample(present, rng.randint(1, len(present)))
        return {k: rng.choice(present) for k in keys if rng.random() < 0.8}

    return dict(id="doc", scores=pick(AXES, AXES + ["z"]), groups=pick(GROUP_KEYS, GROUP_KEYS + ["k"]),
                cost="cost" if "cost" in names and rng.random() < 0.8 else None,
                cover="cover" if "cover" in names and rng.random() < 0.8 else None)  # fmt: skip


def mapped(row, mapping):
    """The candidate dict that a mapping builds from a flat row (a null row stays no dict)."""
    if row is None:
        return None
    item = {"id": row[mapping["id"]]}
    for field in ("scores", "groups"):
        if (m := mapping[field]) is not None:
            item[field] = {k: row[c] for k, c in (m.items() if isinstance(m, dict) else zip(m, m))}
    item.update({field: row[mapping[field]] for field in ("cost", "cover") if mapping[field] is not None})
    return item


@pytest.mark.parametrize("flat", [False, True], ids=["nested", "flat"])
def test_tables_run_as_their_rows(flat):
    """Random tables of every supported type, as every shape of Arrow data, under random configurations."""
    seen = collections.Counter()
    for seed in range(EXAMPLES):
        rng = random.Random(seed)
        cols = make_columns(rng, flat)
        form, data, rows = export(rng, make_table(rng, cols), flat)
        items, origin = rows, {}
        if flat:
            mapping = make_mapping(rng, [c[0] for c in cols])
            data, items = columns(data, **mapping), [mapped(row, mapping) for row in rows]
            origin = {id(item): row for item, row in zip(items, rows) if row is not None}

        def original(c):
            return origin.get(id(c), c)

        cfg = make_config(rng, rng.random() < 0.3)
        norms = {a: rng.choice(NORMALIZERS) for a in AXES}
        engine = configure(cfg, lambda x: calls(original(x)), norms.get)
        for axis in [a for a, cheap, _ in cfg.axes if cheap][: rng.randint(0, 1)]:
            engine.unary_min(axis, rng.uniform(-0.5, 1))
        expected = outcome(lambda: engine.run(items), original)
        assert outcome(lambda: engine.run(data), original) == expected, f"seed {seed}, {form}"
        failed = isinstance(expected, tuple)
        seen.update([form, "engine error" if failed and expected[0] is EngineError else "row error" if failed
                     else "overflow" if dict(expected[2])["out_of_pool"] else "returned"])  # fmt: skip
    wanted = {"table", "reader", "batch", "array", "polars", "engine error", "row error", "overflow", "returned"}
    assert wanted | ({"pandas"} if flat else set()) <= seen.keys(), seen


def test_a_stream_is_read_one_batch_at_a_time():
    """Rows kept in the pool and among the rejections outlive their batch, and no batch outlives the next read."""
    schema = pa.schema([("id", pa.string_view()), ("scores", pa.list_(pa.float32()))])
    held, sizes = [], []

    def batches():
        rng = random.Random(5)
        base = pa.total_allocated_bytes()
        for i in range(50):
            held.append(pa.total_allocated_bytes() - base)
            n = rng.randint(0, 4000)
            ids, scores = [f"row {i}-{j}" for j in range(n)], [[rng.random(), rng.random()] for _ in range(n)]
            batch = pa.record_batch([pa.array(ids, pa.string_view()), pa.array(scores, pa.list_(pa.float32()))],
                                    schema=schema)  # fmt: skip
            sizes.append(batch.get_total_buffer_size())
            yield batch

    e = Engine()
    e.scorer("a")
    e.scorer("b", cost="expensive", fn=lambda rows: [len(r["id"]) / 16 for r in rows])
    e.fuse("weighted_sum")
    e.budget_top_k(5)
    e.pool_multiplier(3)
    e.rejections("sample", n=300)
    got = outcome(lambda: e.run(pa.RecordBatchReader.from_batches(schema, batches())))
    assert max(held) < 3 * max(sizes)
    assert got == outcome(lambda: e.run(pa.Table.from_batches(list(batches()), schema).to_pylist()))


@pytest.mark.parametrize("fusion", ["weighted_sum", "max", "rrf"])
@pytest.mark.parametrize("retention", ["count", "keep"])
def test_long_columns_are_screened_as_their_rows(fusion, retention):
    """Float columns read in place or narrowed in bulk, over many row blocks of a batch sliced off its
    bitmaps' byte boundaries: NaN, nulls, -0 and ties at the pool's worst key included."""
    rng = np.random.default_rng(3)
    n = 20_000

    def axis(dtype):
        v = rng.choice(np.array([0.25, 0.5, -0.0, 0.0, np.nan, np.inf], dtype), n) if dtype == np.float64 else \
            rng.random(n, dtype)
        return pa.array(v, mask=rng.random(n) < 0.2)

    scores = pa.StructArray.from_arrays([axis(np.float32), axis(np.float64)], names=["a", "b"])
    table = pa.table({"id": pa.array(rng.permutation(n).astype(np.uint64)), "scores": scores}).slice(3, n - 5)
    e = Engine()
    e.scorer("a")
    e.scorer("b")
    e.fuse(fusion)
    e.budget_top_k(7)
    e.pool_multiplier(5)
    e.rejections(retention)
    assert outcome(lambda: e.run(table)) == outcome(lambda: e.run(table.to_pylist()))


def one_row(**cols):
    """A table of one row: a valid id and scores, with the given columns replacing or joining them."""
    return pa.table({"id": [0], "scores": pa.array([{"a": 0.5}]), **cols})


def struct_of(**fields):
    return pa.StructArray.from_arrays(list(fields.values()), names=list(fields))


HALF = pa.array(np.array([0.5], np.float16))
SCHEMA_FAULTS = [  # the table, the arguments of columns() or None, the error, what its message names
    (one_row(id=pa.array([0], pa.timestamp("s"))), None, TypeError, "'id' .*'tss:'"),
    (one_row(scores=struct_of(a=pa.array([Decimal(1)], pa.decimal128(4, 2)))), None, TypeError, "'scores' .*'d:4,2'"),
    (one_row(scores=pa.ListArray.from_arrays([0, 1], HALF)), None, TypeError, "'scores' .*'e'"),
    (one_row(when=pa.array([0], pa.timestamp("ms", "UTC"))), None, TypeError, "'when' .*'tsm:UTC'"),
    (one_row(extra=pa.array([[("k", 1)]], pa.map_(pa.string(), pa.int64()))), None, TypeError, r"'extra' .*'\+m'"),
    (one_row(scores=struct_of(a=HALF.cast(pa.float32()), b=HALF)), None, TypeError, "'scores' .*'e'"),
    (one_row(scores=pa.StructArray.from_arrays([HALF.cast(pa.float32())] * 2, names=["a", "a"])), None, ValueError,
     "'scores' .*'a'"),
    (one_row(bm25=HALF), {"scores": ["bm25"]}, TypeError, "'bm25' .*'e'"),
    (one_row(), {"id": "doc"}, ValueError, "'doc'"),
    (one_row(), {"id": "id", "scores": {"a": "ctr"}}, ValueError, "'ctr'"),
    (one_row(), {"id": "id", "groups": ["brand"]}, ValueError, "'brand'"),
    (one_row(), {"id": "id", "cost": "tokens"}, ValueError, "'tokens'"),
]  # fmt: skip


@pytest.mark.parametrize(("table", "mapping", "error", "names"), SCHEMA_FAULTS)
def test_schema_faults_are_refused_before_the_first_row(table, mapping, error, names):
    pulled = []

    def batches():
        pulled.append(True)
        yield from table.to_batches()

    data = pa.RecordBatchReader.from_batches(table.schema, batches())
    e = Engine()
    e.scorer("a")
    with pytest.raises(error, match=names):
        e.run(data if mapping is None else columns(data, **mapping))
    assert not pulled


@pytest.mark.parametrize(("data", "mapping"), [
    ([{"id": 0}], {}), (pa.array([0.5]), {}), (one_row(), {"id": None}), (one_row(), {"id": 0}),
    (one_row(), {"scores": "a"}), (one_row(), {"scores": [0]}), (one_row(), {"groups": {"g": None}}),
    (one_row(), {"cost": ["c"]}), (one_row(), {"cover": 0}),
])  # fmt: skip
def test_columns_takes_arrow_data_and_column_names(data, mapping):
    e = Engine()
    e.scorer("a")
    with pytest.raises(TypeError):
        e.run(columns(data, **mapping))


class Stream:
    def __init__(self, export):
        self.export = export

    def __arrow_c_stream__(self, requested_schema=None):
        return self.export()


class Array:
    __init__ = Stream.__init__

    def __arrow_c_array__(self, requested_schema=None):
        return self.export()


def refuse():
    raise LookupError("export refused")


BATCH = one_row().to_batches()[0]


@pytest.mark.parametrize(("data", "error", "names"), [
    (Stream(refuse), LookupError, "export refused"), (Array(refuse), LookupError, "export refused"),
    (Stream(lambda: 5), TypeError, "arrow_array_stream"),
    (Stream(lambda: BATCH.schema.__arrow_c_schema__()), TypeError, "arrow_array_stream"),
    (Array(lambda: (BATCH.schema.__arrow_c_schema__(),)), TypeError, "arrow_schema"),
    (Array(lambda: BATCH.__arrow_c_array__()[::-1]), TypeError, "arrow_schema"),
])  # fmt: skip
def test_refused_exports(data, error, names):
    e = Engine()
    e.scorer("a")
    with pytest.raises(error, match=names):
        e.run(data)


def test_a_failing_stream_ends_the_run_which_then_raises_and_lets_it_go():
    closed = []

    def batches():
        try:
            yield BATCH
            raise LookupError("disk gone")
        finally:
            closed.append(True)

    pools = []
    e = Engine()
    e.scorer("a")
    e.scorer("x", cost="expensive", fn=lambda pool: pools.append([c["id"] for c in pool]) or [0.5] * len(pool))
    with pytest.raises(ValueError, match="disk gone"):
        e.run(pa.RecordBatchReader.from_batches(BATCH.schema, batches()))
    assert pools == [[0]] and closed == [True]
