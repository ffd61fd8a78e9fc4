// Fusion of axis scores: ranks, terms, fused scores and the provisional score.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/float_order.hpp"
#include "fuse/fusion.hpp"

namespace vantorel {
namespace {

using Kind = TermInput::Kind;
constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const std::optional<float> none = std::nullopt;

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// A pool of entries, each with its scores and id, fused in one call.
struct Pool {
  std::vector<ScorerMeta> metas;
  std::vector<Scores> rows;
  std::vector<CandidateId> ids;

  explicit Pool(std::vector<std::string> axes, Cost cost = Cost::Expensive) {
    for (auto& a : axes) metas.push_back({a, ScoreScale::Unit, cost});
  }
  Pool& add(CandidateId id, Scores s) {
    ids.push_back(std::move(id));
    rows.push_back(std::move(s));
    return *this;
  }
  Pool& add(std::uint64_t id, Scores s) { return add(CandidateId(id), std::move(s)); }
  std::vector<FusionTrace> fuse(const Fusion& f, const MissingPolicy& m) const {
    std::vector<const Scores*> sp;
    std::vector<const CandidateId*> ip;
    for (std::size_t j = 0; j < rows.size(); ++j) {
      sp.push_back(&rows[j]);
      ip.push_back(&ids[j]);
    }
    return fuse_all(f, m, metas, sp, ip);
  }
};

std::vector<std::uint32_t> ranks_on(const std::vector<FusionTrace>& traces, std::size_t axis) {
  std::vector<std::uint32_t> out;
  for (const auto& t : traces)
    out.push_back(t.terms[axis].input.kind == Kind::Rank ? t.terms[axis].input.rank : 0);
  return out;
}

TEST(Names, FixedTexts) {
  EXPECT_STREQ(fusion_name(Fusion::Kind::WeightedSum), "weighted_sum");
  EXPECT_STREQ(fusion_name(Fusion::Kind::Rrf), "rrf");
  EXPECT_STREQ(fusion_name(Fusion::Kind::Max), "max");
  EXPECT_STREQ(missing_name(MissingPolicy::Kind::Skip), "skip");
  EXPECT_STREQ(missing_name(MissingPolicy::Kind::Impute), "impute");
  EXPECT_STREQ(missing_name(MissingPolicy::Kind::Reject), "reject");
  EXPECT_STREQ(input_name(Kind::Value), "value");
  EXPECT_STREQ(input_name(Kind::Rank), "rank");
  EXPECT_STREQ(input_name(Kind::Imputed), "imputed");
  EXPECT_STREQ(input_name(Kind::Skipped), "skipped");
}

TEST(WeightOf, EmptyListFirstMatchOtherwiseZero) {
  EXPECT_EQ(Fusion::weighted_sum({}).weight_of("x"), 1.0f);
  Fusion f = Fusion::weighted_sum({{"a", 2.0f}, {"b", -1.5f}, {"a", 7.0f}});
  EXPECT_EQ(f.weight_of("a"), 2.0f);
  EXPECT_EQ(f.weight_of("b"), -1.5f);
  EXPECT_EQ(f.weight_of("c"), 0.0f);
  EXPECT_EQ(f.weight_of("A"), 0.0f);
}

TEST(Rrf, FirstAndThirdGiveReciprocalSum) {
  Pool p({"a", "b"});
  p.add(1, {0.9f, 0.1f}).add(2, {0.5f, 0.5f}).add(3, {0.1f, 0.9f});
  auto t = p.fuse(Fusion::rrf(60.0f), MissingPolicy::skip());
  ASSERT_EQ(t.size(), 3u);
  const auto& c = t[0];
  EXPECT_EQ(c.method, Fusion::Kind::Rrf);
  ASSERT_TRUE(c.k.has_value());
  EXPECT_EQ(*c.k, 60.0f);
  ASSERT_EQ(c.terms.size(), 2u);
  EXPECT_EQ(c.terms[0].scorer, "a");
  EXPECT_EQ(c.terms[1].scorer, "b");
  EXPECT_EQ(c.terms[0].input.kind, Kind::Rank);
  EXPECT_EQ(c.terms[0].input.rank, 1u);
  EXPECT_EQ(c.terms[1].input.rank, 3u);
  EXPECT_EQ(c.terms[0].weight, 1.0f);
  EXPECT_EQ(c.terms[1].weight, 1.0f);
  EXPECT_EQ(c.terms[0].contribution, 1.0f / 61.0f);
  EXPECT_EQ(c.terms[1].contribution, 1.0f / 63.0f);
  float expect = -0.0f;
  expect += 1.0f / 61.0f;
  expect += 1.0f / 63.0f;
  EXPECT_EQ(bits(c.fused()), bits(expect));
}

TEST(Rrf, ContributionStaysInThirtyTwoBits) {
  // 2^24 + 1 is not a float: k + r rounds to 2^24 before the division.
  Pool p({"a"});
  p.add(1, {0.5f});
  auto t = p.fuse(Fusion::rrf(16777216.0f), MissingPolicy::skip());
  EXPECT_EQ(bits(t[0].terms[0].contribution), bits(0x1p-24f));
}

TEST(Rrf, SkipClosesUpRanks) {
  Pool p({"a", "b"});
  p.add(1, {0.9f, 0.2f}).add(2, {0.8f, none}).add(3, {0.7f, 0.6f}).add(4, {0.6f, 0.4f});
  auto t = p.fuse(Fusion::rrf(60.0f), MissingPolicy::skip());
  EXPECT_EQ(ranks_on(t, 0), (std::vector<std::uint32_t>{1, 2, 3, 4}));
  EXPECT_EQ(ranks_on(t, 1), (std::vector<std::uint32_t>{3, 0, 1, 2}));
  const auto& skipped = t[1].terms[1];
  EXPECT_EQ(skipped.input.kind, Kind::Skipped);
  EXPECT_EQ(skipped.scorer, "b");
  EXPECT_EQ(skipped.weight, 0.0f);
  EXPECT_EQ(skipped.contribution, 0.0f);
  float expect = -0.0f;
  expect += 1.0f / 62.0f;
  EXPECT_EQ(bits(t[1].fused()), bits(expect));
  EXPECT_EQ(t[1].missing.kind, MissingPolicy::Kind::Skip);
}

TEST(Rrf, ImputeRanksMissingAsImputeValueAndShowsRank) {
  Pool p({"a"});
  p.add(1, {0.9f}).add(2, {none}).add(3, {0.3f}).add(4, {0.5f});
  auto t = p.fuse(Fusion::rrf(60.0f), MissingPolicy::impute(0.5f));
  // 0.5 imputed for id 2 ties with id 4's 0.5 and wins by the smaller id.
  EXPECT_EQ(ranks_on(t, 0), (std::vector<std::uint32_t>{1, 2, 4, 3}));
  EXPECT_EQ(t[1].terms[0].input.kind, Kind::Rank);
  EXPECT_EQ(t[1].terms[0].weight, 1.0f);
  EXPECT_EQ(t[1].missing.kind, MissingPolicy::Kind::Impute);
  EXPECT_EQ(t[1].missing.value, 0.5f);
}

TEST(Rrf, EqualValuesRankByCandidateId) {
  Pool p({"a"});
  p.add(CandidateId("a"), {0.5f}).add(12, {0.5f}).add(7, {0.5f}).add(CandidateId("abc"), {0.5f})
      .add(CandidateId("ab"), {0.5f});
  auto t = p.fuse(Fusion::rrf(60.0f), MissingPolicy::skip());
  EXPECT_EQ(ranks_on(t, 0), (std::vector<std::uint32_t>{3, 2, 1, 5, 4}));
}

TEST(Rrf, TotalOrderPutsPositiveZeroAboveNegativeZero) {
  Pool p({"a"});
  p.add(1, {-0.0f}).add(2, {0.0f}).add(3, {-kInf}).add(4, {kInf}).add(5, {-1.0f});
  auto t = p.fuse(Fusion::rrf(60.0f), MissingPolicy::skip());
  EXPECT_EQ(ranks_on(t, 0), (std::vector<std::uint32_t>{3, 2, 5, 1, 4}));
}

// Ranks on random pools agree with counting the entries that come first
// (higher value by total order, then smaller id, then earlier position).
TEST(Rrf, RanksMatchCountingOracle) {
  std::mt19937 rng(12345);
  const std::vector<float> values = {0.0f, -0.0f, 0.25f, 0.5f, 1.0f, kInf, -kInf, -2.0f};
  for (int round = 0; round < 200; ++round) {
    std::size_t n = rng() % 25;
    bool impute = rng() % 2;
    Pool p({"a", "b"});
    for (std::size_t j = 0; j < n; ++j) {
      Scores s;
      for (int a = 0; a < 2; ++a) {
        if (rng() % 4 == 0) s.push_back(none);
        else s.push_back(values[rng() % values.size()]);
      }
      if (rng() % 3 == 0) p.add(CandidateId(std::string(1 + rng() % 3, 'x')), s);
      else p.add(rng() % 6, s);
    }
    MissingPolicy m = impute ? MissingPolicy::impute(0.5f) : MissingPolicy::skip();
    auto t = p.fuse(Fusion::rrf(60.0f), m);
    for (std::size_t a = 0; a < 2; ++a) {
      auto got = ranks_on(t, a);
      for (std::size_t j = 0; j < n; ++j) {
        auto value = [&](std::size_t i) -> std::optional<float> {
          return p.rows[i][a] ? p.rows[i][a] : (impute ? std::optional<float>(0.5f) : none);
        };
        if (!value(j)) {
          EXPECT_EQ(got[j], 0u);
          EXPECT_EQ(t[j].terms[a].input.kind, Kind::Skipped);
          continue;
        }
        std::uint32_t ahead = 0;
        for (std::size_t i = 0; i < n; ++i) {
          if (i == j || !value(i)) continue;
          int c = total_cmp(*value(i), *value(j));
          int k = compare(p.ids[i], p.ids[j]);
          if (c > 0 || (c == 0 && (k < 0 || (k == 0 && i < j)))) ++ahead;
        }
        EXPECT_EQ(got[j], ahead + 1) << "round " << round << " axis " << a << " entry " << j;
      }
    }
  }
}

TEST(WeightedSum, SkippedAxisLeavesTheWeightTotal) {
  Pool p({"a", "b"});
  p.add(1, {0.7f, none});
  auto t = p.fuse(Fusion::weighted_sum({{"a", 2.0f}, {"b", 1.0f}}), MissingPolicy::skip());
  EXPECT_FALSE(t[0].k.has_value());
  EXPECT_EQ(t[0].method, Fusion::Kind::WeightedSum);
  EXPECT_EQ(t[0].terms[0].input.kind, Kind::Value);
  EXPECT_EQ(t[0].terms[0].input.value, 0.7f);
  EXPECT_EQ(t[0].terms[0].weight, 1.0f);
  EXPECT_EQ(t[0].terms[0].contribution, 0.7f);
  EXPECT_EQ(t[0].terms[1].input.kind, Kind::Skipped);
  EXPECT_EQ(t[0].terms[1].weight, 0.0f);
  EXPECT_EQ(t[0].fused(), 0.7f);
}

TEST(WeightedSum, UnnamedAxisWeighsZeroButShowsItsValue) {
  Pool p({"a", "b"});
  p.add(1, {0.4f, 0.9f});
  auto t = p.fuse(Fusion::weighted_sum({{"a", 3.0f}}), MissingPolicy::skip());
  EXPECT_EQ(t[0].terms[0].weight, 1.0f);
  EXPECT_EQ(t[0].terms[1].input.kind, Kind::Value);
  EXPECT_EQ(t[0].terms[1].input.value, 0.9f);
  EXPECT_EQ(t[0].terms[1].weight, 0.0f);
  EXPECT_EQ(t[0].terms[1].contribution, 0.0f);
  EXPECT_EQ(t[0].fused(), 0.4f);
}

TEST(WeightedSum, EmptyListWeighsEachAxisAThirdAndSumsInFloat) {
  Pool p({"a", "b", "c"});
  // Summed in 32 bits the middle term is absorbed: a wider sum would keep it.
  p.add(1, {1e8f, 1.0f, -1e8f});
  auto t = p.fuse(Fusion::weighted_sum({}), MissingPolicy::skip());
  const float third = 1.0f / 3.0f;
  for (const auto& term : t[0].terms) EXPECT_EQ(term.weight, third);
  EXPECT_EQ(t[0].terms[0].contribution, 1e8f * third);
  float expect = -0.0f;
  expect += 1e8f * third;
  expect += 1.0f * third;
  expect += -1e8f * third;
  EXPECT_EQ(bits(t[0].fused()), bits(expect));
  EXPECT_EQ(expect, 0.0f);
}

TEST(WeightedSum, ImputedTermsShowTheImputeValue) {
  Pool p({"a", "b"});
  p.add(1, {0.8f, none});
  auto t = p.fuse(Fusion::weighted_sum({}), MissingPolicy::impute(0.2f));
  EXPECT_EQ(t[0].terms[1].input.kind, Kind::Imputed);
  EXPECT_EQ(t[0].terms[1].input.value, 0.2f);
  EXPECT_EQ(t[0].terms[1].weight, 0.5f);
  EXPECT_EQ(t[0].terms[1].contribution, 0.1f);
  EXPECT_EQ(t[0].fused(), -0.0f + 0.4f + 0.1f);
}

// A weight total that is not above zero (or is NaN) gives every term weight 0.
TEST(WeightedSum, NonPositiveOrNaNTotalGivesZeroWeights) {
  const std::vector<std::vector<std::pair<ScorerId, float>>> lists = {
      {{"a", 1.0f}, {"b", -1.0f}}, {{"a", -2.0f}}, {{"a", kNaN}}, {{"c", 1.0f}}};
  for (const auto& w : lists) {
    Pool p({"a", "b"});
    p.add(1, {0.6f, 0.3f});
    auto t = p.fuse(Fusion::weighted_sum(w), MissingPolicy::skip());
    for (const auto& term : t[0].terms) {
      EXPECT_EQ(term.input.kind, Kind::Value);
      EXPECT_EQ(bits(term.weight), bits(0.0f));
      EXPECT_EQ(bits(term.contribution), bits(0.0f));
    }
    EXPECT_EQ(bits(t[0].fused()), bits(0.0f));
  }
}

TEST(Fused, AllSkippedIsNegativeZeroForSumsAndZeroForMax) {
  Pool p({"a", "b"});
  p.add(1, {none, none}).add(2, {0.5f, 0.5f});
  const Fusion fusions[] = {Fusion::weighted_sum({}), Fusion::rrf(60.0f), Fusion::max()};
  for (const auto& f : fusions) {
    auto t = p.fuse(f, MissingPolicy::skip());
    for (const auto& term : t[0].terms) EXPECT_EQ(term.input.kind, Kind::Skipped);
    float fused = t[0].fused();
    EXPECT_EQ(fused, 0.0f);
    EXPECT_EQ(std::signbit(fused), f.kind != Fusion::Kind::Max) << fusion_name(f.kind);
  }
}

TEST(Max, LargestContributionWithUnitWeights) {
  Pool p({"a", "b"});
  p.add(1, {0.2f, 0.9f}).add(2, {0.9f, none});
  auto t = p.fuse(Fusion::max(), MissingPolicy::skip());
  EXPECT_EQ(t[0].fused(), 0.9f);
  EXPECT_EQ(t[0].terms[0].weight, 1.0f);
  EXPECT_EQ(t[0].terms[1].weight, 1.0f);
  EXPECT_EQ(t[0].terms[0].contribution, 0.2f);
  EXPECT_EQ(t[1].fused(), 0.9f);
  EXPECT_FALSE(t[0].k.has_value());
}

// Max over hand-made terms: NaN passed over for a number, the earlier term
// stays on ties (-0 then +0 keeps -0), only NaN gives NaN.
TEST(Max, NaNAndSignedZeroRules) {
  struct Case {
    std::vector<float> values;
    float expect;
  };
  const float negNaN = -kNaN;
  const Case cases[] = {
      {{kNaN, 0.3f}, 0.3f},    {{0.3f, kNaN}, 0.3f},   {{kNaN, -kInf}, -kInf},
      {{-0.0f, 0.0f}, -0.0f},  {{0.0f, -0.0f}, 0.0f},  {{-1.0f, kNaN, -2.0f}, -1.0f},
      {{kNaN, negNaN}, kNaN},  {{negNaN, kNaN}, negNaN},
  };
  for (const auto& c : cases) {
    FusionTrace tr;
    tr.method = Fusion::Kind::Max;
    for (float v : c.values) tr.terms.push_back({{Kind::Value, v, 0}, "x", 1.0f, v});
    tr.terms.push_back({{Kind::Skipped, 0.0f, 0}, "s", 0.0f, 99.0f});  // never counted
    EXPECT_EQ(bits(tr.fused()), bits(c.expect));
  }
}

TEST(Max, ImputedNaNIsPassedOverForANumber) {
  Pool p({"a", "b"});
  p.add(1, {none, 0.4f}).add(2, {none, none});
  auto t = p.fuse(Fusion::max(), MissingPolicy::impute(kNaN));
  EXPECT_EQ(t[0].terms[0].input.kind, Kind::Imputed);
  EXPECT_EQ(t[0].fused(), 0.4f);
  EXPECT_TRUE(std::isnan(t[1].fused()));
}

TEST(FuseAll, EmptyPoolGivesNoTraces) {
  Pool p({"a"});
  EXPECT_TRUE(p.fuse(Fusion::rrf(60.0f), MissingPolicy::skip()).empty());
}

std::vector<ScorerMeta> mixed_metas() {
  return {{"a", ScoreScale::Unit, Cost::Cheap},
          {"e", ScoreScale::Unit, Cost::Expensive},
          {"b", ScoreScale::Unit, Cost::Cheap}};
}

TEST(Provisional, MaxOverCheapAxes) {
  ProvisionalScore skip(Fusion::max(), MissingPolicy::skip(), mixed_metas());
  EXPECT_EQ(skip({0.3f, 0.9f, 0.5f}), 0.5f);  // the expensive axis takes no part
  EXPECT_EQ(skip({kNaN, 0.9f, 0.5f}), 0.5f);
  EXPECT_EQ(skip({0.3f, none, none}), 0.3f);
  EXPECT_EQ(skip({none, 0.9f, none}), -kInf);
  EXPECT_EQ(bits(skip({-0.0f, none, 0.0f})), bits(-0.0f));
  EXPECT_TRUE(std::isnan(skip({kNaN, none, none})));
  ProvisionalScore impute(Fusion::max(), MissingPolicy::impute(0.2f), mixed_metas());
  EXPECT_EQ(impute({none, 0.9f, none}), 0.2f);
  EXPECT_EQ(impute({0.1f, none, none}), 0.2f);
}

TEST(Provisional, WeightedMeanOverCheapAxes) {
  auto metas = mixed_metas();
  ProvisionalScore even(Fusion::weighted_sum({}), MissingPolicy::skip(), metas);
  EXPECT_EQ(even({0.2f, 5.0f, 0.6f}), (0.0f + 0.2f + 0.6f) / 2.0f);
  EXPECT_EQ(even({none, 5.0f, 0.6f}), 0.6f);
  EXPECT_EQ(even({none, 5.0f, none}), -kInf);

  ProvisionalScore weighted(Fusion::weighted_sum({{"b", 3.0f}, {"a", 1.0f}, {"e", 100.0f}}),
                            MissingPolicy::skip(), metas);
  float num = 0.0f;
  num += 1.0f * 0.2f;
  num += 3.0f * 0.6f;
  EXPECT_EQ(bits(weighted({0.2f, 1.0f, 0.6f})), bits(num / 4.0f));

  ProvisionalScore imputed(Fusion::weighted_sum({{"a", 1.0f}, {"b", 1.0f}}), MissingPolicy::impute(0.4f),
                           metas);
  EXPECT_EQ(imputed({none, none, none}), 0.4f);

  // A weight total that is not above zero, or is NaN, gives 0.
  ProvisionalScore zero(Fusion::weighted_sum({{"e", 1.0f}}), MissingPolicy::skip(), metas);
  EXPECT_EQ(bits(zero({0.5f, 0.5f, 0.5f})), bits(0.0f));
  EXPECT_EQ(zero({none, 0.5f, none}), -kInf);
  ProvisionalScore negative(Fusion::weighted_sum({{"a", -1.0f}}), MissingPolicy::skip(), metas);
  EXPECT_EQ(bits(negative({0.5f, none, 0.5f})), bits(0.0f));
  ProvisionalScore nan(Fusion::weighted_sum({{"a", kNaN}}), MissingPolicy::skip(), metas);
  EXPECT_EQ(bits(nan({0.5f, none, 0.5f})), bits(0.0f));
}

}  // namespace
}  // namespace vantorel
