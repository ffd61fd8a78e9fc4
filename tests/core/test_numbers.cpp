// Numbers and their texts: float text, JSON, the audit record, selection
// properties, error messages, budgets, the tail mass, the Zipf fit and the
// score order.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <random>
#include <tuple>

#include "budget/budget.hpp"
#include "common/float_text.hpp"
#include "common/score_sort.hpp"
#include "error/error.hpp"
#include "evidence/json.hpp"
#include "evidence/outcome.hpp"

namespace vantorel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

TEST(FloatText, PlainAndDebugFormsReadBackExactly) {
  const std::tuple<float, const char*, const char*> cases[] = {
      // Integral values: no fraction in the plain form, ".0" in the debug form.
      {0.0f, "0", "0.0"}, {-0.0f, "-0", "-0.0"}, {1.0f, "1", "1.0"}, {-3.0f, "-3", "-3.0"},
      {16777216.0f, "16777216", "16777216.0"},
      // Shortest round trip, not the float's exact binary value.
      {0.1f, "0.1", "0.1"}, {0.05f, "0.05", "0.05"}, {-0.3f, "-0.3", "-0.3"}, {123456.7f, "123456.7", "123456.7"},
      // Large values pad their shortest digits with zeros; the debug form
      // switches to an exponent at 1e16 (9.999999e15 is the float just below).
      {1e15f, "1000000000000000", "1000000000000000.0"},
      {9.999999e15f, "9999999000000000", "9999999000000000.0"},
      {1e16f, "10000000000000000", "1e16"}, {1.5e17f, "150000000000000000", "1.5e17"},
      {std::numeric_limits<float>::max(), "340282350000000000000000000000000000000", "3.4028235e38"},
      // The exponent boundary at 1e-4: 1e-4 itself is positional.
      {1e-4f, "0.0001", "0.0001"}, {-1e-4f, "-0.0001", "-0.0001"}, {1e-5f, "0.00001", "1e-5"},
      {-1e-5f, "-0.00001", "-1e-5"}, {2.5e-7f, "0.00000025", "2.5e-7"}, {1e-7f, "0.0000001", "1e-7"},
      {9.9999e-5f, "0.000099999", "9.9999e-5"},
      {std::numeric_limits<float>::denorm_min(), "0.000000000000000000000000000000000000000000001", "1e-45"},
      {std::numeric_limits<float>::min(), "0.000000000000000000000000000000000000011754944", "1.1754944e-38"},
      {kInf, "inf", "inf"}, {-kInf, "-inf", "-inf"}, {kNaN, "NaN", "NaN"}, {-kNaN, "NaN", "NaN"},
  };
  for (const auto& [x, plain, debug] : cases) {
    EXPECT_EQ(f32_plain(x), plain);
    EXPECT_EQ(f32_debug(x), debug);
  }
  // Every text reads back as the same float.
  for (std::uint32_t b = 0x00000001u; b < 0x7f800000u; b += 0x0007f3a1u) {
    const float x = std::bit_cast<float>(b);
    EXPECT_EQ(std::strtof(f32_plain(x).c_str(), nullptr), x) << b;
    EXPECT_EQ(std::strtof(f32_plain(-x).c_str(), nullptr), -x) << b;
    EXPECT_EQ(std::strtof(f32_debug(x).c_str(), nullptr), x) << b;
  }
}

TEST(Json, StringsAndNumbers) {
  const std::pair<std::string, std::string> strings[] = {
      {"", "\"\""}, {"abc", "\"abc\""}, {"a\"b\\c\td\x01", "\"a\\\"b\\\\c\\td\\u0001\""}, {"\n\r", "\"\\n\\r\""},
      {"\x08\x0c\x1f", "\"\\u0008\\u000c\\u001f\""}, {std::string("a\0b", 3), "\"a\\u0000b\""},
      // Copied as is: DEL, solidus, space and non-ASCII text.
      {"\x7f/ ", "\"\x7f/ \""}, {"점수 é 😀", "\"점수 é 😀\""}};
  for (const auto& [text, json] : strings) EXPECT_EQ(json_string(text), json);
  const std::pair<float, const char*> numbers[] = {
      {1.0f, "1.0"}, {0.0f, "0.0"}, {-0.0f, "-0.0"}, {-2.25f, "-2.25"}, {1e-7f, "0.0000001"},
      {1e20f, "100000000000000000000.0"}, {kNaN, "null"}, {-kNaN, "null"}, {kInf, "null"}, {-kInf, "null"}};
  for (const auto& [x, json] : numbers) EXPECT_EQ(json_f32(x), json) << x;
}

using Kind = TermInput::Kind;

