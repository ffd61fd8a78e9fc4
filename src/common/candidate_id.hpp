#pragma once
// A candidate's identifier: an unsigned 64-bit number or a text.
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace vantorel {

class CandidateId {
 public:
  CandidateId() : value_(std::uint64_t{0}) {}
  explicit CandidateId(std::uint64_t number) : value_(number) {}
  explicit CandidateId(std::string text) : value_(std::move(text)) {}

  bool is_number() const { return value_.index() == 0; }
  std::uint64_t number() const { return std::get<0>(value_); }
  const std::string& text() const { return std::get<1>(value_); }

  // Decimal digits of a number, or the text itself.
  std::string display() const {
    return is_number() ? std::to_string(number()) : text();
  }

  // Every number before every text; numbers by value; texts bytewise
  // (unsigned bytes), a prefix before its extensions. Returns <0, 0, >0.
  friend int compare(const CandidateId& a, const CandidateId& b) {
    if (a.is_number() != b.is_number()) return a.is_number() ? -1 : 1;
    if (a.is_number()) return a.number() < b.number() ? -1 : (a.number() > b.number() ? 1 : 0);
    int c = a.text().compare(b.text());
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  friend bool operator<(const CandidateId& a, const CandidateId& b) { return compare(a, b) < 0; }
  friend bool operator==(const CandidateId& a, const CandidateId& b) { return compare(a, b) == 0; }

 private:
  std::variant<std::uint64_t, std::string> value_;
};

}  // namespace vantorel
