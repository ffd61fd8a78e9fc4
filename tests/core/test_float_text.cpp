#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

#include "common/float_text.hpp"
#include "names.hpp"

namespace vantorel {
namespace {

struct TextCase {
  float x;
  const char* plain;
  const char* debug;
};

class FloatText : public ::testing::TestWithParam<TextCase> {};

TEST_P(FloatText, PlainAndDebugForms) {
  const auto& c = GetParam();
  EXPECT_EQ(f32_plain(c.x), c.plain);
  EXPECT_EQ(f32_debug(c.x), c.debug);
}

constexpr float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, FloatText,
    ::testing::Values(
        // Integral values: no fraction in the plain form, ".0" in the debug form.
        TextCase{0.0f, "0", "0.0"}, TextCase{-0.0f, "-0", "-0.0"}, TextCase{1.0f, "1", "1.0"},
        TextCase{-3.0f, "-3", "-3.0"}, TextCase{16777216.0f, "16777216", "16777216.0"},
        // Shortest round trip, not the float's exact binary value.
        TextCase{0.1f, "0.1", "0.1"}, TextCase{0.05f, "0.05", "0.05"}, TextCase{-0.3f, "-0.3", "-0.3"},
        TextCase{123456.7f, "123456.7", "123456.7"},
        // Large values keep their shortest digits and pad with zeros, in both forms.
        TextCase{1e15f, "1000000000000000", "1000000000000000.0"},
        TextCase{9.999999e15f, "9999999000000000", "9999999000000000.0"},
        TextCase{1e16f, "10000000000000000", "1e16"}, TextCase{1.5e17f, "150000000000000000", "1.5e17"},
        TextCase{std::numeric_limits<float>::max(), "340282350000000000000000000000000000000", "3.4028235e38"},
        // The exponent boundary at 1e-4: 1e-4 itself is positional.
        TextCase{1e-4f, "0.0001", "0.0001"}, TextCase{-1e-4f, "-0.0001", "-0.0001"},
        TextCase{1e-5f, "0.00001", "1e-5"}, TextCase{-1e-5f, "-0.00001", "-1e-5"},
        TextCase{2.5e-7f, "0.00000025", "2.5e-7"}, TextCase{1e-7f, "0.0000001", "1e-7"},
        TextCase{9.9999e-5f, "0.000099999", "9.9999e-5"},
        TextCase{std::numeric_limits<float>::denorm_min(), "0.000000000000000000000000000000000000000000001",
                 "1e-45"},
        TextCase{std::numeric_limits<float>::min(), "0.000000000000000000000000000000000000011754944",
                 "1.1754944e-38"},
        // Non-finite values.
        TextCase{kInf, "inf", "inf"}, TextCase{-kInf, "-inf", "-inf"},
        TextCase{std::numeric_limits<float>::quiet_NaN(), "NaN", "NaN"},
        TextCase{-std::numeric_limits<float>::quiet_NaN(), "NaN", "NaN"}),
    [](const auto& info) { return testing::case_name(info.param.plain, info.index); });

// The largest float below 1e16f stays positional; 1e16f itself switches.
TEST(FloatTextBoundary, JustBelowOneE16IsPositional) {
  float below = std::bit_cast<float>(std::bit_cast<std::uint32_t>(1e16f) - 1);
  std::string text = f32_debug(below);
  EXPECT_EQ(text.find('e'), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 2), ".0");
}

float read_back(const std::string& text) {
  float y = 0.0f;
  std::from_chars(text.data(), text.data() + text.size(), y);
  return y;
}

// Every text reads back as the same float.
TEST(FloatTextBoundary, RoundTripsAcrossMagnitudes) {
  for (std::uint32_t bits = 0x00000001u; bits < 0x7f800000u; bits += 0x0007f3a1u) {
    float x = std::bit_cast<float>(bits);
    EXPECT_EQ(read_back(f32_plain(x)), x) << bits;
    EXPECT_EQ(read_back(f32_plain(-x)), -x) << bits;
    EXPECT_EQ(read_back(f32_debug(x)), x) << bits;
  }
}

}  // namespace
}  // namespace vantorel