TEST(AuditJson, OneLineRecords) {
  const FusionTrace trace{{{{Kind::Value, 0.5f, 0}, 1.0f, 0.5f}}, std::nullopt, MissingPolicy::skip(),
                          Fusion::Kind::Max};
  const Ranked<int> r{7, {0.5f}, trace, {}, 1, 0.5f};
  EXPECT_EQ(to_json(r, CandidateId(42), {"a"}),
            R"({"candidate":"42","rank":1,"fused":0.5,"scores":{"a":0.5},"missing_policy":"skip",)"
            R"("fusion":{"method":"max","terms":[{"scorer":"a","input":{"kind":"value","value":0.5},)"
            R"("weight":1.0,"contribution":0.5}]},"constraints":{}})");
  // Every input shape, the RRF constant and constraint verdicts.
  const FusionTrace rrf{{{{Kind::Rank, 0.0f, 3}, 1.0f, 1.0f / 63.0f},
                         {{Kind::Imputed, 0.25f, 0}, 1.0f, kNaN},
                         {{Kind::Skipped, 0.0f, 0}, 0.0f, 0.0f},
                         {{Kind::Value, -0.0f, 0}, 2.0f, -0.0f}},
                        60.0f,
                        MissingPolicy::impute(0.25f),
                        Fusion::Kind::Rrf};
  const Scores scores{0.75f, std::nullopt, std::nullopt, -0.0f};
  EXPECT_EQ(audit_json(CandidateId(std::string("q\"\\\t\x01점")), 4294967295u, 2.0f, scores, {"a", "b", "c", "d"},
                       rrf, {"max_total", "group:lang"}),
            R"({"candidate":"q\"\\\t\u0001점","rank":4294967295,"fused":2.0,)"
            R"("scores":{"a":0.75,"b":null,"c":null,"d":-0.0},"missing_policy":"impute",)"
            R"("fusion":{"method":"rrf","k":60.0,"terms":[)"
            R"({"scorer":"a","input":{"kind":"rank","rank":3},"weight":1.0,"contribution":0.015873017},)"
            R"({"scorer":"b","input":{"kind":"imputed","value":0.25},"weight":1.0,"contribution":null},)"
            R"({"scorer":"c","input":{"kind":"skipped"},"weight":0.0,"contribution":0.0},)"
            R"({"scorer":"d","input":{"kind":"value","value":-0.0},"weight":2.0,"contribution":-0.0}]},)"
            R"("constraints":{"max_total":"pass","group:lang":"pass"}})");
}

TEST(SelectionProperties, ExactAndGuarantee) {
  struct Case {
    bool repaired, objective, submodular, tokens;
    std::size_t p, matroids;
    bool exact;
    std::optional<float> guarantee;
  };
  const Case cases[] = {
      // Repair, a non-submodular objective or a non-matroid constraint state nothing.
      {true, false, false, false, 0, 0, false, {}}, {true, true, true, false, 0, 0, false, {}},
      {false, true, false, false, 0, 0, false, {}}, {false, false, false, false, 2, 1, false, {}},
      {false, true, true, true, 1, 0, false, {}},
      // No objective, count budget, then token budget.
      {false, false, false, false, 0, 0, true, {}}, {false, false, true, false, 1, 1, true, {}},
      {false, false, false, false, 2, 2, false, 0.5f}, {false, false, false, false, 3, 3, false, 1.0f / 3.0f},
      {false, false, false, false, 7, 7, false, 1.0f / 7.0f}, {false, false, false, true, 0, 0, false, 0.5f},
      {false, false, false, true, 1, 1, false, {}},
      // Submodular objective, count budget, then token budget.
      {false, true, true, false, 0, 0, false, 0.63212055f}, {false, true, true, false, 1, 1, false, 0.5f},
      {false, true, true, false, 2, 2, false, 1.0f / 3.0f}, {false, true, true, false, 5, 5, false, 1.0f / 6.0f},
      {false, true, true, true, 0, 0, false, 0.31606027f}, {false, true, true, true, 2, 2, false, {}},
  };
  for (const auto& c : cases) {
    const auto got = selection_properties(c.repaired, c.objective, c.submodular, c.tokens, c.p, c.matroids);
    EXPECT_EQ(got.exact, c.exact) << &c - cases;
    EXPECT_EQ(got.guarantee, c.guarantee) << &c - cases;  // exact 32-bit values
  }
}

