#include "evidence/outcome.hpp"

namespace vantorel {

const char* RejectReason::reason_name(Kind kind) {
  switch (kind) {
    case Kind::NotScored: return "not_scored";
    case Kind::UnaryConstraint: return "unary_constraint";
    case Kind::SetConstraint: return "set_constraint";
    case Kind::BelowThreshold: return "below_threshold";
    case Kind::Outranked: return "outranked";
    case Kind::OutOfPool: return "out_of_pool";
  }
  return "";
}

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
    if (p == 0) return {false, 0.5f};
    return {false, std::nullopt};
  }
  if (!tokens) {
    if (p == 0) return {false, 0.63212055f};
    if (p == 1) return {false, 0.5f};
    return {false, 1.0f / static_cast<float>(p + 1)};
  }
  if (p == 0) return {false, 0.31606027f};
  return {false, std::nullopt};
}

}  // namespace vantorel
