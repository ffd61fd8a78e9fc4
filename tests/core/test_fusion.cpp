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

TEST(Rrf, ContributionStaysInThirtyTwoBits) {
  // 2^24 + 1 is not a float: k + r rounds to 2^24 before the division.
  Pool p({"a"});
  p.add(1, {0.5f});
  auto t = p.fuse(Fusion::rrf(16777216.0f), MissingPolicy::skip());
  EXPECT_EQ(bits(t[0].terms[0].contribution), bits(0x1p-24f));
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

// The weight total adds in registration order: 1 + 1e8 absorbs the 1, so the
// total is 0 and every weight 0; from the other end it would be 1.
TEST(WeightedSum, WeightTotalAddsInRegistrationOrder) {
  Pool p({"a", "b", "c"});
  p.add(1, {0.5f, 0.5f, 0.5f});
  auto t = p.fuse(Fusion::weighted_sum({{"a", 1.0f}, {"b", 1e8f}, {"c", -1e8f}}), MissingPolicy::skip());
  for (const auto& term : t[0].terms) EXPECT_EQ(term.weight, 0.0f);
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
  EXPECT_EQ(bits(even({-0.0f, 5.0f, -0.0f})), bits(0.0f));  // the sums start at +0

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
