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
                      CountCase{"k_equals_pool", {0.9f, 0.8f, 0.7f}, 3, {0, 1, 2}, false},
                      CountCase{"pool_below_k", {0.9f, 0.8f}, 3, {0, 1}, true},
                      CountCase{"empty_pool", {}, 2, {}, true},
                      CountCase{"k_zero", {0.9f, 0.8f}, 0, {}, false},
                      CountCase{"no_k_takes_all", {0.9f, 0.8f}, std::nullopt, {0, 1}, false},
                      CountCase{"negative_scores", {-1.0f, -2.0f, -3.0f}, 2, {0, 1}, false},
                      CountCase{"equal_scores_keep_earlier", {0.5f, 0.5f, 0.5f}, 1, {0}, false},
                      CountCase{"plus_zero_before_minus_zero", {0.0f, -0.0f}, 1, {0}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CountMode, GroupLimitBlocksSharedValueAndNamesTheConstraint) {
  const auto pool = make_pool({{0.9f, 0, "a"}, {0.8f, 0, "a"}, {0.7f, 0, "a"}, {0.6f, 0, "b"}});
  Constraints cs;
  cs.push_back(std::make_unique<GroupLimit<Cand>>("brand", kBrand, 1));
  auto s = count_selector(2);
  s.constraints = &cs;
  const Chosen out = run_ok(s, pool);
  EXPECT_EQ(out.indices, (Pos{0, 3}));
  EXPECT_EQ(out.blocked[0], std::nullopt);
  EXPECT_EQ(out.blocked[1], std::optional<ConstraintId>("brand"));
  EXPECT_EQ(out.blocked[2], std::optional<ConstraintId>("brand"));
  EXPECT_EQ(out.blocked[3], std::nullopt);
  EXPECT_FALSE(out.pool_exhausted);
}

TEST(CountMode, BlockedNamesTheFirstRefusingConstraintInRegistrationOrder) {
  const auto pool = make_pool({{0.9f, 0, "a"}, {0.8f, 0, "a"}, {0.7f, 0, "b"}, {0.6f, 0, "c"}});
  Constraints cs;
  cs.push_back(std::make_unique<GroupLimit<Cand>>("brand", kBrand, 1));
  cs.push_back(std::make_unique<MaxTotal<Cand>>("max_total", 2));
  auto s = count_selector(3);
  s.constraints = &cs;
  const Chosen out = run_ok(s, pool);
  EXPECT_EQ(out.indices, (Pos{0, 2}));
  EXPECT_EQ(out.blocked[1], std::optional<ConstraintId>("brand"));
  EXPECT_EQ(out.blocked[3], std::optional<ConstraintId>("max_total"));
  // Fewer than K chosen counts as exhausted, whatever stopped the selection.
  EXPECT_TRUE(out.pool_exhausted);
}

TEST(CountMode, CoveragePrefersLowerRankedEntryWithNewItems) {
  const auto pool = make_pool({{0.9f}, {0.5f, 0, {}, {}, {}, {}, {"x", "y"}}, {0.4f, 0, {}, {}, {}, {}, {"x"}}});
  Coverage<Cand, std::string> coverage([](const Cand& c) { return c.cover; });
  auto s = count_selector(2);
  s.objective = &coverage;
  const Chosen out = run_ok(s, pool);
  // 0.5 + 2 first; then 0.9 + 0 beats 0.4 + 0 ("x" is covered).
  EXPECT_EQ(out.indices, (Pos{1, 0}));
  // Last chosen 0.9 against the alternate 0.4, both gaining nothing new.
  ASSERT_TRUE(out.cut_margin.has_value());
  EXPECT_EQ(*out.cut_margin, 0.9f - 0.4f);
}