TEST(ErrorMessage, ExactTexts) {
  const std::string scale_tail = " 과 함께 쓸 수 없다. 정규화기를 끼우거나(Scorer::normalized) 순위 융합(Fusion::Rrf)으로 바꿔야 한다";
  const std::pair<Error, std::string> cases[] = {
      {Error::no_scorers(), "채점기가 하나도 없다. Engine::scorer 로 최소 하나를 등록해야 한다"},
      {Error::duplicate_scorer("ctr"), "채점기 식별자 'ctr' 가 중복 등록됐다"},
      {Error::scale_mismatch("ctr", ScoreScale::Unbounded, "weighted_sum"),
       "채점기 'ctr' 의 척도 Unbounded 는 융합 방식 weighted_sum" + scale_tail},
      {Error::scale_mismatch("pos", ScoreScale::Rank, "max"), "채점기 'pos' 의 척도 Rank 는 융합 방식 max" + scale_tail},
      {Error::unknown_weight_scorer("w"), "가중치가 가리키는 채점기 'w' 가 등록돼 있지 않다"},
      {Error::unknown_admission("adm"), "승인 채점기 'adm' 가 등록돼 있지 않다"},
      {Error::expensive_admission("llm"), "승인 채점기 'llm' 가 비싼 축이다. 1단계는 후보 전부를 훑으므로 싼 축이어야 한다"},
      {Error::rrf_without_admission(), "순위 융합(Fusion::Rrf)은 1단계 절단 기준을 스스로 만들지 못한다. "
                                       "싼 채점기를 하나 이상 등록하거나 Engine::admission 으로 승인 채점기를 지정해야 한다"},
      // The reason texts themselves are checked with the budgets.
      {Error::invalid_budget(kReasonTokens), std::string("예산 설정이 올바르지 않다: ") + kReasonTokens},
      {Error::invalid_pool_multiplier(), "풀 배수는 1 이상이어야 한다"},
      {Error::batch_length_mismatch("llm", 3, 5), "채점기 'llm' 의 배치 결과 길이가 3 인데 후보는 5 개다"},
      {Error::batch_length_mismatch("x", 18446744073709551615u, 0),
       "채점기 'x' 의 배치 결과 길이가 18446744073709551615 인데 후보는 0 개다"},
      {Error::requirement_unsatisfied("min_news", 4, 1),
       "요구 조건 'min_news' 의 교체에 실패했다. 최소 4 개가 필요하고 풀에서 해당 조건에 맞는 후보는 1 개다. "
       "다른 제약과의 충돌도 확인해야 한다"},
      // Ids are written unchanged: quotes, backslashes, non-ASCII text, nothing.
      {Error::duplicate_scorer("a'b\"c\\d 점수"), "채점기 식별자 'a'b\"c\\d 점수' 가 중복 등록됐다"},
      {Error::unknown_admission(""), "승인 채점기 '' 가 등록돼 있지 않다"},
  };
  for (const auto& [error, message] : cases) {
    EXPECT_EQ(error.message(), message);
    const bool runtime = error.kind == ErrorKind::BatchLengthMismatch ||
                         error.kind == ErrorKind::RequirementUnsatisfied;
    EXPECT_EQ(error.is_runtime(), runtime) << message;
  }
}

// s, k, v and the 32-bit result widened (NaN when undefined).
TEST(TailMass, ValuesAndTheProceedHook) {
  const std::tuple<float, std::uint64_t, std::uint64_t, double> cases[] = {
      // Published values.
      {1.0f, 10, 100, 0.43536627292633057}, {1.1f, 100, 10000, 0.3521479368209839},
      {1.0f, 1, 2, 0.3333333432674408},
      // Nothing beyond the top k.
      {1.0f, 5, 5, 0.0}, {1.0f, 7, 5, 0.0}, {1.0f, 0, 0, 0.0}, {kNaN, 3, 3, 0.0}, {-kInf, 9, 2, 0.0},
      // Nothing kept.
      {1.0f, 0, 1, 1.0}, {2.5f, 0, 50, 1.0}, {-1.0f, 0, 7, 1.0},
      // Equal weights.
      {0.0f, 1, 4, 0.75}, {-0.0f, 3, 4, 0.25},
      // Only rank 1 weighs at +inf; at -inf rank 1 alone is finite.
      {kInf, 1, 10, 0.0}, {kInf, 4, 10, 0.0}, {-kInf, 1, 10, 1.0},
      // NaN with v = 1: the total is pow(1, NaN) = 1.
      {kNaN, 0, 1, 1.0}, {-kInf, 2, 10, NAN}, {kNaN, 1, 2, NAN}, {kNaN, 0, 2, NAN},
      {1.1f, 5, 3 << 20, 0.74197834730148315},  // long enough for several checks of the proceed hook
  };
  for (const auto& [s, k, v, expected] : cases) {
    const double got = tail_mass(s, k, v);
    if (std::isnan(expected))
      EXPECT_TRUE(std::isnan(got)) << s << " " << k << " " << v;
    else
      EXPECT_EQ(got, expected) << s << " " << k << " " << v;
  }
  // The proceed hook stops a long sum, and changes no result.
  static int calls = 0;
  EXPECT_FALSE(tail_mass(1.0f, 0, std::uint64_t{1} << 40, [] { return ++calls < 3; }).has_value());
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(bits(*tail_mass(1.1f, 5, 3 << 20, [] { return true; })), bits(tail_mass(1.1f, 5, 3 << 20)));
}

