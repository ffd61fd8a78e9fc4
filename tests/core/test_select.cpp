// Selection: the bounded stage-1 pool, the constraints, the coverage gain,
// the normalisers and the set selector, which is also compared with the
// step-by-step oracle on random pools.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <string>
#include <tuple>

#include "literal_selector.hpp"
#include "select/bounded_heap.hpp"

namespace vantorel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

struct Cand {
  CandidateId id;
  std::vector<std::optional<float>> scores;
  std::vector<std::optional<std::string>> groups;
  std::vector<std::string> cover;
  std::uint32_t cost = 0;
};

// Keys written as digits are numbers, anything else text.
CandidateId key(const std::string& t) {
  if (t.find_first_not_of("0123456789") == std::string::npos) return CandidateId(std::stoull(t));
  return CandidateId(t);
}

TEST(BoundedHeap, PushesAndSortedIndices) {
  // Each push takes its position as index. `kinds` holds one letter per push:
  // A added, R replaced, - refused; `evicted` lists the replaced indices in turn.
  struct Case {
    const char* name;
    std::size_t capacity;
    std::vector<std::pair<std::string, float>> pushes;
    std::string kinds;
    std::vector<std::size_t> evicted, sorted;
  };
  const Case cases[] = {
      {"full_heap_replaces_the_worst", 3, {{"1", 1.0f}, {"2", 5.0f}, {"3", 3.0f}, {"4", 4.0f}, {"5", 2.0f}},
       "AAAR-", {0}, {1, 3, 2}},
      // Equal scores: the smaller key wins, and the incumbent stays on an equal key.
      {"ties_by_key", 1, {{"7", 2.0f}, {"7", 2.0f}, {"8", 2.0f}, {"a", 2.0f}, {"3", 2.0f}, {"z", 2.5f}}, "A---RR",
       {0, 4}, {5}},
      {"text_prefix_smaller", 2, {{"abc", 1.0f}, {"ab", 1.0f}, {"abc", 1.0f}, {"a", 1.0f}}, "AA-R", {0}, {3, 1}},
      // Total order on scores: -0 < +0 < inf < NaN; a negative NaN is below every number.
      {"by_score", 1, {{"1", -0.0f}, {"2", 0.0f}, {"0", -0.0f}, {"3", kInf}, {"4", kNaN}, {"0", kInf}}, "AR-RR-",
       {0, 1, 3}, {4}},
      {"sorted_total_order", 5, {{"0", -0.0f}, {"1", kNaN}, {"2", -kNaN}, {"3", 0.0f}, {"4", -kInf}},
       "AAAAA", {}, {1, 3, 0, 4, 2}},
      {"capacity_zero", 0, {{"1", kInf}, {"2", kNaN}}, "--", {}, {}},
      // Slots equal in score and key keep their places as removal left them:
      // sinking from the root takes the right child between equals, which
      // decides both the next eviction and the sorted order of equals.
      {"equal_children_right", 4, {{"100", 0.0f}, {"1", 1.0f}, {"1", 1.0f}, {"1", 1.0f}, {"0", 5.0f}, {"0", 6.0f}},
       "AAAARR", {0, 2}, {5, 4, 3, 1}},
  };
  for (const auto& c : cases) {
    BoundedHeap h(c.capacity);
    std::string kinds;
    std::vector<std::size_t> evicted;
    std::vector<CandidateId> keys;
    keys.reserve(c.pushes.size());
    for (std::size_t i = 0; i < c.pushes.size(); ++i) {
      const CandidateId& k = keys.emplace_back(key(c.pushes[i].first));
      const bool admits = h.admits(k, c.pushes[i].second);
      const PushOutcome r = h.push(k, i, c.pushes[i].second);
      kinds += "AR-"[static_cast<int>(r.kind)];
      EXPECT_EQ(admits, r.kind != PushOutcome::Kind::Refused) << c.name << " " << i;
      if (r.kind == PushOutcome::Kind::Replaced) evicted.push_back(r.evicted);
    }
    EXPECT_EQ(kinds, c.kinds) << c.name;
    EXPECT_EQ(evicted, c.evicted) << c.name;
    EXPECT_EQ(std::move(h).into_sorted_indices(), c.sorted) << c.name;
  }
}

Cand with_score(std::optional<float> v) { return {CandidateId(1), {0.0f, v}, {}, {}}; }
Cand with_group(std::optional<std::string> g) { return {CandidateId(1), {}, {std::nullopt, std::move(g)}, {}}; }
Cand with_cover(std::vector<std::string> items) { return {CandidateId(1), {}, {}, std::move(items)}; }

std::vector<const Cand*> refs(const std::vector<Cand>& cs) {
  std::vector<const Cand*> out;
  for (const auto& c : cs) out.push_back(&c);
  return out;
}

