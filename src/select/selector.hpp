#pragma once
// The set selector over the stage-2 pool.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "common/candidate_id.hpp"
#include "constraint/constraint.hpp"
#include "error/error.hpp"
#include "fuse/fusion.hpp"
#include "objective/coverage.hpp"
#include "score/score.hpp"

namespace vantorel {

template <class C>
struct PoolEntry {
  C candidate;
  Scores scores;
  FusionTrace fusion;
  CandidateId key;
  float fused = 0.0f;
};

struct Chosen {
  std::vector<std::size_t> indices;                // selection order
  std::vector<std::optional<ConstraintId>> blocked;  // one per pool position
  std::optional<float> cut_margin;
  bool pool_exhausted = false;
  bool repaired = false;
};

template <class C>
using CostFn = std::function<std::uint32_t(const C&)>;

template <class C>
struct Selector {
  std::optional<std::size_t> k;       // count mode
  std::optional<std::uint32_t> tokens;  // token mode with this max; absent = Cardinality
  const std::vector<std::unique_ptr<SetConstraint<C>>>* constraints = nullptr;
  const std::vector<Requirement<C>>* requirements = nullptr;
  const SetObjective<C>* objective = nullptr;
  const CostFn<C>* cost = nullptr;  // null when no cost function

  // The pool is in rank order (fused descending by total order, key ascending).
  std::expected<Chosen, Error> run(const std::vector<PoolEntry<C>>& pool) const;
};

}  // namespace vantorel

#include "select/selector_impl.hpp"
