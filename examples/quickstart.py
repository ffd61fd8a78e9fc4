"""Product search over a long catalogue stream: choose 10 results for one query.

Every product is generated on the fly (nothing is held in a list), scored on two
cheap axes in a single streaming pass, and only the best few hundred reach the
expensive re-ranker. The final ten respect a per-brand cap, contain at least two
items from the local warehouse, and spread over categories.
"""
import json
import random
from collections.abc import Iterator
from typing import Any

import vantorel

N_PRODUCTS = 120_000
BRANDS = ["acme"] * 6 + ["globex"] * 4 + ["initech"] * 3 + ["umbrella", "hooli", "stark", "wayne", "tyrell"]
CATEGORIES = ["running", "hiking", "casual", "formal", "kids", "sandals", "boots", "slippers"]
QUERY_TERMS = {"trail", "waterproof", "light"}
WORDS = sorted(QUERY_TERMS | {"classic", "leather", "mesh", "canvas", "wide", "vegan"})


def catalogue(n: int, seed: int = 2024) -> Iterator[dict[str, Any]]:
    """Yield product dicts one at a time, deterministically."""
    rng = random.Random(seed)
    for i in range(n):
        yield {
            "id": f"sku-{i:06d}",
            "scores": {
                "relevance": rng.random() ** 2,          # first-pass retrieval score, 0..1
                "freshness": -rng.expovariate(1 / 90),   # minus the age in days
            },
            "groups": {
                "brand": rng.choice(BRANDS),
                "warehouse": "local" if rng.random() < 0.05 else "central",
            },
            "cover": [rng.choice(CATEGORIES)],
            "title": " ".join(rng.sample(WORDS, 3)),
        }


def rerank(pool: list[dict[str, Any]]) -> list[float]:
    """Stand-in for a cross-encoder: called once with the whole stage-2 pool."""
    out = []
    for product in pool:
        overlap = len(QUERY_TERMS & set(product["title"].split())) / len(QUERY_TERMS)
        out.append(0.6 * overlap + 0.4 * product["scores"]["relevance"])
    return out


engine = vantorel.Engine()
engine.scorer("relevance")                                   # cheap, already on 0..1
engine.scorer("freshness", scale="unbounded",                # cheap, 0 days -> 1.0, a year or older -> 0.0
              normalize="minmax", normalize_range=(-365.0, 0.0))
engine.scorer("rerank", cost="expensive", fn=rerank)          # pool only, one batch call
engine.fuse("weighted_sum", weights={"relevance": 0.3, "freshness": 0.2, "rerank": 0.5})
engine.max_per_group("brand", 2)
engine.require_at_least("warehouse", "local", 2, id="local_stock")
engine.coverage_objective()
engine.budget_top_k(10)
engine.pool_multiplier(30)                                   # stage-2 pool of 10 * 30 = 300
engine.rejections("count")                                   # exact counts, no rejected objects kept

outcome = engine.run(catalogue(N_PRODUCTS))

print("rank  id           fused   brand     warehouse  category")
for r in outcome.ranked:
    groups = r.candidate["groups"]
    print(f"{r.rank:>4}  {r.id}  {r.fused:.4f}  {groups['brand']:<8}  {groups['warehouse']:<9}  "
          f"{r.candidate['cover'][0]}")

print("\naudit record of rank 1:")
print(outcome.ranked[0].to_json())

print("\nrejected_counts:", json.dumps(outcome.rejected_counts))
print("selection:", json.dumps(outcome.selection))
print(f"input_count: {outcome.trace['input_count']}, pool_capacity: {outcome.trace['pool_capacity']}")
print("complete:", outcome.is_complete())