// A minimum allows values at or above it; the set constraints admit below
// their cap, counting equal group values only.
TEST(Constraints, MinimumAndCaps) {
  const MinAxis<Cand> m("q", 1, 0.5f);
  const std::pair<std::optional<float>, bool> scores[] = {{0.5f, true}, {0.51f, true}, {0.49f, false},
                                                          {std::nullopt, false}, {kNaN, false}, {-kInf, false}};
  for (const auto& [v, allowed] : scores) EXPECT_EQ(m.allows(with_score(v)), allowed) << v.value_or(-1.0f);
  const MaxTotal<Cand> total("max_total", 2), none("z", 0);
  const GroupLimit<Cand> one("brand", 1, 1), two("g", 1, 2);
  std::vector<Cand> sel;
  for (std::size_t n = 0; n < 4; ++n) {
    EXPECT_EQ(total.admits(refs(sel), with_score(0.1f)), n < 2) << n;
    sel.push_back(with_score(0.1f));
  }
  EXPECT_FALSE(none.admits({}, with_score(0.1f)));
  // An absent value is never counted and always admitted; values compare as exact text.
  sel = {with_group("a"), with_group(std::nullopt)};
  const std::pair<std::optional<std::string>, bool> cases[] = {
      {"a", false}, {"b", true}, {std::nullopt, true}, {"A", true}, {"a ", true}, {"", true}};
  for (const auto& [g, admitted] : cases)
    EXPECT_EQ(one.admits(refs(sel), with_group(g)), admitted) << g.value_or("(none)");
  EXPECT_TRUE(one.admits({}, with_group("a")));
  sel = {with_group("x"), with_group("y"), with_group(std::nullopt)};
  EXPECT_TRUE(two.admits(refs(sel), with_group("x")));
  sel.push_back(with_group("x"));
  EXPECT_FALSE(two.admits(refs(sel), with_group("x")));
  EXPECT_TRUE(two.admits(refs(sel), with_group("y")));
}

TEST(Coverage, GainIsTheNewDistinctItemsWeighedInFloat) {
  const Coverage<Cand, std::string> cov([](const Cand& c) { return c.cover; });
  using Items = std::vector<std::string>;
  const std::tuple<std::vector<Items>, Items, float> cases[] = {
      {{}, {"a", "b", "a"}, 2.0f}, {{}, {}, 0.0f}, {{{"b"}}, {"a", "a", "b"}, 1.0f},
      {{{"a"}, {"b", "c"}}, {"c", "a"}, 0.0f}, {{{"a"}}, {"A", "a"}, 1.0f}};
  for (const auto& [selected, items, gain] : cases) {
    std::vector<Cand> sel;
    for (const auto& s : selected) sel.push_back(with_cover(s));
    EXPECT_EQ(cov.marginal_gain(refs(sel), with_cover(items)), gain) << items.size();
  }
  const Coverage<Cand, std::string> weighted([](const Cand& c) { return c.cover; },
                                             [](const std::string& i) { return i == "big" ? 1e8f : 1.0f; });
  // In 32 bits each 1 added to 1e8 is absorbed; a wider sum would reach 1e8 + 5.
  EXPECT_EQ(weighted.marginal_gain({}, with_cover({"big", "x", "y", "z", "w", "v", "x"})), 1e8f);
  const std::vector<Cand> big = {with_cover({"big"})};
  EXPECT_EQ(weighted.marginal_gain(refs(big), with_cover({"big", "x", "y"})), 2.0f);
}

TEST(Normalizer, FormulasNaNAndSinglePrecisionSigmoid) {
  const auto minmax = Normalizer::minmax(0.0f, 10.0f), flat = Normalizer::minmax(3.0f, 3.0f);
  const auto reversed = Normalizer::minmax(5.0f, 1.0f), nan_low = Normalizer::minmax(kNaN, 1.0f);
  const auto nan_high = Normalizer::minmax(0.0f, kNaN), sigmoid = Normalizer::sigmoid();
  const auto clamp = Normalizer::clamp01();
  const std::tuple<Normalizer, float, float> cases[] = {
      {minmax, 5.0f, 0.5f},    {minmax, -3.0f, 0.0f},   {minmax, 12.0f, 1.0f},  {flat, 7.0f, 0.0f},
      {reversed, 3.0f, 0.0f},  {reversed, kNaN, 0.0f},  {sigmoid, 0.0f, 0.5f},  {sigmoid, -200.0f, 0.0f},
      {sigmoid, 200.0f, 1.0f}, {clamp, 1.7f, 1.0f},     {clamp, -0.2f, 0.0f},   {clamp, 0.25f, 0.25f},
      {clamp, -0.0f, -0.0f},
  };
  for (const auto& [n, in, out] : cases) EXPECT_EQ(bits(n.apply(in)), bits(out)) << in;
  // NaN passes through, or comes from a NaN bound.
  for (const auto& [n, in] : {std::pair{nan_low, 0.5f}, {nan_high, 0.5f}, {minmax, kNaN}, {clamp, kNaN}})
    EXPECT_TRUE(std::isnan(n.apply(in)));
  EXPECT_TRUE(std::isnan(sigmoid.apply(kNaN)));
  for (float x : {-3.0f, -0.5f, 0.75f, 2.0f, 20.0f})
    EXPECT_EQ(bits(sigmoid.apply(x)), bits(1.0f / (std::exp(-x) + 1.0f))) << x;
}

