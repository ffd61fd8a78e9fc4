"""vantorel.arrow: the columns equal what the result objects tell, `row` joins them back to the input,
and every exported structure is released on every path."""

import pickle
import random

import pytest
from test_columnar import canon
from test_reference import configure, make_config, make_models

from vantorel import Engine, EngineError, _core, arrow, parallel

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")


def as_objects(out, rows):
    """The columns as the objects tell them; rows[id(candidate)] is the candidate's input position."""
    key = int if all(isinstance(r.candidate["id"], int) for r in out.ranked + out.rejected) else str
    return canon([
        [{"id": key(r.id), "rank": r.rank, "fused": r.fused, **r.scores, "constraints": r.constraints,
          "row": rows[id(r.candidate)]} for r in out.ranked],
        [{"id": key(r.id), "reason": r.reason, "detail": r.detail, "fused": r.fused, "row": rows[id(r.candidate)]}
         for r in out.rejected]])  # fmt: skip


@pytest.mark.parametrize("seed", range(24))
def test_columns_equal_the_objects_before_and_after_they_are_made_and_pickled(seed):
    rng = random.Random(seed)
    cfg = make_config(rng, seed % 2 == 0)
    models = make_models(cfg, rng, rng.choice([0, rng.randint(1, 60), 700]))
    calls = {id(m.obj): m.calls for m in models}
    try:
        out = configure(cfg, lambda x: calls[id(x)]).run(m.obj for m in models)
    except EngineError:
        return
    exported = lambda o: canon([pa.table(part(o)).to_pylist() for part in (arrow.ranked, arrow.rejected)])  # noqa: E731
    before = exported(out)  # from the run's records, then (once they are read) from the objects, then restored
    assert before == as_objects(out, {id(m.obj): i for i, m in enumerate(models)})
    assert exported(out) == exported(pickle.loads(pickle.dumps(out))) == before


def test_rows_join_back_to_tables_and_partitions_and_mixed_ids_export_as_text():
    e = Engine()
    e.scorer("a")
    e.budget_top_k(3)
    ids = random.Random(3).sample(range(10**6), 50)
    table = pa.table({"id": pa.array(ids, pa.uint64()), "scores": [{"a": (i * 7 % 50) / 50} for i in range(50)]})
    out = e.run(pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=7)))
    for part in (arrow.ranked(out), arrow.rejected(out)):
        columns = pa.table(part)
        assert table.take(columns["row"])["id"].equals(columns["id"])
        assert pl.DataFrame(part).equals(pl.from_arrow(columns))
    parts = [table.slice(0, 20).to_pylist(), table.slice(20).to_pylist()]
    out = parallel.finish(e, parallel.merge([parallel.scan(e, p) for p in parts]))
    rows = pa.table(arrow.rejected(out))["row"].to_pylist()
    assert all(any(p[row] is r.candidate for p in parts if row < len(p)) for r, row in zip(out.rejected, rows))
    e.fuse("max")
    e.budget_top_k(1)
    out = e.run([{"id": 7, "scores": [0.5]}, {"id": "x", "scores": [0.25]}, {"id": 2**64 - 1, "scores": [None]}])
    assert pa.table(arrow.ranked(out)).to_pylist() == [
        {"id": "7", "rank": 1, "fused": 0.5, "a": 0.5, "constraints": [], "row": 0}]  # fmt: skip
    assert pa.table(arrow.rejected(out)).select(["id", "row"]).to_pylist() == [
        {"id": "x", "row": 1}, {"id": str(2**64 - 1), "row": 2}]  # fmt: skip
    assert str(pa.schema(arrow.ranked(out))) == str(pa.table(arrow.ranked(out)).schema) == (
        "id: string not null\nrank: uint32 not null\nfused: float not null\na: float\n"
        "constraints: list<item: string> not null\n  child 0, item: string\nrow: uint64 not null")


def test_every_exported_structure_is_released(monkeypatch):
    monkeypatch.setattr(arrow, "_BATCH_ROWS", 3)
    e = Engine()
    e.scorer("a")
    e.budget_top_k(2)
    out, live = e.run({"id": i, "scores": [i / 10]} for i in range(10)), _core._arrow_live()
    for part in (arrow.ranked(out), arrow.rejected(out)):
        part.__arrow_c_stream__(), part.__arrow_c_schema__()  # never taken
        reader = pa.RecordBatchReader._import_from_c_capsule(part.__arrow_c_stream__())
        assert reader.read_next_batch().num_rows > 0
        assert _core._arrow_live() > live
        del reader  # dropped half-way
        assert _core._arrow_live() == live
        pa.table(part)  # taken whole, then dropped
        assert _core._arrow_live() == live
    with pytest.raises(TypeError):
        arrow.ranked(e)
