#include "common/float_text.hpp"

#include <charconv>
#include <cmath>

namespace vantorel {

namespace {

// Shortest round-trip scientific text of a finite float: "1e-05", "2.5e+16".
std::string shortest_scientific(float x) {
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  return std::string(buf, res.ptr);
}

// The shortest round-trip digits written out in positional notation, padded
// with zeros: 1e16f gives "10000000000000000", not the float's exact value
// 10000000272564224 (fixed-format to_chars minimises characters, which
// would keep the exact integer digits).
std::string positional(float x) {
  std::string sci = shortest_scientific(x);
  std::size_t e = sci.find('e');
  std::string out;
  std::size_t start = 0;
  if (sci[0] == '-') {
    out.push_back('-');
    start = 1;
  }
  std::string digits;
  for (std::size_t i = start; i < e; ++i) {
    if (sci[i] != '.') digits.push_back(sci[i]);
  }
  int exponent = 0;
  std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+' ? 1 : 0), sci.data() + sci.size(), exponent);
  // The decimal point goes after `point` digits.
  const long point = static_cast<long>(exponent) + 1;
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(point), std::string::npos);
  }
  return out;
}

bool has_no_fraction_mark(const std::string& text) {
  return text.find_first_of(".eE") == std::string::npos;
}

// "1e-05" -> "1e-5", "2.5e+16" -> "2.5e16": no plus sign, no leading zeros in
// the exponent.
std::string compact_exponent(const std::string& text) {
  auto e = text.find('e');
  if (e == std::string::npos) return text;
  std::string out = text.substr(0, e + 1);
  std::size_t i = e + 1;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') out.push_back('-');
    ++i;
  }
  while (i + 1 < text.size() && text[i] == '0') ++i;
  out.append(text, i, std::string::npos);
  return out;
}

}  // namespace

std::string f32_plain(float x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0.0f ? "-inf" : "inf";
  return positional(x);
}

std::string f32_debug(float x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0.0f ? "-inf" : "inf";
  float magnitude = std::fabs(x);
  if (magnitude != 0.0f && (magnitude < 1e-4f || magnitude >= 1e16f)) {
    return compact_exponent(shortest_scientific(x));
  }
  std::string text = positional(x);
  if (has_no_fraction_mark(text)) text += ".0";
  return text;
}

}  // namespace vantorel
