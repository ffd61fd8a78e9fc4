#pragma once
// The JSON audit record of a chosen candidate.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "evidence/outcome.hpp"

namespace vantorel {

std::string json_string(std::string_view text);
std::string json_f32(float x);

// `scores` holds one value per term of `fusion`, both by axis; `axes` names
// the axes.
std::string audit_json(const CandidateId& id, std::uint32_t rank, float fused, const Scores& scores,
                       const std::vector<ScorerId>& axes, const FusionTrace& fusion,
                       const std::vector<ConstraintId>& constraints);

template <class C>
std::string to_json(const Ranked<C>& r, const CandidateId& id, const std::vector<ScorerId>& axes) {
  return audit_json(id, r.rank, r.fused, r.scores, axes, r.fusion, r.constraints);
}

}  // namespace vantorel
