#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "budget/budget.hpp"
#include "common/float_text.hpp"
#include "error/error.hpp"
#include "names.hpp"

namespace vantorel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// ---------------------------------------------------------------- tail mass

struct TailCase {
  float s;
  std::uint64_t k;
  std::uint64_t v;
  double expected;  // the 32-bit result widened
};

class TailMass : public ::testing::TestWithParam<TailCase> {};

TEST_P(TailMass, Value) {
  const auto& c = GetParam();
  EXPECT_EQ(static_cast<double>(tail_mass(c.s, c.k, c.v)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TailMass,
    ::testing::Values(
        // Published values, as single-precision results seen widened.
        TailCase{1.0f, 10, 100, 0.43536627292633057}, TailCase{1.1f, 100, 10000, 0.3521479368209839},
        TailCase{1.0f, 1, 2, 0.3333333432674408},
        // Nothing beyond the top k.
        TailCase{1.0f, 5, 5, 0.0}, TailCase{1.0f, 7, 5, 0.0}, TailCase{1.0f, 0, 0, 0.0},
        TailCase{kNaN, 3, 3, 0.0}, TailCase{-kInf, 9, 2, 0.0},
        // Nothing kept.
        TailCase{1.0f, 0, 1, 1.0}, TailCase{2.5f, 0, 50, 1.0}, TailCase{-1.0f, 0, 7, 1.0},
        // Equal weights.
        TailCase{0.0f, 1, 4, 0.75}, TailCase{-0.0f, 3, 4, 0.25},
        // Only rank 1 weighs at +inf; at -inf rank 1 alone is finite.
        TailCase{kInf, 1, 10, 0.0}, TailCase{kInf, 4, 10, 0.0}, TailCase{-kInf, 1, 10, 1.0},
        // NaN with v = 1: D is pow(1, NaN) = 1.
        TailCase{kNaN, 0, 1, 1.0}),
    [](const auto& info) {
      const auto& c = info.param;
      return testing::case_name("s" + f32_debug(c.s) + "_k" + std::to_string(c.k) + "_v" + std::to_string(c.v),
                                info.index);
    });

TEST(TailMassEdges, UndefinedResultsAreNaN) {
  EXPECT_TRUE(std::isnan(tail_mass(-kInf, 2, 10)));
  EXPECT_TRUE(std::isnan(tail_mass(kNaN, 1, 2)));
  EXPECT_TRUE(std::isnan(tail_mass(kNaN, 0, 2)));
}

TEST(TailMassEdges, ProceedHookStopsALongSumAndChangesNoResult) {
  static int calls = 0;
  EXPECT_FALSE(tail_mass(1.0f, 0, std::uint64_t{1} << 40, [] { return ++calls < 3; }).has_value());
  EXPECT_EQ(calls, 3);
  // Across several checks: the bits of the sums added term by term.
  const std::uint64_t k = 5, v = 3 << 20;
  const double e = -static_cast<double>(1.1f);
  double n = -0.0, d = -0.0;
  for (std::uint64_t i = 1; i <= k; ++i) n += std::pow(static_cast<double>(i), e);
  for (std::uint64_t i = 1; i <= v; ++i) d += std::pow(static_cast<double>(i), e);
  const auto expected = std::bit_cast<std::uint32_t>(static_cast<float>(1.0 - n / d));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(*tail_mass(1.1f, k, v, [] { return true; })), expected);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(tail_mass(1.1f, k, v)), expected);
}

// ------------------------------------------------------------------ budgets

struct ValidityCase {
  Budget budget;
  bool has_cost;
  const char* reason;  // nullptr when valid
};

class BudgetValidity : public ::testing::TestWithParam<ValidityCase> {};

