// Budgets: tail mass, validity, base counts, display texts and the Zipf fit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "budget/budget.hpp"
#include "error/error.hpp"

namespace vantorel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

TEST(TailMass, Values) {
  struct Case {
    float s;
    std::uint64_t k, v;
    double expected;  // the 32-bit result widened; NaN when undefined
  };
  const Case cases[] = {
      // Published values.
      {1.0f, 10, 100, 0.43536627292633057}, {1.1f, 100, 10000, 0.3521479368209839}, {1.0f, 1, 2, 0.3333333432674408},
      // Nothing beyond the top k.
      {1.0f, 5, 5, 0.0}, {1.0f, 7, 5, 0.0}, {1.0f, 0, 0, 0.0}, {kNaN, 3, 3, 0.0}, {-kInf, 9, 2, 0.0},
      // Nothing kept.
      {1.0f, 0, 1, 1.0}, {2.5f, 0, 50, 1.0}, {-1.0f, 0, 7, 1.0},
      // Equal weights.
      {0.0f, 1, 4, 0.75}, {-0.0f, 3, 4, 0.25},
      // Only rank 1 weighs at +inf; at -inf rank 1 alone is finite.
      {kInf, 1, 10, 0.0}, {kInf, 4, 10, 0.0}, {-kInf, 1, 10, 1.0},
      // NaN with v = 1: the total is pow(1, NaN) = 1.
      {kNaN, 0, 1, 1.0},
      {-kInf, 2, 10, NAN}, {kNaN, 1, 2, NAN}, {kNaN, 0, 2, NAN},
  };
  for (const auto& c : cases) {
    const double got = tail_mass(c.s, c.k, c.v);
    if (std::isnan(c.expected))
      EXPECT_TRUE(std::isnan(got)) << c.s << " " << c.k << " " << c.v;
    else
      EXPECT_EQ(got, c.expected) << c.s << " " << c.k << " " << c.v;
  }
}

TEST(TailMass, ProceedHookStopsALongSumAndChangesNoResult) {
  static int calls = 0;
  EXPECT_FALSE(tail_mass(1.0f, 0, std::uint64_t{1} << 40, [] { return ++calls < 3; }).has_value());
  EXPECT_EQ(calls, 3);
  // Across several checks: the bits of the sums added term by term.
  const std::uint64_t k = 5, v = 3 << 20;
  const double e = -static_cast<double>(1.1f);
  double n = -0.0, d = -0.0;
  for (std::uint64_t i = 1; i <= k; ++i) n += std::pow(static_cast<double>(i), e);
  for (std::uint64_t i = 1; i <= v; ++i) d += std::pow(static_cast<double>(i), e);
  const auto expected = bits(static_cast<float>(1.0 - n / d));
  EXPECT_EQ(bits(*tail_mass(1.1f, k, v, [] { return true; })), expected);
  EXPECT_EQ(bits(tail_mass(1.1f, k, v)), expected);
}

TEST(Budget, ValidityBaseCountAndText) {
  struct Case {
    Budget budget;
    bool has_cost;
    const char* reason;  // nullptr when valid
    std::uint32_t base;
    const char* text;
  };
  const char* epsilon = "epsilon 은 0 이상 1 미만이어야 한다";
  const Case cases[] = {
      {Budget{}, false, nullptr, 10, "TopK(10)"},
      {Budget::top_k(0), false, "TopK 는 1 이상이어야 한다", 0, "TopK(0)"},
      {Budget::top_k(1), false, nullptr, 1, "TopK(1)"},
      {Budget::top_k(4294967295u), false, nullptr, 4294967295u, "TopK(4294967295)"},
      {Budget::tail(0.05f, 50), false, nullptr, 50, "TailMass { epsilon: 0.05, fallback_k: 50 }"},
      {Budget::tail(0.0f, 0), false, nullptr, 1, "TailMass { epsilon: 0.0, fallback_k: 0 }"},
      {Budget::tail(-0.0f, 5), false, nullptr, 5, "TailMass { epsilon: -0.0, fallback_k: 5 }"},
      {Budget::tail(0.99999994f, 5), false, nullptr, 5, "TailMass { epsilon: 0.99999994, fallback_k: 5 }"},
      {Budget::tail(1.0f, 3), false, epsilon, 3, "TailMass { epsilon: 1.0, fallback_k: 3 }"},
      {Budget::tail(-0.1f, 5), false, epsilon, 5, "TailMass { epsilon: -0.1, fallback_k: 5 }"},
      {Budget::tail(1e-5f, 3), false, nullptr, 3, "TailMass { epsilon: 1e-5, fallback_k: 3 }"},
      {Budget::tail(kNaN, 5), false, epsilon, 5, "TailMass { epsilon: NaN, fallback_k: 5 }"},
      {Budget::tail(-kNaN, 5), true, epsilon, 5, "TailMass { epsilon: NaN, fallback_k: 5 }"},
      {Budget::tail(kInf, 5), false, epsilon, 5, "TailMass { epsilon: inf, fallback_k: 5 }"},
      {Budget::tokens(4000), false, "Tokens 예산은 Engine::cost 로 후보별 비용을 함께 받아야 한다", 4000,
       "Tokens { max: 4000 }"},
      {Budget::tokens(0), true, nullptr, 0, "Tokens { max: 0 }"},
  };
  for (const auto& c : cases) {
    const char* got = c.budget.invalid_reason(c.has_cost);
    EXPECT_EQ(std::string(got ? got : "valid"), std::string(c.reason ? c.reason : "valid")) << c.text;
    EXPECT_EQ(c.budget.base_count(), c.base) << c.text;
    EXPECT_EQ(c.budget.debug(), c.text);
  }
}

