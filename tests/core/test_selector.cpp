// The set selector: tie and NaN rules, token-mode choices, repair order, and
// the fast selector against the step-by-step oracle on random pools.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "literal_selector.hpp"

namespace vantorel {
namespace {

struct Cand {
  CandidateId id;
  std::vector<std::optional<std::string>> groups;  // always four values
  std::vector<std::string> cover;
  std::uint32_t cost = 0;
};

using Pos = std::vector<std::size_t>;
using Group = std::optional<std::string>;
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();
const CostFn<Cand> kCost = [](const Cand& c) { return c.cost; };
const Coverage<Cand, std::string> kCoverage([](const Cand& c) { return c.cover; });

struct EntryDef {
  float fused;
  std::uint32_t cost = 0;
  std::vector<Group> groups = {};
  std::vector<std::string> cover = {};
};

// Entries get ids 1, 2, 3, ... in the order given (already rank order).
std::vector<PoolEntry<Cand>> make_pool(const std::vector<EntryDef>& defs) {
  std::vector<PoolEntry<Cand>> pool;
  for (const auto& d : defs) {
    PoolEntry<Cand> e;
    auto groups = d.groups;
    groups.resize(4);
    e.key = CandidateId(pool.size() + 1);
    e.candidate = Cand{e.key, std::move(groups), d.cover, d.cost};
    e.fused = d.fused;
    pool.push_back(std::move(e));
  }
  return pool;
}

Requirement<Cand> require(std::string name, std::size_t key, std::string value, std::size_t n) {
  return Requirement<Cand>::at_least(std::move(name), n, [key, value](const Cand& c) {
    return c.groups[key] && *c.groups[key] == value;
  });
}

// Bits of an optional margin, 0 for none.
std::uint64_t bits(std::optional<float> f) { return f ? std::bit_cast<std::uint32_t>(*f) + 1ull : 0ull; }

TEST(Selector, TieNaNAndTokenRules) {
  struct Case {
    const char* name;
    std::vector<EntryDef> pool;
    std::optional<std::size_t> k;
    std::optional<std::uint32_t> tokens;
    Pos want;
    std::optional<float> margin;
    bool coverage = false;
  };
  const std::vector<EntryDef> three = {{0.9f}, {0.8f}, {0.7f}};
  const Case cases[] = {
      // Equal keys keep the earlier entry: +0 before -0, and gains tied through the objective.
      {"plus_zero_before_minus_zero", {{0.0f}, {-0.0f}}, 1, {}, {0}, 0.0f},
      {"equal_gains_keep_the_earlier", {{1.0f}, {0.0f, 0, {}, {"x"}}}, 1, {}, {0}, 0.0f, true},
      // The margin is the 32-bit difference to the best entry left out; a NaN alternate never wins.
      {"margin_in_32_bits", three, 2, {}, {0, 1}, 0.8f - 0.7f},
      {"nan_alternate_never_wins", {{0.9f}, {0.5f}, {-kNaN}}, 1, {}, {0}, 0.9f - 0.5f},
      {"no_alternate_no_margin", three, 3, {}, {0, 1, 2}, std::nullopt},
      {"k_zero_no_margin", three, 0, {}, {}, std::nullopt},
      // Both passes take 0.5; the single best entry prefers the number too and
      // does not beat it; the margin against the NaN entry is NaN.
      {"single_best_prefers_a_number", {{kNaN, 1}, {0.5f, 1}}, {}, 1, {1}, kNaN},
      // Ratio pass B, C (10) beats the plain pass A (9), and the other way round.
      {"ratio_beats_plain", {{9.0f, 10}, {5.0f, 5}, {5.0f, 5}}, {}, 10, {1, 2}, std::nullopt},
      {"plain_beats_ratio", {{9.5f, 10}, {5.0f, 5}, {4.0f, 5}}, {}, 10, {0}, 0.95f - 1.0f},
      // Ratio pass 0, 2 (9); plain pass 0, 1 (9.5); single 0 (6).
      {"plain_pair_wins", {{6.0f, 6}, {3.5f, 4}, {3.0f, 3}, {2.9f, 3}}, {}, 10, {0, 1}, 0.875f - 1.0f},
      // Both passes take A then B (total 1); the single entry A (3) wins with a NaN margin.
      {"negative_gain_single_wins", {{3.0f, 5}, {-2.0f, 5}}, {}, 10, {0}, kNaN},
      // A zero-cost entry has ratio key +inf and is taken first; one dearer than
      // the budget never. No entry left fits: no margin.
      {"zero_cost_first", {{9.0f, 5}, {0.1f, 0}}, {}, 5, {1, 0}, std::nullopt},
      {"over_budget_skipped", {{9.0f, 11}, {1.0f, 4}}, {}, 10, {1}, std::nullopt},
  };
  for (const auto& c : cases) {
    Selector<Cand> s;
    s.k = c.k;
    s.tokens = c.tokens;
    s.cost = c.tokens ? &kCost : nullptr;
    s.objective = c.coverage ? &kCoverage : nullptr;
    const auto out = s.run(make_pool(c.pool));
    ASSERT_TRUE(out.has_value()) << c.name;
    EXPECT_EQ(out->indices, c.want) << c.name;
    EXPECT_EQ(bits(out->cut_margin), bits(c.margin)) << c.name;
  }
}

// Ids 1 and 2 tie at 0.5: outgoing entries go by fused ascending, equal
// scores by key descending, so id 2 (position 1) leaves first.
TEST(Selector, RepairSwapsOutTheLaterOfEqualScores) {
  const std::vector<Requirement<Cand>> rs = {require("lang", 1, "ko", 1)};
  Selector<Cand> s;
  s.k = 2;
  s.requirements = &rs;
  const auto out = s.run(make_pool({{0.5f, 0, {{}, "en"}}, {0.5f, 0, {{}, "en"}}, {0.4f, 0, {{}, "ko"}}}));
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->indices, (Pos{0, 2}));
  EXPECT_TRUE(out->repaired);
}

TEST(Oracle, SameChoiceBitForBitOnRandomPools) {
  std::mt19937 rng(20240611);
  auto pick = [&](const auto& options) { return options[rng() % options.size()]; };
  const std::vector<float> fused = {1.0f, 0.5f, 0.5f, 0.25f, 0.0f, -0.0f, -1.0f, 3.0f, kNaN, -kNaN, kInf, -kInf};
  const std::vector<Group> values = {std::nullopt, "a", "b", "c"};
  const std::vector<std::string> items = {"x", "y", "z", "w", "v"};
  const std::vector<std::uint32_t> costs = {0, 1, 3, 5, 10, 4000000000u};
  const std::vector<float> weights = {1.0f, 0.5f, 2.0f, 1e8f, 0.0f};  // v, w, x, y, z
  int failed = 0, repaired = 0, single = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    std::vector<EntryDef> defs(rng() % 24);
    for (auto& d : defs) {
      d = {pick(fused), pick(costs), {pick(values), pick(values), pick(values), pick(values)}, {}};
      for (std::size_t n = rng() % 5; n > 0; --n) d.cover.push_back(pick(items));
    }
    std::stable_sort(defs.begin(), defs.end(), [](const auto& a, const auto& b) { return total_cmp(a.fused, b.fused) > 0; });
    const auto pool = make_pool(defs);

    std::vector<std::unique_ptr<SetConstraint<Cand>>> cs;
    for (std::size_t n = rng() % 4; n > 0; --n) {
      if (rng() % 3 == 0)
        cs.push_back(std::make_unique<MaxTotal<Cand>>("total", pick(std::vector<std::size_t>{0, 1, 3, 100})));
      else
        cs.push_back(std::make_unique<GroupLimit<Cand>>("g" + std::to_string(n), rng() % 4, rng() % 3));
    }
    std::vector<Requirement<Cand>> rs;
    for (std::size_t n = rng() % 3; n > 0; --n)
      rs.push_back(require("r" + std::to_string(n), rng() % 4, *values[1 + rng() % 3], 1 + rng() % 3));
    const bool negative = rng() % 4 == 0;  // "v" weighs -1: gains may grow
    const Coverage<Cand, std::string> weighted([](const Cand& c) { return c.cover; }, [&](const std::string& item) {
      return item == "v" && negative ? -1.0f : weights[static_cast<std::size_t>(item[0] - 'v')];
    });

    Selector<Cand> s;
    if (rng() % 2) {
      s.k = pick(std::vector<std::optional<std::size_t>>{std::nullopt, 0, 1, 2, 5, 30});
    } else {
      s.tokens = pick(std::vector<std::uint32_t>{0, 1, 6, 12, 30, UINT32_MAX});
      s.cost = &kCost;
    }
    s.constraints = &cs;
    s.requirements = &rs;
    s.objective = pick(std::vector<const SetObjective<Cand>*>{nullptr, &kCoverage, &weighted});
    testing::LiteralSelector<Cand> oracle;
    static_cast<Selector<Cand>&>(oracle) = s;

    const auto want = oracle.run(pool);
    const auto got = s.run(pool);
    ASSERT_EQ(got.has_value(), want.has_value()) << trial;
    if (!want) {
      ++failed;
      EXPECT_EQ(got.error().id, want.error().id) << trial;
      EXPECT_EQ(got.error().first, want.error().first) << trial;
      EXPECT_EQ(got.error().second, want.error().second) << trial;
      continue;
    }
    repaired += want->repaired;
    single += s.tokens && want->cut_margin && std::isnan(*want->cut_margin);
    EXPECT_EQ(got->indices, want->indices) << trial;
    EXPECT_EQ(got->blocked, want->blocked) << trial;
    EXPECT_EQ(bits(got->cut_margin), bits(want->cut_margin)) << trial;
    EXPECT_EQ(got->pool_exhausted, want->pool_exhausted) << trial;
    EXPECT_EQ(got->repaired, want->repaired) << trial;
  }
  // The pools reach failed and repaired quotas and NaN margins in token mode.
  EXPECT_GT(failed, 100);
  EXPECT_GT(repaired, 100);
  EXPECT_GT(single, 50);
}

}  // namespace
}  // namespace vantorel