TEST_P(BudgetValidity, Reason) {
  const auto& c = GetParam();
  const char* got = c.budget.invalid_reason(c.has_cost);
  if (c.reason == nullptr) {
    EXPECT_EQ(got, nullptr) << got;
  } else {
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got, c.reason);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, BudgetValidity,
    ::testing::Values(ValidityCase{Budget::top_k(0), false, "TopK 는 1 이상이어야 한다"},
                      ValidityCase{Budget::top_k(1), false, nullptr},
                      ValidityCase{Budget::top_k(10), true, nullptr},
                      ValidityCase{Budget::tail(0.0f, 0), false, nullptr},
                      ValidityCase{Budget::tail(-0.0f, 5), false, nullptr},
                      ValidityCase{Budget::tail(0.99999994f, 5), false, nullptr},
                      ValidityCase{Budget::tail(1.0f, 5), false, "epsilon 은 0 이상 1 미만이어야 한다"},
                      ValidityCase{Budget::tail(-0.1f, 5), false, "epsilon 은 0 이상 1 미만이어야 한다"},
                      ValidityCase{Budget::tail(kNaN, 5), false, "epsilon 은 0 이상 1 미만이어야 한다"},
                      ValidityCase{Budget::tail(-kNaN, 5), true, "epsilon 은 0 이상 1 미만이어야 한다"},
                      ValidityCase{Budget::tail(kInf, 5), false, "epsilon 은 0 이상 1 미만이어야 한다"},
                      ValidityCase{Budget::tokens(4000), false,
                                   "Tokens 예산은 Engine::cost 로 후보별 비용을 함께 받아야 한다"},
                      ValidityCase{Budget::tokens(0), true, nullptr}),
    [](const auto& info) {
      return testing::case_name(info.param.budget.debug() + (info.param.has_cost ? "_cost" : ""), info.index);
    });

TEST(BudgetBase, BaseCountPerKind) {
  EXPECT_EQ(Budget::top_k(10).base_count(), 10u);
  EXPECT_EQ(Budget::top_k(0).base_count(), 0u);
  EXPECT_EQ(Budget::tail(0.1f, 50).base_count(), 50u);
  EXPECT_EQ(Budget::tail(0.1f, 0).base_count(), 1u);
  EXPECT_EQ(Budget::tokens(4000).base_count(), 4000u);
  EXPECT_EQ(Budget{}.base_count(), 10u);
}

TEST(BudgetDebug, Texts) {
  EXPECT_EQ(Budget{}.debug(), "TopK(10)");
  EXPECT_EQ(Budget::top_k(0).debug(), "TopK(0)");
  EXPECT_EQ(Budget::top_k(4294967295u).debug(), "TopK(4294967295)");
  EXPECT_EQ(Budget::tail(0.05f, 50).debug(), "TailMass { epsilon: 0.05, fallback_k: 50 }");
  EXPECT_EQ(Budget::tail(0.0f, 0).debug(), "TailMass { epsilon: 0.0, fallback_k: 0 }");
  EXPECT_EQ(Budget::tail(1.0f, 3).debug(), "TailMass { epsilon: 1.0, fallback_k: 3 }");
  EXPECT_EQ(Budget::tail(-0.0f, 3).debug(), "TailMass { epsilon: -0.0, fallback_k: 3 }");
  EXPECT_EQ(Budget::tail(0.0001f, 3).debug(), "TailMass { epsilon: 0.0001, fallback_k: 3 }");
  EXPECT_EQ(Budget::tail(0.00001f, 3).debug(), "TailMass { epsilon: 1e-5, fallback_k: 3 }");
  EXPECT_EQ(Budget::tail(2.5e-7f, 3).debug(), "TailMass { epsilon: 2.5e-7, fallback_k: 3 }");
  EXPECT_EQ(Budget::tail(1e16f, 3).debug(), "TailMass { epsilon: 1e16, fallback_k: 3 }");
  EXPECT_EQ(Budget::tail(kNaN, 3).debug(), "TailMass { epsilon: NaN, fallback_k: 3 }");
  EXPECT_EQ(Budget::tail(-kInf, 3).debug(), "TailMass { epsilon: -inf, fallback_k: 3 }");
  EXPECT_EQ(Budget::tokens(4000).debug(), "Tokens { max: 4000 }");
}

