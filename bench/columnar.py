"""Engine.run over Arrow memory against a plain top-K and the dict path.

n rows (default 10M): an id (uint64) and `scores`, a struct of two float32
columns, the second 10% null; two cheap axes, weighted sum, top 10, pool
multiplier 32 (a pool of 320), rejections("count"). In this process, best of
`repeats` in CPU time:
- the baseline: numpy.argpartition of one score column, then the sort of
  the top 320;
- Engine.run over the pyarrow Table, and over the same data as a polars and
  as a pandas (Arrow-backed) data frame;
- the best dict path: a generator over the table's batches giving their
  `to_pylist()` rows (already candidate dicts), on the first 1M rows, scaled.
Then peak memory of a 5M-row Parquet file streamed in 64K-row batches, each
in a fresh child process: draining the reader alone, and Engine.run over it.

    python bench/columnar.py [n] [repeats]
"""
import os
import subprocess
import sys
import tempfile

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pyarrow.parquet as pq

import vantorel
from timing import best_of_each, memory

POOL = 320


def make(n):
    rng = np.random.default_rng(7)
    b = pa.array(rng.random(n, dtype=np.float32), mask=rng.random(n) < 0.1)
    scores = pa.StructArray.from_arrays([pa.array(rng.random(n, dtype=np.float32)), b], names=["a", "b"])
    return pa.table({"id": pa.array(rng.permutation(n).astype(np.uint64)), "scores": scores})


def engine():
    e = vantorel.Engine()
    e.scorer("a")
    e.scorer("b")
    e.fuse("weighted_sum")
    e.budget_top_k(10)
    e.pool_multiplier(32)
    e.rejections("count")
    return e


def peak(mode, path):
    """Child process: peak memory growth while the Parquet file's batches are drained, or ranked."""
    e, f = engine(), pq.ParquetFile(path)
    reader = pa.RecordBatchReader.from_batches(f.schema_arrow, f.iter_batches(65536))
    before = memory("VmRSS")
    if mode == "drain":
        for _ in reader:
            pass
    else:
        assert len(e.run(reader).ranked) == 10
    print(memory("VmHWM") - before)


def main():
    if sys.argv[1:2] == ["--peak"]:
        return peak(sys.argv[2], sys.argv[3])
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    table, e = make(n), engine()
    a = table.column("scores").chunk(0).field("a").to_numpy()
    frame_pl, frame_pd = pl.from_arrow(table), table.to_pandas(types_mapper=pd.ArrowDtype)

    def argpartition():
        top = np.argpartition(a, n - POOL)[n - POOL :]
        return top[np.argsort(a[top])]

    t_base, t_table, t_pl, t_pd = best_of_each(repeats, [
        argpartition, lambda: e.run(table), lambda: e.run(frame_pl), lambda: e.run(frame_pd)])  # fmt: skip
    m = min(n, 1_000_000)
    head = table.slice(0, m)
    (t_dict,) = best_of_each(1, [lambda: e.run(row for b in head.to_batches(65536) for row in b.to_pylist())])
    t_dict *= n / m

    print(f"rows={n} (id uint64, scores {{a, b}} float32, b 10% null), top 10 of a pool of {POOL}, best of {repeats}")
    print(f"{'':52}{'seconds':>9}{'ns/row':>9}{'/argpart':>10}{'/table':>8}")
    for name, t in [("numpy.argpartition + sort of 320 (baseline)", t_base), ("Engine.run(pyarrow Table)", t_table),
                    ("Engine.run(polars DataFrame)", t_pl), ("Engine.run(pandas DataFrame, Arrow-backed)", t_pd),
                    (f"dict path: to_pylist batches ({m} rows, scaled)", t_dict)]:  # fmt: skip
        print(f"{name:52}{t:9.3f}{t / n * 1e9:9.2f}{t / t_base:10.2f}{t / t_table:8.2f}")
    print(f"the table is {t_dict / t_table:.0f}x faster than the dict path")

    rows = min(n, 5_000_000)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "rows.parquet")
        pq.write_table(table.slice(0, rows), path)
        drain, ranked = (int(subprocess.check_output([sys.executable, __file__, "--peak", mode, path], text=True))
                         for mode in ("drain", "run"))  # fmt: skip
    mib = 1 << 20
    print(f"Parquet file of {rows} rows in 64K-row batches, peak memory growth: draining {drain / mib:.1f} MiB, "
          f"Engine.run {ranked / mib:.1f} MiB, difference {(ranked - drain) / mib:.1f} MiB")


if __name__ == "__main__":
    main()