using Pos = std::vector<std::size_t>;
using Group = std::optional<std::string>;
const CostFn<Cand> kCost = [](const Cand& c) { return c.cost; };
const Coverage<Cand, std::string> kCoverage([](const Cand& c) { return c.cover; });

struct EntryDef {
  float fused;
  std::uint32_t cost = 0;
  std::vector<Group> groups = {};
  std::vector<std::string> cover = {};
};

// Entries get ids 1, 2, 3, ... in the order given (already rank order).
struct Pool {
  std::vector<Cand> candidates;
  std::vector<PoolEntry<Cand>> entries;
};
Pool make_pool(const std::vector<EntryDef>& defs) {
  Pool pool;
  for (const auto& d : defs) {
    auto groups = d.groups;
    groups.resize(4);
    pool.candidates.push_back(Cand{CandidateId(pool.candidates.size() + 1), {}, std::move(groups), d.cover, d.cost});
  }
  for (std::size_t p = 0; p < defs.size(); ++p)
    pool.entries.push_back({&pool.candidates[p], &pool.candidates[p].id, defs[p].fused, p});
  return pool;
}

Requirement<Cand> require(std::string name, std::size_t key, std::string value, std::size_t n) {
  return Requirement<Cand>::at_least(std::move(name), n, [key, value](const Cand& c) {
    return c.groups[key] && *c.groups[key] == value;
  });
}

// Bits of an optional margin, 0 for none.
std::uint64_t optional_bits(std::optional<float> f) { return f ? bits(*f) + 1ull : 0ull; }

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
  const Case cases[] = {
      // Equal keys keep the earlier entry: +0 before -0, and gains tied through the objective.
      {"plus_zero_before_minus_zero", {{0.0f}, {-0.0f}}, 1, {}, {0}, 0.0f},
      {"equal_gains_keep_the_earlier", {{1.0f}, {0.0f, 0, {}, {"x"}}}, 1, {}, {0}, 0.0f, true},
      // The margin is the 32-bit difference to the best entry left out; a NaN alternate never wins.
      {"nan_alternate_never_wins", {{0.9f}, {0.8f}, {0.7f}, {-kNaN}}, 2, {}, {0, 1}, 0.8f - 0.7f},
      // Both passes take 0.5; the single best entry prefers the number too and
      // does not beat it; the margin against the NaN entry is NaN.
      {"single_best_prefers_a_number", {{kNaN, 1}, {0.5f, 1}}, {}, 1, {1}, kNaN},
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
    const auto out = s.run(make_pool(c.pool).entries);
    ASSERT_TRUE(out.has_value()) << c.name;
    EXPECT_EQ(out->indices, c.want) << c.name;
    EXPECT_EQ(optional_bits(out->cut_margin), optional_bits(c.margin)) << c.name;
  }
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
    std::stable_sort(defs.begin(), defs.end(), [](auto& a, auto& b) { return total_cmp(a.fused, b.fused) > 0; });
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
    const Coverage<Cand, std::string> weighted([](const Cand& c) { return c.cover; }, [&](const std::string& i) {
      return i == "v" && negative ? -1.0f : weights[static_cast<std::size_t>(i[0] - 'v')];
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
    const auto want = oracle.run(pool.entries);
    const auto got = s.run(pool.entries);
    ASSERT_EQ(got.has_value(), want.has_value()) << trial;
    if (!want) {
      ++failed;
      EXPECT_EQ(got.error().message(), want.error().message()) << trial;
      continue;
    }
    repaired += want->repaired;
    single += s.tokens && want->cut_margin && std::isnan(*want->cut_margin);
    EXPECT_EQ(got->indices, want->indices) << trial;
    EXPECT_EQ(got->blocked, want->blocked) << trial;
    EXPECT_EQ(optional_bits(got->cut_margin), optional_bits(want->cut_margin)) << trial;
    EXPECT_EQ(got->pool_exhausted, want->pool_exhausted) << trial;
    EXPECT_EQ(got->repaired, want->repaired) << trial;
  }
  // The pools reach failed and repaired quotas and single entries winning in token mode.
  EXPECT_TRUE(failed > 100 && repaired > 100 && single > 50) << failed << " " << repaired << " " << single;
}

}  // namespace
}  // namespace vantorel