TEST(Budget, ValidityBaseCountAndText) {
  // The budget, whether there is a cost function, the reason it is invalid
  // (nullptr when valid), the base count and the display text.
  const char* epsilon = "epsilon 은 0 이상 1 미만이어야 한다";
  const std::tuple<Budget, bool, const char*, std::uint32_t, const char*> cases[] = {
      {Budget{}, false, nullptr, 10, "TopK(10)"},
      {Budget::top_k(0), false, "TopK 는 1 이상이어야 한다", 0, "TopK(0)"},
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
  for (const auto& [budget, has_cost, reason, base, text] : cases) {
    const char* got = budget.invalid_reason(has_cost);
    EXPECT_EQ(std::string(got ? got : "valid"), std::string(reason ? reason : "valid")) << text;
    EXPECT_EQ(budget.base_count(), base) << text;
    EXPECT_EQ(budget.debug(), text);
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
    float epsilon, min_fit, s, fit;
    std::uint32_t k;
    std::optional<R> reason;
  };
  const double dinf = std::numeric_limits<double>::infinity();
  std::vector<double> geometric;
  for (int i = 0; i < 30; ++i) geometric.push_back(std::pow(0.7, i));
  const std::vector<double> zeros(12, 0.0), first = with(zeros, 0, 1.0), last = with(zeros, 11, 1.0);
  std::vector<Case> cases = {
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
      {"zeros", zeros, 0.1f, 0.9f, 0.0f, 0.0f, 6, R::NotAMassDistribution},
      {"negative_zeros", std::vector<double>(12, -0.0), 0.1f, 0.9f, 0.0f, 0.0f, 6, R::NotAMassDistribution},
  };
  for (double bad : {-1.0, -1e-300, std::nan(""), dinf, -dinf})
    cases.push_back({"bad_sample", with(harmonic(10), 4, bad), 0.1f, 0.9f, 0, 0, 6, R::NotAMassDistribution});
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

// The score order against a plain sort, on short and long (radix) lists of
// random keys over the whole range or a few values: shuffled, in key order
// (ties not in their order), or in order but for one pair.
TEST(ScoreOrder, HighestKeyFirstThenTheTieOrder) {
  std::mt19937 rng(11);
  for (std::size_t n : {0, 1, 2, 255, 256, 257, 3000}) {
    for (int shape = 0; shape < 6; ++shape) {
      std::vector<std::int32_t> keys(n);
      std::vector<std::uint32_t> ties(n);
      for (std::size_t i = 0; i < n; ++i) {
        keys[i] = shape % 2 ? static_cast<std::int32_t>(rng()) : static_cast<std::int32_t>(rng() % 5) - 2;
        ties[i] = rng() % 3;
      }
      auto less = [&](std::size_t a, std::size_t b) { return ties[a] != ties[b] ? ties[a] < ties[b] : a < b; };
      auto before = [&](std::size_t a, std::size_t b) { return keys[a] != keys[b] ? keys[a] > keys[b] : less(a, b); };
      std::vector<std::size_t> want(n);
      std::iota(want.begin(), want.end(), std::size_t{0});
      if (shape >= 2) {
        std::stable_sort(want.begin(), want.end(), [&](std::size_t a, std::size_t b) {
          return shape < 4 ? keys[a] > keys[b] : before(a, b);
        });
        std::vector<std::int32_t> k;
        std::vector<std::uint32_t> t;
        for (std::size_t i : want) {
          k.push_back(keys[i]);
          t.push_back(ties[i]);
        }
        keys = k;
        ties = t;
        if (shape >= 4 && n > 1) std::swap(keys[n / 2 - 1], keys[n / 2]);
        std::iota(want.begin(), want.end(), std::size_t{0});
      }
      std::sort(want.begin(), want.end(), before);
      EXPECT_EQ(score_order(n, [&](std::size_t i) { return keys[i]; }, less), want) << n << " " << shape;
    }
  }
}

}  // namespace
}  // namespace vantorel
