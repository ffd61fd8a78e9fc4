#pragma once
// The engine's candidate, converted from one Python dict by the reader.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/candidate_id.hpp"
#include "python/py.hpp"
#include "score/score.hpp"

namespace vantorel::python {

struct PyCandidate {
  Scores scores;                                   // one slot per registered axis
  std::vector<std::optional<std::string>> groups;  // one slot per group-key entry
  std::vector<std::string> cover;                  // cover items (coverage objective)
  Ref object;                                      // the item as the iterator yielded it
  CandidateId id;
  std::uint32_t cost = 0;                          // token cost (token budget)
};

}  // namespace vantorel::python
