#include "evidence/outcome.hpp"

#include "common/names.hpp"

namespace vantorel {

const char* RejectReason::reason_name(Kind kind) {
  static constexpr const char* kNames[] = {"not_scored",      "unary_constraint", "set_constraint",
                                           "below_threshold", "outranked",        "out_of_pool"};
  return name_in(kNames, kind);
}

// Guarantees of the greedy selection, as 32-bit floats.
constexpr float kHalf = 0.5f;                     // one matroid with an objective, or tokens alone
constexpr float kOneMinusInvE = 0.63212055f;      // 1 - 1/e: an objective under no constraint
constexpr float kHalfOneMinusInvE = 0.31606027f;  // (1 - 1/e) / 2: an objective under tokens

SelectionProperties selection_properties(bool repaired, bool has_objective, bool objective_submodular,
                                         bool tokens, std::size_t set_constraints, std::size_t matroids) {
  if (repaired) return {false, std::nullopt};
  if ((has_objective && !objective_submodular) || matroids < set_constraints) return {false, std::nullopt};
  const std::size_t p = set_constraints;
  if (!has_objective) {
    if (!tokens) {
      if (p <= 1) return {true, std::nullopt};
      return {false, 1.0f / static_cast<float>(p)};
    }
    if (p == 0) return {false, kHalf};
    return {false, std::nullopt};
  }
  if (!tokens) {
    if (p == 0) return {false, kOneMinusInvE};
    if (p == 1) return {false, kHalf};
    return {false, 1.0f / static_cast<float>(p + 1)};
  }
  if (p == 0) return {false, kHalfOneMinusInvE};
  return {false, std::nullopt};
}

}  // namespace vantorel
