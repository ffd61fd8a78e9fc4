"""The same kind of search over a catalogue kept in a Parquet file, read in batches.

The file has flat columns (sku, bm25, ctr, brand, tokens, ...); `vantorel.columns` says
which is which, so nothing is reshaped. Only the columns the run needs are read for
every row; a row's dict is made only when it enters the pool of the best few hundred.
"""
import tempfile
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

import vantorel

N_ROWS = 1_000_000


def write_catalogue(path: Path, n: int, seed: int = 7) -> None:
    rng = np.random.default_rng(seed)
    brands = np.array(["acme", "globex", "initech", "umbrella", "hooli"])
    table = pa.table({
        "sku": np.arange(n, dtype=np.uint64),
        "bm25": rng.gamma(2.0, 2.0, n).astype(np.float32),
        "ctr": pa.array(rng.beta(1.0, 20.0, n).astype(np.float32), mask=rng.random(n) < 0.1),
        "brand": pa.array(brands[rng.integers(0, len(brands), n)]).dictionary_encode(),
        "tokens": rng.integers(80, 400, n, dtype=np.int32),
        "title": [f"product {i}" for i in range(n)],
    })
    pq.write_table(table, path, row_group_size=65_536)


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "catalogue.parquet"
        write_catalogue(path, N_ROWS)

        engine = vantorel.Engine()
        engine.scorer("bm25", scale="unbounded", normalize="minmax", normalize_range=(0.0, 20.0))
        engine.scorer("ctr")
        engine.fuse("weighted_sum", weights={"bm25": 0.7, "ctr": 0.3})
        engine.missing("impute", value=0.0)  # no click data yet: a click-through rate of 0
        engine.max_per_group("brand", 3)
        engine.budget_tokens(1_500)          # a context window of 1,500 tokens
        engine.pool_multiplier(1)            # for a token budget the pool holds 1,500 rows
        engine.rejections("count")           # a million rejections: count them, keep none

        file = pq.ParquetFile(path)
        batches = pa.RecordBatchReader.from_batches(file.schema_arrow, file.iter_batches(batch_size=65_536))
        outcome = engine.run(vantorel.columns(batches, id="sku", scores=["bm25", "ctr"], groups=["brand"],
                                              cost="tokens"))

    print(f"{outcome.trace['input_count']:,} rows read, {len(outcome.ranked)} chosen "
          f"({sum(r.candidate['tokens'] for r in outcome.ranked)} tokens)")
    for r in outcome.ranked:
        print(f"{r.rank:2d}. {r.candidate['title']:<16} {r.candidate['brand']:<8} fused={r.fused:.4f}")
    assert outcome.is_complete()


if __name__ == "__main__":
    main()
