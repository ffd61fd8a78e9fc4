#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "evidence/json.hpp"
#include "evidence/outcome.hpp"
#include "names.hpp"

namespace vantorel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// ------------------------------------------------------------- json_string

struct StringCase {
  std::string text;
  std::string json;
};

class JsonString : public ::testing::TestWithParam<StringCase> {};

TEST_P(JsonString, Escapes) { EXPECT_EQ(json_string(GetParam().text), GetParam().json); }

INSTANTIATE_TEST_SUITE_P(
    Table, JsonString,
    ::testing::Values(StringCase{"", "\"\""}, StringCase{"abc", "\"abc\""},
                      StringCase{"a\"b\\c\td\x01", "\"a\\\"b\\\\c\\td\\u0001\""},
                      StringCase{"\n\r", "\"\\n\\r\""},
                      StringCase{"\x08\x0c\x1f", "\"\\u0008\\u000c\\u001f\""},
                      StringCase{std::string("a\0b", 3), "\"a\\u0000b\""},
                      // Copied as is: DEL, solidus, space and non-ASCII text.
                      StringCase{"\x7f/ ", "\"\x7f/ \""}, StringCase{"점수 é 😀", "\"점수 é 😀\""}),
    [](const auto& info) { return testing::case_name(info.param.json, info.index); });

// ---------------------------------------------------------------- json_f32

struct NumberCase {
  float x;
  const char* json;
};

class JsonNumber : public ::testing::TestWithParam<NumberCase> {};

TEST_P(JsonNumber, Text) { EXPECT_EQ(json_f32(GetParam().x), GetParam().json); }

INSTANTIATE_TEST_SUITE_P(Table, JsonNumber,
                         ::testing::Values(NumberCase{1.0f, "1.0"}, NumberCase{0.5f, "0.5"},
                                           NumberCase{0.0f, "0.0"}, NumberCase{-0.0f, "-0.0"},
                                           NumberCase{0.1f, "0.1"}, NumberCase{-2.25f, "-2.25"},
                                           NumberCase{1e-7f, "0.0000001"},
                                           NumberCase{1e20f, "100000000000000000000.0"},
                                           NumberCase{60.0f, "60.0"}, NumberCase{kNaN, "null"},
                                           NumberCase{-kNaN, "null"}, NumberCase{kInf, "null"},
                                           NumberCase{-kInf, "null"}),
                         [](const auto& info) { return testing::case_name(info.param.json, info.index); });

// -------------------------------------------------------------- audit_json

FusionTerm term(const char* scorer, TermInput input, float weight, float contribution) {
  FusionTerm t;
  t.input = input;
  t.scorer = scorer;
  t.weight = weight;
  t.contribution = contribution;
  return t;
}

TermInput value(float v) { return {TermInput::Kind::Value, v, 0}; }

TEST(AuditJson, OneLineRecord) {
  FusionTrace trace;
  trace.method = Fusion::Kind::Max;
  trace.missing = MissingPolicy::skip();
  trace.terms.push_back(term("a", value(0.5f), 1.0f, 0.5f));
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
  trace.terms.push_back(term("d", value(-0.0f), 2.0f, -0.0f));
  ScoreSet scores{{"a", 0.75f}, {"b", std::nullopt}, {"c", std::nullopt}, {"d", -0.0f}};
  std::string out = audit_json(CandidateId(std::string("q\"\\\t\x01점")), 4294967295u, 2.0f, scores, trace,
                               {"max_total", "group:lang"});
  EXPECT_EQ(out,
            R"({"candidate":"q\"\\\t\u0001점","rank":4294967295,"fused":2.0,)"
            R"("scores":{"a":0.75,"b":null,"c":null,"d":-0.0},"missing_policy":"impute",)"
            R"("fusion":{"method":"rrf","k":60.0,"terms":[)"
            R"({"scorer":"a","input":{"kind":"rank","rank":3},"weight":1.0,"contribution":0.015873017},)"
            R"({"scorer":"b","input":{"kind":"imputed","value":0.25},"weight":1.0,"contribution":null},)"
            R"({"scorer":"c","input":{"kind":"skipped"},"weight":0.0,"contribution":0.0},)"
            R"({"scorer":"d","input":{"kind":"value","value":-0.0},"weight":2.0,"contribution":-0.0}]},)"
            R"("constraints":{"max_total":"pass","group:lang":"pass"}})");
}

// ----------------------------------------------------------- outcome table

struct PropsCase {
  bool repaired, objective, submodular, tokens;
  std::size_t p, matroids;
  bool exact;
  std::optional<float> guarantee;
};

class SelectionProps : public ::testing::TestWithParam<PropsCase> {};

TEST_P(SelectionProps, Table) {
  const auto& c = GetParam();
  auto got = selection_properties(c.repaired, c.objective, c.submodular, c.tokens, c.p, c.matroids);
  EXPECT_EQ(got.exact, c.exact);
  ASSERT_EQ(got.guarantee.has_value(), c.guarantee.has_value());
  if (c.guarantee) {
    EXPECT_EQ(*got.guarantee, *c.guarantee);  // exact 32-bit value
  }
}

const std::optional<float> kNone;

INSTANTIATE_TEST_SUITE_P(
    Cases, SelectionProps,
    ::testing::Values(
        // Repair, a non-submodular objective or a non-matroid constraint state nothing.
        PropsCase{true, false, false, false, 0, 0, false, kNone},
        PropsCase{true, true, true, false, 0, 0, false, kNone},
        PropsCase{false, true, false, false, 0, 0, false, kNone},
        PropsCase{false, false, false, false, 2, 1, false, kNone},
        PropsCase{false, true, true, true, 1, 0, false, kNone},
        // No objective, count budget.
        PropsCase{false, false, false, false, 0, 0, true, kNone},
        PropsCase{false, false, true, false, 1, 1, true, kNone},
        PropsCase{false, false, false, false, 2, 2, false, 0.5f},
        PropsCase{false, false, false, false, 3, 3, false, 1.0f / 3.0f},
        PropsCase{false, false, false, false, 7, 7, false, 1.0f / 7.0f},
        // No objective, token budget.
        PropsCase{false, false, false, true, 0, 0, false, 0.5f},
        PropsCase{false, false, false, true, 1, 1, false, kNone},
        // Submodular objective, count budget.
        PropsCase{false, true, true, false, 0, 0, false, 0.63212055f},
        PropsCase{false, true, true, false, 1, 1, false, 0.5f},
        PropsCase{false, true, true, false, 2, 2, false, 1.0f / 3.0f},
        PropsCase{false, true, true, false, 5, 5, false, 1.0f / 6.0f},
        // Submodular objective, token budget.
        PropsCase{false, true, true, true, 0, 0, false, 0.31606027f},
        PropsCase{false, true, true, true, 2, 2, false, kNone}),
    [](const auto& info) {
      const auto& c = info.param;
      const std::string objective = c.objective ? (c.submodular ? "submodular" : "objective") : "plain";
      return testing::case_name((c.repaired ? "repaired_" : "") + objective + (c.tokens ? "_tokens_p" : "_count_p") +
                                    std::to_string(c.p) + "_m" + std::to_string(c.matroids),
                                info.index);
    });

}  // namespace
}  // namespace vantorel