std::vector<double> harmonic(int n) {
  std::vector<double> x;
  for (int i = 1; i <= n; ++i) x.push_back(1.0 / i);
  return x;
}

std::vector<double> with(std::vector<double> x, std::size_t i, double v) {
  x[i] = v;
  return x;
}

TEST(DeriveBudget, FitAndFallbacks) {
  using R = FallbackReason;
  struct Case {
    const char* name;
    std::vector<double> samples;
    float epsilon, min_fit;
    float s, fit;
    std::uint32_t k;
    std::optional<R> reason;
  };
  const double dinf = std::numeric_limits<double>::infinity();
  std::vector<double> geometric;
  for (int i = 0; i < 30; ++i) geometric.push_back(std::pow(0.7, i));
  const std::vector<double> zeros(12, 0.0), first = with(zeros, 0, 1.0), last = with(zeros, 11, 1.0);
  const Case cases[] = {
      {"nine_samples", harmonic(9), 0.1f, 0.9f, 0.0f, 0.0f, 6, R::TooFewSamples},
      {"empty", {}, 0.1f, 0.9f, 0.0f, 0.0f, 6, R::TooFewSamples},
      {"ten_samples", harmonic(10), 0.1f, 0.9f, 1.0f, 1.0f, 8, std::nullopt},
      {"harmonic", harmonic(100), 0.1f, 0.9f, 1.0f, 1.0f, 60, std::nullopt},
      {"zero_epsilon_whole_tail", harmonic(40), 0.0f, 0.0f, 1.0f, 1.0f, 40, std::nullopt},
      {"geometric", geometric, 0.05f, 0.0f, 0x1.75e916p+0f, 0x1.bdf548p-1f, 18, std::nullopt},
      {"uniform_clamps_low", std::vector<double>(20, 1.0), 0.1f, 0.0f, 0.01f, 0x1.fe600ep-1f, 18, std::nullopt},
      // The tail reaches 0 before n only through rounding: the walk stops at n.
      {"rank_one_clamps_high", first, 0.0f, 0.0f, 6.0f, 0x1.f745a4p-1f, 12, std::nullopt},
      // A poor fit or a minimum above 1 keeps s and the quality.
      {"poor_fit", last, 0.1f, 0.9f, 0.01f, 0x1.528a1p-4f, 6, R::PoorFit},
      {"min_fit_above_one", harmonic(100), 0.5f, 1.0000001f, 1.0f, 1.0f, 6, R::PoorFit},
      {"negative", with(harmonic(10), 4, -1.0), 0.1f, 0.9f, 0.0f, 0.0f, 6, R::NotAMassDistribution},
      {"tiny_negative", with(harmonic(10), 4, -1e-300), 0.1f, 0.9f, 0.0f, 0.0f, 6, R::NotAMassDistribution},
      {"nan", with(harmonic(10), 4, std::nan("")), 0.1f, 0.9f, 0.0f, 0.0f, 6, R::NotAMassDistribution},
      {"inf", with(harmonic(10), 4, dinf), 0.1f, 0.9f, 0.0f, 0.0f, 6, R::NotAMassDistribution},
      {"minus_inf", with(harmonic(10), 4, -dinf), 0.1f, 0.9f, 0.0f, 0.0f, 6, R::NotAMassDistribution},
      {"zeros", zeros, 0.1f, 0.9f, 0.0f, 0.0f, 6, R::NotAMassDistribution},
      {"negative_zeros", std::vector<double>(12, -0.0), 0.1f, 0.9f, 0.0f, 0.0f, 6, R::NotAMassDistribution},
  };
  for (const auto& c : cases) {
    const BudgetTrace t = derive_budget(c.samples, c.epsilon, c.min_fit, 6);
    EXPECT_EQ(bits(t.s), bits(c.s)) << c.name;
    EXPECT_EQ(bits(t.fit_quality), bits(c.fit)) << c.name;
    EXPECT_EQ(t.derived_k, c.k) << c.name;
    EXPECT_EQ(t.reason, c.reason) << c.name;
    EXPECT_EQ(t.fallback, c.reason.has_value()) << c.name;
  }
  // Exactly the quality passes (strict comparison); 0, negative and NaN never trigger.
  const float q = derive_budget(last, 0.1f, 0.9f, 3).fit_quality;
  for (float min_fit : {q, 0.0f, -5.0f, kNaN}) EXPECT_FALSE(derive_budget(last, 0.1f, min_fit, 3).fallback);
  EXPECT_TRUE(derive_budget(last, 0.1f, std::nextafter(q, 1.0f), 3).fallback);
}

}  // namespace
}  // namespace vantorel
