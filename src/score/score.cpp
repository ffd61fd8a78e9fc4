#include "score/score.hpp"

#include <cmath>

#include "common/names.hpp"

namespace vantorel {

const char* scale_name(ScoreScale scale) {
  static constexpr const char* kNames[] = {"Unit", "Unbounded", "Rank"};
  return name_in(kNames, scale);
}

const char* cost_name(Cost cost) { return name_in(kCostNames, cost); }

namespace {
// 0 below 0, 1 above 1; NaN stays NaN.
float clamp_unit(float x) {
  if (x < 0.0f) return 0.0f;
  if (x > 1.0f) return 1.0f;
  return x;
}
}  // namespace

float Normalizer::apply(float x) const {
  switch (kind) {
    case Kind::Sigmoid: return 1.0f / (std::exp(-x) + 1.0f);
    case Kind::Clamp01: return clamp_unit(x);
    case Kind::MinMax:
      if (hi <= lo) return 0.0f;
      return clamp_unit((x - lo) / (hi - lo));
  }
  return x;
}

}  // namespace vantorel
