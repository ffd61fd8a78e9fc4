// Fusion of axis scores: ranks, terms, fused scores and the provisional score.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "fuse/fusion.hpp"

namespace vantorel {
namespace {

using Kind = TermInput::Kind;
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
const std::optional<float> none = std::nullopt;
std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// Fuses one pool of rows over the axes "a", "b", "c", ... (as many as the rows have).
std::vector<FusionTrace> fuse(const Fusion& f, const std::vector<Scores>& rows, std::vector<CandidateId> ids = {}) {
  std::vector<ScorerMeta> metas;
  for (std::size_t a = 0; a < rows[0].size(); ++a) metas.push_back({std::string(1, char('a' + a)), ScoreScale::Unit, Cost::Expensive});
  for (std::size_t j = ids.size(); j < rows.size(); ++j) ids.push_back(CandidateId(j + 1));
  std::vector<const Scores*> sp;
  std::vector<const CandidateId*> ip;
  for (std::size_t j = 0; j < rows.size(); ++j) sp.push_back(&rows[j]), ip.push_back(&ids[j]);
  return fuse_all(f, MissingPolicy::skip(), metas, sp, ip);
}

std::vector<std::uint32_t> ranks(const std::vector<FusionTrace>& traces) {
  std::vector<std::uint32_t> out;
  for (const auto& t : traces) out.push_back(t.terms[0].input.kind == Kind::Rank ? t.terms[0].input.rank : 0);
  return out;
}

TEST(Rrf, ContributionStaysInThirtyTwoBits) {
  // 2^24 + 1 is not a float: k + r rounds to 2^24 before the division.
  EXPECT_EQ(bits(fuse(Fusion::rrf(16777216.0f), {{0.5f}})[0].terms[0].contribution), bits(0x1p-24f));
}

TEST(Rrf, RanksInTotalOrderWithTiesByCandidateId) {
  const auto tied = fuse(Fusion::rrf(60.0f), {{0.5f}, {0.5f}, {0.5f}, {0.5f}, {0.5f}},
                         {CandidateId("a"), CandidateId(12), CandidateId(7), CandidateId("abc"), CandidateId("ab")});
  EXPECT_EQ(ranks(tied), (std::vector<std::uint32_t>{3, 2, 1, 5, 4}));
  const auto signed_zeros = fuse(Fusion::rrf(60.0f), {{-0.0f}, {0.0f}, {-kInf}, {kInf}, {-1.0f}});
  EXPECT_EQ(ranks(signed_zeros), (std::vector<std::uint32_t>{3, 2, 5, 1, 4}));
}

TEST(WeightedSum, EmptyListWeighsEachAxisAThirdAndSumsInFloat) {
  // Summed in 32 bits the middle term is absorbed: a wider sum would keep it.
  const auto t = fuse(Fusion::weighted_sum({}), {{1e8f, 1.0f, -1e8f}});
  const float third = 1.0f / 3.0f;
  for (const auto& term : t[0].terms) EXPECT_EQ(term.weight, third);
  EXPECT_EQ(t[0].terms[0].contribution, 1e8f * third);
  float expect = -0.0f;
  for (float v : {1e8f, 1.0f, -1e8f}) expect += v * third;
  EXPECT_EQ(bits(t[0].fused()), bits(expect));
  EXPECT_EQ(expect, 0.0f);
}

// The weight total adds in registration order (1 + 1e8 absorbs the 1, so the
// total is 0; from the other end it would be 1). A total that is not above
// zero, or is NaN, gives every term weight and contribution +0.
TEST(WeightedSum, WeightTotalInRegistrationOrderAndNotPositiveGivesZeros) {
  const std::vector<std::vector<std::pair<ScorerId, float>>> lists = {
      {{"a", 1.0f}, {"b", 1e8f}, {"c", -1e8f}}, {{"a", 1.0f}, {"b", -1.0f}}, {{"a", -2.0f}}, {{"a", kNaN}},
      {{"d", 1.0f}}};
  for (const auto& w : lists) {
    const auto t = fuse(Fusion::weighted_sum(w), {{0.6f, 0.3f, 0.5f}});
    for (const auto& term : t[0].terms) {
      EXPECT_EQ(term.input.kind, Kind::Value);
      EXPECT_EQ(bits(term.weight), bits(0.0f));
      EXPECT_EQ(bits(term.contribution), bits(0.0f));
    }
    EXPECT_EQ(bits(t[0].fused()), bits(0.0f));
  }
}

TEST(Fused, AllSkippedIsNegativeZeroForSumsAndZeroForMax) {
  for (const auto& f : {Fusion::weighted_sum({}), Fusion::rrf(60.0f), Fusion::max()}) {
    const auto t = fuse(f, {{none, none}, {0.5f, 0.5f}});
    for (const auto& term : t[0].terms) EXPECT_EQ(term.input.kind, Kind::Skipped);
    EXPECT_EQ(bits(t[0].fused()), bits(f.kind == Fusion::Kind::Max ? 0.0f : -0.0f)) << fusion_name(f.kind);
  }
}

// Max over hand-made terms: NaN passed over for a number, the earlier term
// stays on ties (-0 then +0 keeps -0), only NaN gives NaN.
TEST(Max, NaNAndSignedZeroRules) {
  struct Case {
    std::vector<float> values;
    float expect;
  };
  const Case cases[] = {
      {{kNaN, 0.3f}, 0.3f},   {{0.3f, kNaN}, 0.3f},  {{kNaN, -kInf}, -kInf},          {{-0.0f, 0.0f}, -0.0f},
      {{0.0f, -0.0f}, 0.0f},  {{kNaN, -kNaN}, kNaN}, {{-1.0f, kNaN, -2.0f}, -1.0f}, {{-kNaN, kNaN}, -kNaN},
  };
  for (const auto& c : cases) {
    FusionTrace tr;
    tr.method = Fusion::Kind::Max;
    for (float v : c.values) tr.terms.push_back({{Kind::Value, v, 0}, "x", 1.0f, v});
    tr.terms.push_back({{Kind::Skipped, 0.0f, 0}, "s", 0.0f, 99.0f});  // never counted
    EXPECT_EQ(bits(tr.fused()), bits(c.expect)) << &c - cases;
  }
}

// Cheap axes "a" and "b" around the expensive "e", which takes no part.
TEST(Provisional, MaxAndWeightedMeanOverCheapAxes) {
  const std::vector<ScorerMeta> metas = {
      {"a", ScoreScale::Unit, Cost::Cheap}, {"e", ScoreScale::Unit, Cost::Expensive}, {"b", ScoreScale::Unit, Cost::Cheap}};
  auto score = [&](const Fusion& f, const MissingPolicy& m) { return ProvisionalScore(f, m, metas); };
  const auto max = score(Fusion::max(), MissingPolicy::skip());
  const auto max_imputed = score(Fusion::max(), MissingPolicy::impute(0.2f));
  const auto even = score(Fusion::weighted_sum({}), MissingPolicy::skip());
  const auto weighted = score(Fusion::weighted_sum({{"b", 3.0f}, {"a", 1.0f}, {"e", 100.0f}}), MissingPolicy::skip());
  const auto imputed = score(Fusion::weighted_sum({{"a", 1.0f}, {"b", 1.0f}}), MissingPolicy::impute(0.4f));
  const auto expensive_only = score(Fusion::weighted_sum({{"e", 1.0f}}), MissingPolicy::skip());
  const auto negative = score(Fusion::weighted_sum({{"a", -1.0f}}), MissingPolicy::skip());
  const auto nan = score(Fusion::weighted_sum({{"a", kNaN}}), MissingPolicy::skip());
  struct Case {
    const ProvisionalScore& p;
    Scores scores;
    float expect;
  };
  const Case cases[] = {
      {max, {0.3f, 0.9f, 0.5f}, 0.5f}, {max, {kNaN, 0.9f, 0.5f}, 0.5f}, {max, {0.3f, none, none}, 0.3f},
      {max, {none, 0.9f, none}, -kInf}, {max, {-0.0f, none, 0.0f}, -0.0f}, {max, {kNaN, none, none}, kNaN},
      {max_imputed, {none, 0.9f, none}, 0.2f}, {max_imputed, {0.1f, none, none}, 0.2f},
      {even, {0.2f, 5.0f, 0.6f}, (0.0f + 0.2f + 0.6f) / 2.0f}, {even, {none, 5.0f, 0.6f}, 0.6f},
      {even, {none, 5.0f, none}, -kInf}, {even, {-0.0f, 5.0f, -0.0f}, 0.0f},  // the sums start at +0
      {weighted, {0.2f, 1.0f, 0.6f}, (0.0f + 1.0f * 0.2f + 3.0f * 0.6f) / 4.0f},
      {imputed, {none, none, none}, 0.4f},
      // A weight total that is not above zero, or is NaN, gives +0.
      {expensive_only, {0.5f, 0.5f, 0.5f}, 0.0f}, {expensive_only, {none, 0.5f, none}, -kInf},
      {negative, {0.5f, none, 0.5f}, 0.0f}, {nan, {0.5f, none, 0.5f}, 0.0f},
  };
  for (const auto& c : cases) EXPECT_EQ(bits(c.p(c.scores)), bits(c.expect)) << &c - cases;
}

}  // namespace
}  // namespace vantorel
