"""Kept rejections as Arrow columns against reading them as Rejected objects.

A run over n + 10 candidate dicts (default n = 1M) keeps its top 10 and every
rejection (rejections("keep")), so its outcome holds n kept rejections. On a
fresh outcome of that run each time, best of `repeats` in CPU time in this
process:
- the baseline: `[r.fused for r in outcome.rejected]`, which makes the
  Rejected objects and reads one field of each;
- `pyarrow.table(vantorel.arrow.rejected(outcome))`: every column of them;
with numeric ids, then with text ids.

    python bench/arrow_output.py [n] [repeats]
"""
import sys
import time

import pyarrow as pa

import vantorel
import vantorel.arrow


def best_of(repeats, make, fn):
    """Best CPU time of fn(x) over `repeats` fresh x = make(), made untimed."""
    best = float("inf")
    for _ in range(repeats):
        x = make()
        t0 = time.process_time()
        fn(x)
        best = min(best, time.process_time() - t0)
    return best


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    e = vantorel.Engine()
    e.scorer("a")
    e.scorer("b")
    e.fuse("weighted_sum")
    e.budget_top_k(10)
    print(f"{n} kept rejections, best of {repeats}, a fresh outcome each time")
    print(f"{'':62}{'seconds':>9}{'ratio':>8}")
    for label, ident in [("numeric ids", lambda i: i), ("text ids", lambda i: f"doc-{i}")]:
        items = [{"id": ident(i), "scores": [(i * 7919 % 1000) / 1000, (i % 13) / 13]} for i in range(n + 10)]

        def outcome(items=items):
            out = e.run(items)
            assert sum(out.rejected_counts.values()) == n
            return out

        t_objects = best_of(repeats, outcome, lambda out: [r.fused for r in out.rejected])
        t_arrow = best_of(repeats, outcome, lambda out: pa.table(vantorel.arrow.rejected(out)))
        assert pa.table(vantorel.arrow.rejected(outcome())).num_rows == n
        for name, t in [("[r.fused for r in outcome.rejected]", t_objects),
                        ("pyarrow.table(vantorel.arrow.rejected(outcome))", t_arrow)]:  # fmt: skip
            print(f"{label + ': ' + name:62}{t:9.3f}{t / t_objects:8.3f}")


if __name__ == "__main__":
    main()
