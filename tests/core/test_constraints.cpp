// Constraint kinds, the coverage gain and the normalisers.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/candidate_id.hpp"
#include "constraint/constraint.hpp"
#include "objective/coverage.hpp"
#include "score/score.hpp"

namespace vantorel {
namespace {

struct Cand {
  CandidateId id;
  std::vector<std::optional<float>> scores;
  std::vector<std::optional<std::string>> groups;
  std::vector<std::string> cover;
};

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

Cand with_score(std::optional<float> v) { return {CandidateId(1), {0.0f, v}, {}, {}}; }
Cand with_group(std::optional<std::string> g) { return {CandidateId(1), {}, {std::nullopt, std::move(g)}, {}}; }
Cand with_cover(std::vector<std::string> items) { return {CandidateId(1), {}, {}, std::move(items)}; }

std::vector<const Cand*> refs(const std::vector<Cand>& cs) {
  std::vector<const Cand*> out;
  for (const auto& c : cs) out.push_back(&c);
  return out;
}

TEST(MinAxis, AllowsValuesAtOrAboveTheMinimum) {
  const MinAxis<Cand> m("q", 1, 0.5f);
  const std::pair<std::optional<float>, bool> cases[] = {{0.5f, true}, {0.51f, true}, {0.49f, false},
                                                         {std::nullopt, false}, {kNaN, false}, {-kInf, false}};
  for (const auto& [v, allowed] : cases) EXPECT_EQ(m.allows(with_score(v)), allowed) << v.value_or(-1.0f);
}

TEST(SetConstraints, AdmitBelowTheCapCountingEqualGroupValuesOnly) {
  const MaxTotal<Cand> total("max_total", 2), none("z", 0);
  const GroupLimit<Cand> one("brand", 1, 1), two("g", 1, 2);
  EXPECT_TRUE(total.is_matroid() && one.is_matroid());
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
  for (const auto& [g, admitted] : cases) EXPECT_EQ(one.admits(refs(sel), with_group(g)), admitted) << g.value_or("-");
  EXPECT_TRUE(one.admits({}, with_group("a")));
  sel = {with_group("x"), with_group("y"), with_group(std::nullopt)};
  EXPECT_TRUE(two.admits(refs(sel), with_group("x")));
  sel.push_back(with_group("x"));
  EXPECT_FALSE(two.admits(refs(sel), with_group("x")));
  EXPECT_TRUE(two.admits(refs(sel), with_group("y")));
}

TEST(Coverage, GainIsTheNewDistinctItemsWeighedInFloat) {
  const Coverage<Cand, std::string> cov([](const Cand& c) { return c.cover; });
  EXPECT_TRUE(cov.is_submodular());
  struct Case {
    std::vector<std::vector<std::string>> selected;
    std::vector<std::string> items;
    float gain;
  };
  const Case cases[] = {{{}, {"a", "b", "a"}, 2.0f}, {{}, {}, 0.0f}, {{{"b"}}, {"a", "a", "b"}, 1.0f},
                        {{{"a"}, {"b", "c"}}, {"c", "a"}, 0.0f}, {{{"a"}}, {"A", "a"}, 1.0f}};
  for (const auto& c : cases) {
    std::vector<Cand> sel;
    for (const auto& items : c.selected) sel.push_back(with_cover(items));
    EXPECT_EQ(cov.marginal_gain(refs(sel), with_cover(c.items)), c.gain) << &c - cases;
  }
  const Coverage<Cand, std::string> weighted([](const Cand& c) { return c.cover; },
                                             [](const std::string& item) { return item == "big" ? 1e8f : 1.0f; });
  // In 32 bits each 1 added to 1e8 is absorbed; a wider sum would reach 1e8 + 5.
  EXPECT_EQ(weighted.marginal_gain({}, with_cover({"big", "x", "y", "z", "w", "v", "x"})), 1e8f);
  const std::vector<Cand> big = {with_cover({"big"})};
  EXPECT_EQ(weighted.marginal_gain(refs(big), with_cover({"big", "x", "y"})), 2.0f);
}

TEST(Normalizer, FormulasNaNAndSinglePrecisionSigmoid) {
  const auto minmax = Normalizer::minmax(0.0f, 10.0f), flat = Normalizer::minmax(3.0f, 3.0f),
             reversed = Normalizer::minmax(5.0f, 1.0f), sigmoid = Normalizer::sigmoid(), clamp = Normalizer::clamp01();
  struct Case {
    Normalizer n;
    float in, out;
  };
  const Case cases[] = {
      {minmax, 5.0f, 0.5f},    {minmax, -3.0f, 0.0f},   {minmax, 12.0f, 1.0f},  {flat, 7.0f, 0.0f},
      {reversed, 3.0f, 0.0f},  {reversed, kNaN, 0.0f},  {sigmoid, 0.0f, 0.5f},  {sigmoid, -200.0f, 0.0f},
      {sigmoid, 200.0f, 1.0f}, {clamp, 1.7f, 1.0f},     {clamp, -0.2f, 0.0f},   {clamp, 0.25f, 0.25f},
      {clamp, -0.0f, -0.0f},
  };
  for (const auto& c : cases) EXPECT_EQ(bits(c.n.apply(c.in)), bits(c.out)) << &c - cases;
  // NaN passes through, or comes from a NaN bound.
  for (const auto& [n, in] : {std::pair{Normalizer::minmax(kNaN, 1.0f), 0.5f}, {Normalizer::minmax(0.0f, kNaN), 0.5f},
                              {minmax, kNaN}, {clamp, kNaN}, {sigmoid, kNaN}})
    EXPECT_TRUE(std::isnan(n.apply(in)));
  for (float x : {-3.0f, -0.5f, 0.75f, 2.0f, 20.0f}) EXPECT_EQ(bits(sigmoid.apply(x)), bits(1.0f / (std::exp(-x) + 1.0f))) << x;
}

}  // namespace
}  // namespace vantorel
