// The set selector: count and token modes, requirement repair, blocking
// constraints and the cut margin.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "constraint/constraint.hpp"
#include "literal_selector.hpp"
#include "objective/coverage.hpp"
#include "select/selector.hpp"

namespace vantorel {
namespace {

struct Cand {
  CandidateId id;
  std::vector<std::optional<float>> scores;
  std::vector<std::optional<std::string>> groups;  // 0 brand, 1 lang, 2 shop, 3 tag
  std::vector<std::string> cover;
  std::uint32_t cost = 0;
};

constexpr std::size_t kBrand = 0, kLang = 1, kShop = 2, kTag = 3;

using Pos = std::vector<std::size_t>;
using Constraints = std::vector<std::unique_ptr<SetConstraint<Cand>>>;
using Requirements = std::vector<Requirement<Cand>>;

const float kPosNaN = std::bit_cast<float>(0x7fc00000u);
const float kNegNaN = std::bit_cast<float>(0xffc00000u);

struct EntryDef {
  float fused;
  std::uint32_t cost = 0;
  std::optional<std::string> brand = std::nullopt;
  std::optional<std::string> lang = std::nullopt;
  std::optional<std::string> shop = std::nullopt;
  std::optional<std::string> tag = std::nullopt;
  std::vector<std::string> cover = {};
};

// Pool entries get ids 1, 2, 3, ... in the order given (already rank order).
std::vector<PoolEntry<Cand>> make_pool(const std::vector<EntryDef>& defs) {
  std::vector<PoolEntry<Cand>> pool;
  std::uint64_t id = 1;
  for (const auto& s : defs) {
    PoolEntry<Cand> e;
    e.candidate = Cand{CandidateId(id), {s.fused}, {s.brand, s.lang, s.shop, s.tag}, s.cover, s.cost};
    e.key = CandidateId(id);
    e.fused = s.fused;
    pool.push_back(std::move(e));
    ++id;
  }
  return pool;
}

Requirement<Cand> require(std::string name, std::size_t key, std::string value, std::size_t n) {
  return Requirement<Cand>::at_least(std::move(name), n, [key, value](const Cand& c) {
    const auto& v = c.groups.at(key);
    return v && *v == value;
  });
}

const CostFn<Cand> kCost = [](const Cand& c) { return c.cost; };

Selector<Cand> count_selector(std::optional<std::size_t> k) {
  Selector<Cand> s;
  s.k = k;
  return s;
}

Selector<Cand> token_selector(std::uint32_t max) {
  Selector<Cand> s;
  s.tokens = max;
  s.cost = &kCost;
  return s;
}

Chosen run_ok(const Selector<Cand>& s, const std::vector<PoolEntry<Cand>>& pool) {
  auto r = s.run(pool);
  EXPECT_TRUE(r.has_value());
  if (!r) return {};
  EXPECT_EQ(r->blocked.size(), pool.size());
  return *r;
}

// ---------------------------------------------------------------- count mode

struct CountCase {
  const char* name;
  std::vector<float> fused;
  std::optional<std::size_t> k;
  Pos want;
  bool exhausted;
};

class CountMode : public ::testing::TestWithParam<CountCase> {};

TEST_P(CountMode, TakesTheFirstEntriesInPoolOrder) {
  const auto& c = GetParam();
  std::vector<EntryDef> defs;
  for (float f : c.fused) defs.push_back({f});
  const auto pool = make_pool(defs);
  const Chosen out = run_ok(count_selector(c.k), pool);
  EXPECT_EQ(out.indices, c.want);
  EXPECT_EQ(out.pool_exhausted, c.exhausted);
  EXPECT_FALSE(out.repaired);
  for (const auto& b : out.blocked) EXPECT_FALSE(b.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Table, CountMode,
    ::testing::Values(CountCase{"k_below_pool", {0.9f, 0.8f, 0.7f, 0.6f, 0.5f}, 3, {0, 1, 2}, false},
                      CountCase{"pool_below_k", {0.9f, 0.8f}, 3, {0, 1}, true},
                      CountCase{"empty_pool", {}, 2, {}, true},
                      CountCase{"k_zero", {0.9f, 0.8f}, 0, {}, false},
                      CountCase{"no_k_takes_all", {0.9f, 0.8f}, std::nullopt, {0, 1}, false},
                      CountCase{"plus_zero_before_minus_zero", {0.0f, -0.0f}, 1, {0}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CountMode, EqualGainsThroughTheObjectiveKeepTheEarlier) {
  // 1.0 + 0 and 0.0 + 1 tie at 1.0; the higher-ranked entry wins.
  const auto pool = make_pool({{1.0f}, {0.0f, 0, {}, {}, {}, {}, {"x"}}});
  Coverage<Cand, std::string> coverage([](const Cand& c) { return c.cover; });
  auto s = count_selector(1);
  s.objective = &coverage;
  EXPECT_EQ(run_ok(s, pool).indices, (Pos{0}));
}

// ------------------------------------------------------ NaN keys and the rule

TEST(NanKeys, SingleBestEntryPrefersANumber) {
  // Ratio and plain passes both take the 0.5 entry; the NaN entry no longer
  // fits. The single best entry is the 0.5 one, which does not beat 0.5.
  const auto pool = make_pool({{kPosNaN, 1}, {0.5f, 1}});
  const Chosen out = run_ok(token_selector(1), pool);
  EXPECT_EQ(out.indices, (Pos{1}));
  // Its margin is taken against the NaN entry, the only alternate.
  ASSERT_TRUE(out.cut_margin.has_value());
  EXPECT_TRUE(std::isnan(*out.cut_margin));
}

TEST(NanKeys, CutMarginAlternateNaNNeverWins) {
  const auto pool = make_pool({{0.9f}, {0.5f}, {kNegNaN}});
  const Chosen out = run_ok(count_selector(1), pool);
  ASSERT_TRUE(out.cut_margin.has_value());
  EXPECT_EQ(*out.cut_margin, 0.9f - 0.5f);
}

// ---------------------------------------------------------------- token mode

struct TokenCase {
  const char* name;
  std::vector<EntryDef> pool;
  std::uint32_t budget;
  Pos want;
  bool single_won;
};

class TokenMode : public ::testing::TestWithParam<TokenCase> {};

TEST_P(TokenMode, ChoosesBetweenRatioPlainAndSingle) {
  const auto& c = GetParam();
  const auto pool = make_pool(c.pool);
  const Chosen out = run_ok(token_selector(c.budget), pool);
  EXPECT_EQ(out.indices, c.want);
  if (c.single_won) {
    ASSERT_TRUE(out.cut_margin.has_value());
    EXPECT_TRUE(std::isnan(*out.cut_margin));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, TokenMode,
    ::testing::Values(
        // Ratio pass B, C (10) beats the plain pass A (9).
        TokenCase{"ratio_beats_plain", {{9.0f, 10}, {5.0f, 5}, {5.0f, 5}}, 10, {1, 2}, false},
        // Plain pass A (9.5) beats the ratio pass B, C (9).
        TokenCase{"plain_beats_ratio", {{9.5f, 10}, {5.0f, 5}, {4.0f, 5}}, 10, {0}, false},
        // Ratio pass 0, 2 (9); plain pass 0, 1 (9.5); single 0 (6).
        TokenCase{"plain_pair_wins", {{6.0f, 6}, {3.5f, 4}, {3.0f, 3}, {2.9f, 3}}, 10, {0, 1}, false},
        // Both passes take A then B (total 1); the single entry A (3) wins.
        TokenCase{"negative_gain_single_wins", {{3.0f, 5}, {-2.0f, 5}}, 10, {0}, true},
        // A zero-cost entry has ratio key +inf and is taken first.
        TokenCase{"zero_cost_first", {{9.0f, 5}, {0.1f, 0}}, 5, {1, 0}, false},
        // An entry dearer than the budget is never taken, not even alone.
        TokenCase{"over_budget_skipped", {{9.0f, 11}, {1.0f, 4}}, 10, {1}, false}),
    [](const auto& info) { return std::string(info.param.name); });

// --------------------------------------------------------------- cut margin

TEST(CutMargin, CountModeIs32BitDifference) {
  const auto pool = make_pool({{0.9f}, {0.8f}, {0.7f}});
  const Chosen two = run_ok(count_selector(2), pool);
  ASSERT_TRUE(two.cut_margin.has_value());
  EXPECT_EQ(*two.cut_margin, 0.8f - 0.7f);
  EXPECT_EQ(static_cast<double>(*two.cut_margin), 0.10000002384185791);

  EXPECT_FALSE(run_ok(count_selector(3), pool).cut_margin.has_value());
  EXPECT_FALSE(run_ok(count_selector(0), pool).cut_margin.has_value());
}

// -------------------------------------------------------- requirement repair

TEST(Repair, OutgoingTiesInFusedGoByDescendingKey) {
  // Entries 0 and 1 tie at 0.5; ids 1 and 2. Outgoing order is fused
  // ascending, equal scores by key descending: id 2 (position 1) first.
  const auto pool = make_pool({{0.5f, 0, {}, "en"}, {0.5f, 0, {}, "en"}, {0.4f, 0, {}, "ko"}});
  Requirements rs;
  rs.push_back(require("lang", kLang, "ko", 1));
  auto s = count_selector(2);
  s.requirements = &rs;
  EXPECT_EQ(run_ok(s, pool).indices, (Pos{0, 2}));
}

struct FailCase {
  const char* name;
  std::vector<EntryDef> pool;
  std::size_t need;
  std::uint64_t have;
};

class RepairFails : public ::testing::TestWithParam<FailCase> {};

TEST_P(RepairFails, ReportsNeedAndWholePoolCount) {
  const auto& c = GetParam();
  const auto pool = make_pool(c.pool);
  Constraints cs;
  cs.push_back(std::make_unique<GroupLimit<Cand>>("brand", kBrand, 1));
  Requirements rs;
  rs.push_back(require("lang", kLang, "ko", c.need));
  auto s = count_selector(3);
  s.constraints = &cs;
  s.requirements = &rs;
  const auto r = s.run(pool);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::RequirementUnsatisfied);
  EXPECT_EQ(r.error().id, "lang");
  EXPECT_EQ(r.error().first, c.need);
  EXPECT_EQ(r.error().second, c.have);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RepairFails,
    ::testing::Values(
        FailCase{"pool_too_small", {{0.9f, 0, "a", "en"}, {0.8f, 0, "b", "ko"}, {0.7f, 0, "c", "en"}}, 2, 1},
        // Two ko entries exist but share a brand, so only one can be chosen.
        FailCase{"constraint_prevents", {{0.9f, 0, "x", "en"}, {0.8f, 0, "a", "ko"}, {0.7f, 0, "a", "ko"}}, 2, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------- against the literal oracle

TEST(Oracle, SameChoiceBitForBitOnRandomPools) {
  std::mt19937 rng(20240611);
  auto pick = [&](const auto& options) { return options[rng() % options.size()]; };
  const std::vector<float> fused = {1.0f, 0.5f, 0.5f, 0.25f, 0.0f, -0.0f, -1.0f, 3.0f, kPosNaN, kNegNaN,
                                    INFINITY, -INFINITY};
  const std::vector<std::optional<std::string>> values = {std::nullopt, "a", "b", "c"};
  const std::vector<std::string> items = {"x", "y", "z", "w", "v"};
  const std::vector<std::uint32_t> costs = {0, 1, 3, 5, 10, 4000000000u};
  const std::vector<float> weights = {1.0f, 0.5f, 2.0f, 1e8f, 0.0f};  // v, w, x, y, z
  for (int trial = 0; trial < 3000; ++trial) {
    std::vector<EntryDef> defs(rng() % 24);
    for (auto& d : defs) {
      d = {pick(fused), pick(costs), pick(values), pick(values), pick(values), pick(values), {}};
      for (std::size_t n = rng() % 5; n > 0; --n) d.cover.push_back(pick(items));
    }
    std::vector<std::size_t> order(defs.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return total_cmp(defs[a].fused, defs[b].fused) > 0; });
    std::vector<EntryDef> sorted;
    for (std::size_t i : order) sorted.push_back(defs[i]);
    const auto pool = make_pool(sorted);

    Constraints cs;
    for (std::size_t n = rng() % 4; n > 0; --n) {
      if (rng() % 3 == 0)
        cs.push_back(std::make_unique<MaxTotal<Cand>>("total", pick(std::vector<std::size_t>{0, 1, 3, 100})));
      else
        cs.push_back(std::make_unique<GroupLimit<Cand>>("g" + std::to_string(n), rng() % 4, rng() % 3));
    }
    Requirements rs;
    for (std::size_t n = rng() % 3; n > 0; --n)
      rs.push_back(require("r" + std::to_string(n), rng() % 4, *values[1 + rng() % 3], 1 + rng() % 3));
    const bool negative = rng() % 4 == 0;  // "v" weighs -1: gains may grow
    Coverage<Cand, std::string> unweighted([](const Cand& c) { return c.cover; });
    Coverage<Cand, std::string> weighted([](const Cand& c) { return c.cover; }, [&](const std::string& item) {
      return item == "v" && negative ? -1.0f : weights[static_cast<std::size_t>(item[0] - 'v')];
    });

    auto s = rng() % 2 ? count_selector(pick(std::vector<std::optional<std::size_t>>{std::nullopt, 0, 1, 2, 5, 30}))
                       : token_selector(pick(std::vector<std::uint32_t>{0, 1, 6, 12, 30, UINT32_MAX}));
    s.constraints = &cs;
    s.requirements = &rs;
    s.objective = pick(std::vector<const SetObjective<Cand>*>{nullptr, &unweighted, &weighted});
    testing::LiteralSelector<Cand> oracle;
    static_cast<Selector<Cand>&>(oracle) = s;

    const auto want = oracle.run(pool);
    const auto got = s.run(pool);
    ASSERT_EQ(got.has_value(), want.has_value()) << trial;
    if (!want) {
      EXPECT_EQ(got.error().id, want.error().id) << trial;
      EXPECT_EQ(got.error().first, want.error().first) << trial;
      EXPECT_EQ(got.error().second, want.error().second) << trial;
      continue;
    }
    auto bits = [](std::optional<float> f) { return f ? std::bit_cast<std::uint32_t>(*f) + 1ull : 0ull; };
    EXPECT_EQ(got->indices, want->indices) << trial;
    EXPECT_EQ(got->blocked, want->blocked) << trial;
    EXPECT_EQ(bits(got->cut_margin), bits(want->cut_margin)) << trial;
    EXPECT_EQ(got->pool_exhausted, want->pool_exhausted) << trial;
    EXPECT_EQ(got->repaired, want->repaired) << trial;
  }
}

}  // namespace
}  // namespace vantorel