// -------------------------------------------------------------- derivation

std::vector<double> harmonic(int n) {
  std::vector<double> x;
  for (int i = 1; i <= n; ++i) x.push_back(1.0 / i);
  return x;
}

void expect_fallback(const BudgetTrace& t, FallbackReason reason, std::uint32_t fallback_k) {
  EXPECT_TRUE(t.fallback);
  ASSERT_TRUE(t.reason.has_value());
  EXPECT_EQ(*t.reason, reason);
  EXPECT_EQ(t.derived_k, fallback_k);
}

TEST(DeriveBudget, UnusableSamplesFallBack) {
  auto nine = derive_budget(harmonic(9), 0.1f, 0.9f, 4);
  expect_fallback(nine, FallbackReason::TooFewSamples, 4);
  EXPECT_EQ(nine.s, 0.0f);
  EXPECT_EQ(nine.fit_quality, 0.0f);
  expect_fallback(derive_budget({}, 0.1f, 0.9f, 0), FallbackReason::TooFewSamples, 0);

  const double bad[] = {-1.0, -1e-300, std::nan(""), std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity()};
  for (double b : bad) {
    auto x = harmonic(10);
    x[4] = b;
    auto t = derive_budget(x, 0.1f, 0.9f, 6);
    expect_fallback(t, FallbackReason::NotAMassDistribution, 6);
    EXPECT_EQ(t.s, 0.0f);
    EXPECT_EQ(t.fit_quality, 0.0f);
  }
  expect_fallback(derive_budget(std::vector<double>(12, 0.0), 0.1f, 0.9f, 6),
                  FallbackReason::NotAMassDistribution, 6);
  expect_fallback(derive_budget(std::vector<double>(12, -0.0), 0.1f, 0.9f, 6),
                  FallbackReason::NotAMassDistribution, 6);
}

TEST(DeriveBudget, MinFitThreshold) {
  // Above 1 every fit falls back, keeping s and the quality.
  auto above = derive_budget(harmonic(100), 0.5f, 1.0000001f, 3);
  expect_fallback(above, FallbackReason::PoorFit, 3);
  EXPECT_EQ(above.s, 1.0f);
  EXPECT_EQ(above.fit_quality, 1.0f);
  // Exactly the quality passes (strict comparison); 0 and NaN never trigger.
  std::vector<double> x(12, 0.0);
  x[11] = 1.0;
  float q = derive_budget(x, 0.1f, 0.9f, 3).fit_quality;
  EXPECT_FALSE(derive_budget(x, 0.1f, q, 3).fallback);
  EXPECT_TRUE(derive_budget(x, 0.1f, std::nextafter(q, 1.0f), 3).fallback);
  EXPECT_FALSE(derive_budget(x, 0.1f, 0.0f, 3).fallback);
  EXPECT_FALSE(derive_budget(x, 0.1f, -5.0f, 3).fallback);
  EXPECT_FALSE(derive_budget(x, 0.1f, kNaN, 3).fallback);
}

TEST(DeriveBudget, ZeroEpsilonTakesSmallestZeroTail) {
  auto t = derive_budget(harmonic(40), 0.0f, 0.0f, 3);
  EXPECT_FALSE(t.fallback);
  EXPECT_LE(t.derived_k, 40u);
  EXPECT_GE(t.derived_k, 1u);
  // With the mass on rank one and s = 6, the tail reaches 0 before n only
  // through rounding; either way the walk never passes n.
  std::vector<double> x(12, 0.0);
  x[0] = 1.0;
  auto one = derive_budget(x, 0.0f, 0.0f, 3);
  EXPECT_LE(one.derived_k, 12u);
}

}  // namespace
}  // namespace vantorel
