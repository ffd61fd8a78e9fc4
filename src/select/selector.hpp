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

// One entry of the stage-2 pool as the selector reads it. The candidate and
// its id stay where the pool's owner keeps them; `index` is the owner's.
template <class C>
struct PoolEntry {
  const C* candidate = nullptr;
  const CandidateId* key = nullptr;
  float fused = 0.0f;
  std::size_t index = 0;
};

struct Chosen {
  std::vector<std::size_t> indices;                // selection order
  std::vector<std::optional<ConstraintId>> blocked;  // one per pool position; none without set constraints
  std::optional<float> cut_margin;
  bool pool_exhausted = false;
  bool repaired = false;
};

// Result of one greedy pass under a token budget.
struct PackResult {
  std::vector<std::size_t> positions;  // selection order
  float total = 0.0f;                  // summed gains, 32-bit
  bool complete = false;               // every pool entry was taken
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
  // Called once per greedy step and repair trial; it may throw RunAborted to
  // stop a long selection. Null when there is none.
  const std::function<void()>* checkpoint = nullptr;

  using Pool = std::vector<PoolEntry<C>>;
  using Positions = std::vector<std::size_t>;

  // The pool is in rank order (fused descending by total order, key ascending).
  std::expected<Chosen, Error> run(const Pool& pool) const;

  // One greedy pass under a token budget, from an empty selection; the key is
  // gain / cost when `ratio` is set, else the gain.
  PackResult greedy_pack(const Pool& pool, std::uint32_t budget, bool ratio) const;
  // The count limit, the token budget and every set constraint hold on `positions`.
  bool set_is_feasible(const Pool& pool, const Positions& positions) const;
  // Brings every requirement up to its minimum by additions and swaps.
  std::optional<Error> repair_requirements(const Pool& pool, Positions& selection, bool& repaired) const;

 private:
  class State;
  void check() const {
    if (checkpoint != nullptr && *checkpoint) (*checkpoint)();
  }
  bool has_cost() const { return cost != nullptr && static_cast<bool>(*cost); }
  std::uint64_t cost_of(const C& candidate) const { return has_cost() ? (*cost)(candidate) : 0; }
  // One greedy pass from the empty selection `state`: at most `limit` picks in
  // count mode, within `budget` tokens in token mode.
  PackResult pass(const Pool& pool, State& state, std::size_t limit, std::optional<std::uint32_t> budget,
                  bool ratio) const;
  std::optional<Error> repair(const Pool& pool, State& state, Positions& selection, bool& repaired) const;
  std::optional<float> cut_margin(const Pool& pool, State& state, const Positions& selection) const;
};

}  // namespace vantorel

#include "select/selector_impl.hpp"
