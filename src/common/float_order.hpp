#pragma once
// IEEE 754 total order on 32-bit floats, and the score order built on it.
#include <bit>
#include <cstdint>

#include "common/candidate_id.hpp"

namespace vantorel {

// Maps a float to a signed integer whose order is the IEEE 754 total order:
// -NaN < -inf < negatives < -0 < +0 < positives < +inf < +NaN.
inline std::int32_t total_order_key(float f) {
  auto bits = std::bit_cast<std::int32_t>(f);
  return bits ^ static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 31) >> 1);
}

// <0, 0 (same bits), >0.
inline int total_cmp(float a, float b) {
  auto ka = total_order_key(a), kb = total_order_key(b);
  return ka < kb ? -1 : (ka > kb ? 1 : 0);
}

// Score order: higher score first, equal scores by ascending id.
// True when (sa, ia) comes strictly before (sb, ib).
inline bool score_before(float sa, const CandidateId& ia, float sb, const CandidateId& ib) {
  int c = total_cmp(sa, sb);
  if (c != 0) return c > 0;
  return compare(ia, ib) < 0;
}

}  // namespace vantorel
