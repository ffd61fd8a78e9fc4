// Constraint kinds, requirement counts, the coverage gain and the normalisers.
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

struct TestCandidate {
  CandidateId id;
  std::vector<std::optional<float>> scores;
  std::vector<std::optional<std::string>> groups;
  std::vector<std::string> cover;
};

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const std::optional<std::string> no_group = std::nullopt;

TestCandidate with_score(std::optional<float> v) { return {CandidateId(1), {0.0f, v}, {}, {}}; }
TestCandidate with_group(std::optional<std::string> g) { return {CandidateId(1), {}, {no_group, std::move(g)}, {}}; }
TestCandidate with_cover(std::vector<std::string> items) { return {CandidateId(1), {}, {}, std::move(items)}; }

std::vector<const TestCandidate*> refs(const std::vector<TestCandidate>& cs) {
  std::vector<const TestCandidate*> out;
  for (const auto& c : cs) out.push_back(&c);
  return out;
}

TEST(MinAxis, AllowsValuesAtOrAboveTheMinimum) {
  MinAxis<TestCandidate> m("q", 1, 0.5f);
  EXPECT_EQ(m.id(), "q");
  struct Case {
    std::optional<float> v;
    bool allowed;
  };
  const Case cases[] = {{0.5f, true},  {0.49f, false}, {std::nullopt, false},
                        {kNaN, false}, {0.51f, true},  {-std::numeric_limits<float>::infinity(), false}};
  for (const auto& c : cases) EXPECT_EQ(m.allows(with_score(c.v)), c.allowed);
}

TEST(MaxTotal, AdmitsBelowTheCap) {
  MaxTotal<TestCandidate> cap("max_total", 2);
  EXPECT_TRUE(cap.is_matroid());
  EXPECT_EQ(cap.id(), "max_total");
  std::vector<TestCandidate> sel;
  TestCandidate c = with_score(0.1f);
  for (std::size_t n = 0; n < 4; ++n) {
    EXPECT_EQ(cap.admits(refs(sel), c), n < 2) << n;
    sel.push_back(c);
  }
  MaxTotal<TestCandidate> none("z", 0);
  EXPECT_FALSE(none.admits({}, c));
}

TEST(GroupLimit, CountsEqualValuesOnly) {
  GroupLimit<TestCandidate> brand("brand", 1, 1);
  EXPECT_TRUE(brand.is_matroid());
  std::vector<TestCandidate> sel = {with_group("a"), with_group(std::nullopt)};
  struct Case {
    std::optional<std::string> g;
    bool admitted;
  };
  const Case cases[] = {{"a", false}, {"b", true}, {std::nullopt, true}, {"A", true}, {"a ", true}, {"", true}};
  for (const auto& c : cases) EXPECT_EQ(brand.admits(refs(sel), with_group(c.g)), c.admitted);
  EXPECT_TRUE(brand.admits({}, with_group("a")));
}

TEST(GroupLimit, RefusesOnceTheCountReachesMax) {
  GroupLimit<TestCandidate> two("g", 1, 2);
  std::vector<TestCandidate> sel = {with_group("x"), with_group("y"), with_group(std::nullopt)};
  EXPECT_TRUE(two.admits(refs(sel), with_group("x")));
  sel.push_back(with_group("x"));
  EXPECT_FALSE(two.admits(refs(sel), with_group("x")));
  EXPECT_TRUE(two.admits(refs(sel), with_group("y")));
}

TEST(Coverage, GainIsTheNewDistinctItems) {
  Coverage<TestCandidate, std::string> cov([](const TestCandidate& c) { return c.cover; });
  EXPECT_TRUE(cov.is_submodular());
  struct Case {
    std::vector<std::vector<std::string>> selected;
    std::vector<std::string> items;
    float gain;
  };
  const Case cases[] = {
      {{}, {"a", "b", "a"}, 2.0f},
      {{}, {}, 0.0f},
      {{{"b"}}, {"a", "a", "b"}, 1.0f},
      {{{"a"}, {"b", "c"}}, {"c", "a"}, 0.0f},
      {{{"a"}}, {"A", "a"}, 1.0f},
  };
  for (const auto& c : cases) {
    std::vector<TestCandidate> sel;
    for (const auto& items : c.selected) sel.push_back(with_cover(items));
    EXPECT_EQ(cov.marginal_gain(refs(sel), with_cover(c.items)), c.gain);
  }
}

TEST(Coverage, WeightFunctionAddsInFloat) {
  Coverage<TestCandidate, std::string> cov([](const TestCandidate& c) { return c.cover; },
                                           [](const std::string& item) { return item == "big" ? 1e8f : 1.0f; });
  // In 32 bits each 1 added to 1e8 is absorbed; a wider sum would reach 1e8 + 8.
  EXPECT_EQ(cov.marginal_gain({}, with_cover({"big", "x", "y", "z", "w", "v", "x"})), 1e8f);
  std::vector<TestCandidate> sel = {with_cover({"big"})};
  EXPECT_EQ(cov.marginal_gain(refs(sel), with_cover({"big", "x", "y"})), 2.0f);
}

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

TEST(Normalizer, Formulas) {
  struct Case {
    Normalizer n;
    float in;
    float out;
  };
  const Case cases[] = {
      {Normalizer::minmax(0.0f, 10.0f), 5.0f, 0.5f},  {Normalizer::minmax(0.0f, 10.0f), -3.0f, 0.0f},
      {Normalizer::minmax(0.0f, 10.0f), 12.0f, 1.0f}, {Normalizer::minmax(3.0f, 3.0f), 7.0f, 0.0f},
      {Normalizer::minmax(5.0f, 1.0f), 3.0f, 0.0f},   {Normalizer::minmax(5.0f, 1.0f), kNaN, 0.0f},
      {Normalizer::sigmoid(), 0.0f, 0.5f},            {Normalizer::clamp01(), 1.7f, 1.0f},
      {Normalizer::clamp01(), -0.2f, 0.0f},           {Normalizer::clamp01(), 0.25f, 0.25f},
      {Normalizer::clamp01(), -0.0f, -0.0f},
  };
  for (const auto& c : cases) EXPECT_EQ(bits(c.n.apply(c.in)), bits(c.out)) << c.in;
}

TEST(Normalizer, NaNPassesThroughOrComesFromANaNBound) {
  EXPECT_TRUE(std::isnan(Normalizer::minmax(kNaN, 1.0f).apply(0.5f)));
  EXPECT_TRUE(std::isnan(Normalizer::minmax(0.0f, kNaN).apply(0.5f)));
  EXPECT_TRUE(std::isnan(Normalizer::minmax(0.0f, 1.0f).apply(kNaN)));
  EXPECT_TRUE(std::isnan(Normalizer::clamp01().apply(kNaN)));
  EXPECT_TRUE(std::isnan(Normalizer::sigmoid().apply(kNaN)));
}

TEST(Normalizer, SigmoidIsSinglePrecision) {
  for (float x : {-3.0f, -0.5f, 0.75f, 2.0f, 20.0f}) {
    float e = std::exp(-x);
    EXPECT_EQ(bits(Normalizer::sigmoid().apply(x)), bits(1.0f / (e + 1.0f))) << x;
  }
  EXPECT_EQ(Normalizer::sigmoid().apply(-200.0f), 0.0f);
  EXPECT_EQ(Normalizer::sigmoid().apply(200.0f), 1.0f);
}

}  // namespace
}  // namespace vantorel
