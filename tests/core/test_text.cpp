// Text forms: float text, JSON strings and numbers, the audit record, the
// selection properties written into it, and the error messages.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "common/float_text.hpp"
#include "error/error.hpp"
#include "evidence/json.hpp"
#include "evidence/outcome.hpp"

namespace vantorel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(FloatText, PlainAndDebugForms) {
  struct Case {
    float x;
    const char* plain;
    const char* debug;
  };
  const Case cases[] = {
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
  for (const auto& c : cases) {
    EXPECT_EQ(f32_plain(c.x), c.plain);
    EXPECT_EQ(f32_debug(c.x), c.debug);
  }
}

TEST(FloatText, EveryTextReadsBackAsTheSameFloat) {
  auto read_back = [](const std::string& text) {
    float y = 0.0f;
    std::from_chars(text.data(), text.data() + text.size(), y);
    return y;
  };
  for (std::uint32_t bits = 0x00000001u; bits < 0x7f800000u; bits += 0x0007f3a1u) {
    const float x = std::bit_cast<float>(bits);
    EXPECT_EQ(read_back(f32_plain(x)), x) << bits;
    EXPECT_EQ(read_back(f32_plain(-x)), -x) << bits;
    EXPECT_EQ(read_back(f32_debug(x)), x) << bits;
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
      {1.0f, "1.0"}, {0.5f, "0.5"}, {0.0f, "0.0"}, {-0.0f, "-0.0"}, {0.1f, "0.1"}, {-2.25f, "-2.25"},
      {1e-7f, "0.0000001"}, {1e20f, "100000000000000000000.0"}, {60.0f, "60.0"},
      {kNaN, "null"}, {-kNaN, "null"}, {kInf, "null"}, {-kInf, "null"}};
  for (const auto& [x, json] : numbers) EXPECT_EQ(json_f32(x), json) << x;
}

FusionTerm term(const char* scorer, TermInput input, float weight, float contribution) {
  FusionTerm t;
  t.input = input;
  t.scorer = scorer;
  t.weight = weight;
  t.contribution = contribution;
  return t;
}

TEST(AuditJson, OneLineRecord) {
  FusionTrace trace;
  trace.method = Fusion::Kind::Max;
  trace.missing = MissingPolicy::skip();
  trace.terms.push_back(term("a", {TermInput::Kind::Value, 0.5f, 0}, 1.0f, 0.5f));
  Ranked<int> r{7, {{"a", 0.5f}}, trace, {}, 1, 0.5f};
  EXPECT_EQ(to_json(r, CandidateId(std::uint64_t{42})),
            R"({"candidate":"42","rank":1,"fused":0.5,"scores":{"a":0.5},"missing_policy":"skip",)"
            R"("fusion":{"method":"max","terms":[{"scorer":"a","input":{"kind":"value","value":0.5},)"
            R"("weight":1.0,"contribution":0.5}]},"constraints":{}})");
}

TEST(AuditJson, EveryInputShapeRrfKAndConstraints) {
  FusionTrace trace;
  trace.method = Fusion::Kind::Rrf;
  trace.k = 60.0f;
  trace.missing = MissingPolicy::impute(0.25f);
  trace.terms.push_back(term("a", {TermInput::Kind::Rank, 0.0f, 3}, 1.0f, 1.0f / 63.0f));
  trace.terms.push_back(term("b", {TermInput::Kind::Imputed, 0.25f, 0}, 1.0f, kNaN));
  trace.terms.push_back(term("c", {TermInput::Kind::Skipped, 0.0f, 0}, 0.0f, 0.0f));
  trace.terms.push_back(term("d", {TermInput::Kind::Value, -0.0f, 0}, 2.0f, -0.0f));
  ScoreSet scores{{"a", 0.75f}, {"b", std::nullopt}, {"c", std::nullopt}, {"d", -0.0f}};
  EXPECT_EQ(audit_json(CandidateId(std::string("q\"\\\t\x01점")), 4294967295u, 2.0f, scores, trace,
                       {"max_total", "group:lang"}),
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
  const std::optional<float> none;
  const Case cases[] = {
      // Repair, a non-submodular objective or a non-matroid constraint state nothing.
      {true, false, false, false, 0, 0, false, none}, {true, true, true, false, 0, 0, false, none},
      {false, true, false, false, 0, 0, false, none}, {false, false, false, false, 2, 1, false, none},
      {false, true, true, true, 1, 0, false, none},
      // No objective, count budget, then token budget.
      {false, false, false, false, 0, 0, true, none}, {false, false, true, false, 1, 1, true, none},
      {false, false, false, false, 2, 2, false, 0.5f}, {false, false, false, false, 3, 3, false, 1.0f / 3.0f},
      {false, false, false, false, 7, 7, false, 1.0f / 7.0f}, {false, false, false, true, 0, 0, false, 0.5f},
      {false, false, false, true, 1, 1, false, none},
      // Submodular objective, count budget, then token budget.
      {false, true, true, false, 0, 0, false, 0.63212055f}, {false, true, true, false, 1, 1, false, 0.5f},
      {false, true, true, false, 2, 2, false, 1.0f / 3.0f}, {false, true, true, false, 5, 5, false, 1.0f / 6.0f},
      {false, true, true, true, 0, 0, false, 0.31606027f}, {false, true, true, true, 2, 2, false, none},
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
    const bool runtime = error.kind == ErrorKind::BatchLengthMismatch || error.kind == ErrorKind::RequirementUnsatisfied;
    EXPECT_EQ(error.is_runtime(), runtime) << message;
  }
}

}  // namespace
}  // namespace vantorel