TEST(CountMode, EqualGainsThroughTheObjectiveKeepTheEarlier) {
  // 1.0 + 0 and 0.0 + 1 tie at 1.0; the higher-ranked entry wins.
  const auto pool = make_pool({{1.0f}, {0.0f, 0, {}, {}, {}, {}, {"x"}}});
  Coverage<Cand, std::string> coverage([](const Cand& c) { return c.cover; });
  auto s = count_selector(1);
  s.objective = &coverage;
  EXPECT_EQ(run_ok(s, pool).indices, (Pos{0}));
}

// ------------------------------------------------------ NaN keys and the rule

struct NanCase {
  const char* name;
  std::vector<float> fused;
  std::size_t k;
  Pos want;
};

class NanKeys : public ::testing::TestWithParam<NanCase> {};

TEST_P(NanKeys, NeverDisplaceNumbers) {
  const auto& c = GetParam();
  std::vector<EntryDef> defs;
  for (float f : c.fused) defs.push_back({f});
  EXPECT_EQ(run_ok(count_selector(c.k), make_pool(defs)).indices, c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NanKeys,
    ::testing::Values(NanCase{"negative_nan_last_not_first", {0.5f, 0.3f, kNegNaN}, 1, {0}},
                      NanCase{"negative_nan_taken_last", {0.5f, 0.3f, kNegNaN}, 3, {0, 1, 2}},
                      NanCase{"positive_nan_first_not_first", {kPosNaN, 0.9f, 0.5f}, 2, {1, 2}},
                      NanCase{"positive_nan_taken_last", {kPosNaN, 0.9f, 0.5f}, 3, {1, 2, 0}},
                      NanCase{"between_nans_earlier_stays", {kPosNaN, kNegNaN}, 1, {0}}),
    [](const auto& info) { return std::string(info.param.name); });

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

TEST(TokenMode, GreedyPackPasses) {
  const auto s = token_selector(10);
  const auto abc = make_pool({{9.0f, 10}, {5.0f, 5}, {5.0f, 5}});
  const PackResult ratio = s.greedy_pack(abc, 10, true);
  EXPECT_EQ(ratio.positions, (Pos{1, 2}));
  EXPECT_EQ(ratio.total, 10.0f);
  EXPECT_FALSE(ratio.complete);
  const PackResult plain = s.greedy_pack(abc, 10, false);
  EXPECT_EQ(plain.positions, (Pos{0}));
  EXPECT_EQ(plain.total, 9.0f);

  // Negative gains are still added while anything fits.
  const auto neg = make_pool({{3.0f, 5}, {-2.0f, 5}});
  for (bool r : {true, false}) {
    const PackResult p = s.greedy_pack(neg, 10, r);
    EXPECT_EQ(p.positions, (Pos{0, 1}));
    EXPECT_EQ(p.total, 1.0f);
    EXPECT_TRUE(p.complete);
  }

  const auto zero = make_pool({{9.0f, 5}, {0.1f, 0}});
  EXPECT_EQ(s.greedy_pack(zero, 5, true).positions, (Pos{1, 0}));
  EXPECT_EQ(s.greedy_pack(zero, 5, true).total, 0.1f + 9.0f);
}

TEST(TokenMode, PoolExhaustedIsTheRatioPassCompleteness) {
  // Everything fits: complete.
  EXPECT_TRUE(run_ok(token_selector(100), make_pool({{1.0f, 5}, {0.5f, 5}})).pool_exhausted);
  // The single entry wins but the ratio pass took the whole pool.
  EXPECT_TRUE(run_ok(token_selector(10), make_pool({{3.0f, 5}, {-2.0f, 5}})).pool_exhausted);
  // The budget stopped the ratio pass.
  EXPECT_FALSE(run_ok(token_selector(10), make_pool({{9.0f, 10}, {5.0f, 5}, {5.0f, 5}})).pool_exhausted);
}

TEST(TokenMode, CutMarginUsesRatioKeysWithinTheRemainingBudget) {
  // Chosen 0, 1 (keys 1.0, 0.8); 5 tokens remain after 0; 2 (key 0.6) fits, 3 does not.
  const auto pool = make_pool({{5.0f, 5}, {4.0f, 5}, {3.0f, 5}, {2.9f, 6}});
  const Chosen out = run_ok(token_selector(10), pool);
  EXPECT_EQ(out.indices, (Pos{0, 1}));
  ASSERT_TRUE(out.cut_margin.has_value());
  EXPECT_EQ(*out.cut_margin, 4.0f / 5.0f - 3.0f / 5.0f);

  // Nothing else fits in what is left: no alternate, no margin.
  const Chosen none = run_ok(token_selector(10), make_pool({{9.0f, 10}, {5.0f, 5}, {5.0f, 5}}));
  EXPECT_EQ(none.indices, (Pos{1, 2}));
  EXPECT_FALSE(none.cut_margin.has_value());
}

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

TEST(CutMargin, AlternatesMustBeAdmissibleAgainstTheEarlierMembers) {
  // Chosen 0, 2; entry 1 is refused against [0], so the alternate is 3.
  const auto pool = make_pool({{0.9f, 0, "a"}, {0.8f, 0, "a"}, {0.7f, 0, "b"}, {0.6f, 0, "c"}});
  Constraints cs;
  cs.push_back(std::make_unique<GroupLimit<Cand>>("brand", kBrand, 1));
  auto s = count_selector(2);
  s.constraints = &cs;
  const Chosen out = run_ok(s, pool);
  EXPECT_EQ(out.indices, (Pos{0, 2}));
  ASSERT_TRUE(out.cut_margin.has_value());
  EXPECT_EQ(*out.cut_margin, 0.7f - 0.6f);
}

// --------------------------------------------------------- set_is_feasible

TEST(SetIsFeasible, CountBudgetAndConstraints) {
  const auto pool = make_pool({{0.9f, 4, "a"}, {0.8f, 4, "a"}, {0.7f, 4, "b"}, {0.6f, 4}});
  Constraints cs;
  cs.push_back(std::make_unique<GroupLimit<Cand>>("brand", kBrand, 1));

  auto count = count_selector(2);
  count.constraints = &cs;
  EXPECT_TRUE(count.set_is_feasible(pool, {}));
  EXPECT_TRUE(count.set_is_feasible(pool, {0, 2}));
  EXPECT_FALSE(count.set_is_feasible(pool, {0, 1}));     // brand a twice
  EXPECT_FALSE(count.set_is_feasible(pool, {0, 2, 3}));  // more than k

  auto tok = token_selector(8);
  tok.constraints = &cs;
  EXPECT_TRUE(tok.set_is_feasible(pool, {0, 3}));
  EXPECT_FALSE(tok.set_is_feasible(pool, {0, 2, 3}));  // 12 tokens
  EXPECT_FALSE(tok.set_is_feasible(pool, {1, 0}));
}

// -------------------------------------------------------- requirement repair

TEST(Repair, AlreadyMetLeavesSelectionAlone) {
  const auto pool = make_pool({{0.9f, 0, {}, "ko"}, {0.8f, 0, {}, "en"}, {0.7f, 0, {}, "ko"}});
  Requirements rs;
  rs.push_back(require("lang", kLang, "ko", 1));
  auto s = count_selector(2);
  s.requirements = &rs;
  const Chosen out = run_ok(s, pool);
  EXPECT_EQ(out.indices, (Pos{0, 1}));
  EXPECT_FALSE(out.repaired);
}

TEST(Repair, SwapsLowestRankedNonMatchingAndAppendsLast) {
  const auto pool = make_pool({{0.9f, 0, {}, "en"}, {0.8f, 0, {}, "en"}, {0.7f, 0, {}, "en"},
                               {0.6f, 0, {}, "ko"}, {0.5f, 0, {}, "ko"}});
  Requirements rs;
  rs.push_back(require("lang", kLang, "ko", 1));
  auto s = count_selector(3);
  s.requirements = &rs;
  const Chosen out = run_ok(s, pool);
  EXPECT_EQ(out.indices, (Pos{0, 1, 3}));
  EXPECT_TRUE(out.repaired);
  EXPECT_EQ(out.blocked[2], std::nullopt);
  // The margin is taken on the repaired selection: 0.6 against 0.7.
  ASSERT_TRUE(out.cut_margin.has_value());
  EXPECT_EQ(*out.cut_margin, 0.6f - 0.7f);
}

TEST(Repair, TwoSwapsForNeedTwo) {
  const auto pool = make_pool({{0.9f, 0, {}, "en"}, {0.8f, 0, {}, "en"}, {0.7f, 0, {}, "en"},
                               {0.6f, 0, {}, "ko"}, {0.5f, 0, {}, "ko"}});
  Requirements rs;
  rs.push_back(require("lang", kLang, "ko", 2));
  auto s = count_selector(3);
  s.requirements = &rs;
  const Chosen out = run_ok(s, pool);
  // First 2 goes out for 3, then 1 for 4.
  EXPECT_EQ(out.indices, (Pos{0, 3, 4}));
  EXPECT_TRUE(out.repaired);
}

TEST(Repair, AdditionTriedBeforeSwaps) {
  // Brand and shop each allow one member. Greedy: 0, then 1 (brand a) and
  // 3 (shop s) are refused, 2 taken; |S| = 2 < k = 4.
  const auto pool = make_pool({
      {0.9f, 0, "a", "en", "s"},
      {0.8f, 0, "a", "ko"},
      {0.7f, 0, "b", "en"},
      {0.6f, 0, {}, "en", "s", "t"},
  });
  Constraints cs;
  cs.push_back(std::make_unique<GroupLimit<Cand>>("brand", kBrand, 1));
  cs.push_back(std::make_unique<GroupLimit<Cand>>("shop", kShop, 1));
  Requirements rs;
  rs.push_back(require("lang", kLang, "ko", 1));
  rs.push_back(require("tag", kTag, "t", 1));
  auto s = count_selector(4);
  s.constraints = &cs;
  s.requirements = &rs;
  const Chosen out = run_ok(s, pool);
  // lang: adding 1 breaks brand; swapping out 2 breaks brand; swapping out 0
  // works -> [2, 1]. tag: adding 3 now fits -> [2, 1, 3].
  EXPECT_EQ(out.indices, (Pos{2, 1, 3}));
  EXPECT_TRUE(out.repaired);
  EXPECT_EQ(out.blocked[0], std::optional<ConstraintId>("brand"));
}

TEST(Repair, SwapBreakingAnEarlierRequirementIsRefused) {
  const auto pool = make_pool({{0.9f, 0, "b", "en"}, {0.8f, 0, "a", "en"}, {0.7f, 0, "c", "ko"}});
  Requirements rs;
  rs.push_back(require("brand", kBrand, "a", 1));
  rs.push_back(require("lang", kLang, "ko", 1));
  auto s = count_selector(2);
  s.requirements = &rs;
  const Chosen out = run_ok(s, pool);
  // Swapping out 1 (the lowest) would lose brand a; 0 goes instead.
  EXPECT_EQ(out.indices, (Pos{1, 2}));
  EXPECT_TRUE(out.repaired);
}

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

TEST(Repair, TokenModeSwapStaysWithinBudget) {
  // Greedy takes 1 then 0 (9 tokens of 10). Entry 2 fits in no swap; for
  // entry 3, swapping out 1 (the lowest) needs 11 tokens, swapping out 0 fits.
  const auto pool = make_pool({{0.9f, 6, {}, "en"}, {0.8f, 3, {}, "en"}, {0.7f, 9, {}, "ko"}, {0.1f, 5, {}, "ko"}});
  Requirements rs;
  rs.push_back(require("lang", kLang, "ko", 1));
  auto s = token_selector(10);
  s.requirements = &rs;
  const Chosen out = run_ok(s, pool);
  EXPECT_EQ(out.indices, (Pos{1, 3}));
  EXPECT_TRUE(out.repaired);
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
