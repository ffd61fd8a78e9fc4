#include "evidence/json.hpp"

#include <charconv>
#include <cmath>

#include "common/float_text.hpp"

namespace vantorel {

namespace {

constexpr std::size_t kAuditReserve = 256;

void append_u32(std::string& out, std::uint32_t v) {
  char buf[16];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

void append_input(std::string& out, const TermInput& input) {
  out += "{\"kind\":";
  out += json_string(input_name(input.kind));
  switch (input.kind) {
    case TermInput::Kind::Value:
    case TermInput::Kind::Imputed:
      out += ",\"value\":";
      out += json_f32(input.value);
      break;
    case TermInput::Kind::Rank:
      out += ",\"rank\":";
      append_u32(out, input.rank);
      break;
    case TermInput::Kind::Skipped:
      break;
  }
  out += '}';
}

}  // namespace

std::string json_string(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  // Bytes below 0x20 only occur as ASCII characters in UTF-8, so a byte-wise
  // pass escapes exactly the control characters and copies everything else.
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0x0f];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

std::string json_f32(float x) {
  if (!std::isfinite(x)) return "null";
  std::string out = f32_plain(x);
  if (out.find_first_of(".eE") == std::string::npos) out += ".0";
  return out;
}

std::string audit_json(const CandidateId& id, std::uint32_t rank, float fused, const Scores& scores,
                       const std::vector<ScorerId>& axes, const FusionTrace& fusion,
                       const std::vector<ConstraintId>& constraints) {
  std::string out;
  out.reserve(kAuditReserve);
  out += "{\"candidate\":";
  out += json_string(id.display());
  out += ",\"rank\":";
  append_u32(out, rank);
  out += ",\"fused\":";
  out += json_f32(fused);

  out += ",\"scores\":{";
  for (std::size_t i = 0; i < scores.size(); ++i) {
    if (i > 0) out += ',';
    out += json_string(axes[i]);
    out += ':';
    out += scores[i] ? json_f32(*scores[i]) : std::string("null");
  }
  out += '}';

  out += ",\"missing_policy\":";
  out += json_string(missing_name(fusion.missing.kind));

  out += ",\"fusion\":{\"method\":";
  out += json_string(fusion_name(fusion.method));
  if (fusion.k) {
    out += ",\"k\":";
    out += json_f32(*fusion.k);
  }
  out += ",\"terms\":[";
  for (std::size_t i = 0; i < fusion.terms.size(); ++i) {
    const FusionTerm& term = fusion.terms[i];
    if (i > 0) out += ',';
    out += "{\"scorer\":";
    out += json_string(axes[i]);
    out += ",\"input\":";
    append_input(out, term.input);
    out += ",\"weight\":";
    out += json_f32(term.weight);
    out += ",\"contribution\":";
    out += json_f32(term.contribution);
    out += '}';
  }
  out += "]}";

  out += ",\"constraints\":{";
  bool first = true;
  for (const auto& name : constraints) {
    if (!first) out += ',';
    first = false;
    out += json_string(name);
    out += ":\"pass\"";
  }
  out += "}}";
  return out;
}

}  // namespace vantorel
