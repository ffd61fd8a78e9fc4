#pragma once
// The records of a run's result.
#include <array>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <string>
#include <utility>
#include <vector>

#include "budget/budget.hpp"
#include "common/block_list.hpp"
#include "common/candidate_id.hpp"
#include "constraint/constraint.hpp"
#include "fuse/fusion.hpp"
#include "score/score.hpp"

namespace vantorel {

struct RejectReason {
  enum class Kind : std::uint8_t { NotScored, UnaryConstraint, SetConstraint, BelowThreshold, Outranked, OutOfPool };
  Kind kind = Kind::Outranked;
  std::string payload;  // ScorerId (NotScored) or ConstraintId (UnaryConstraint, SetConstraint)

  static RejectReason not_scored(ScorerId axis) { return {Kind::NotScored, std::move(axis)}; }
  static RejectReason unary_constraint(ConstraintId id) { return {Kind::UnaryConstraint, std::move(id)}; }
  static RejectReason set_constraint(ConstraintId id) { return {Kind::SetConstraint, std::move(id)}; }
  static RejectReason below_threshold() { return {Kind::BelowThreshold, {}}; }
  static RejectReason outranked() { return {Kind::Outranked, {}}; }
  static RejectReason out_of_pool() { return {Kind::OutOfPool, {}}; }

  // "not_scored", "unary_constraint", "set_constraint", "below_threshold", "outranked", "out_of_pool".
  const char* name() const { return reason_name(kind); }
  // The payload for kinds 0 to 2; absent otherwise.
  std::optional<std::string> detail() const {
    if (kind <= Kind::SetConstraint) return payload;
    return std::nullopt;
  }
  static const char* reason_name(Kind kind);
};

inline constexpr std::size_t kReasonKinds = 6;

// One counter per reason kind, in the kinds' order.
struct RejectCounts {
  std::array<std::uint64_t, kReasonKinds> by_kind{};
  std::uint64_t& operator[](RejectReason::Kind k) { return by_kind[static_cast<std::size_t>(k)]; }
  std::uint64_t operator[](RejectReason::Kind k) const { return by_kind[static_cast<std::size_t>(k)]; }
};

// The 128-bit counter is a compiler extension; marked so pedantic builds accept it.
__extension__ typedef unsigned __int128 Nanos128;

struct ScorerTrace {
  ScorerId scorer;
  Nanos128 elapsed_nanos = 0;
  std::uint64_t calls = 0;
  std::uint64_t missing = 0;
  Cost cost = Cost::Cheap;  // as declared when the scorer was registered
};

struct RunTrace {
  std::vector<ScorerTrace> scorers;
  std::optional<BudgetTrace> budget;
  std::uint64_t input_count = 0;
  std::optional<ScorerId> admission_scorer;
  std::uint64_t pool_capacity = 0;  // M; reported in full when it exceeds 32 bits
};

// What a result holds of its candidate: the candidate itself, unless
// C names a smaller form `C::Kept`, made by `std::move(c).kept()`.
template <class C>
struct KeptForm {
  using type = C;
  static C make(C&& c) { return std::move(c); }
};
template <class C>
  requires requires { typename C::Kept; }
struct KeptForm<C> {
  using type = typename C::Kept;
  static type make(C&& c) { return std::move(c).kept(); }
};
template <class C>
using Kept = typename KeptForm<C>::type;

template <class C>
struct Ranked {
  Kept<C> candidate;
  Scores scores;       // by registered axis, named by the fusion trace's terms
  FusionTrace fusion;
  std::vector<ConstraintId> constraints;
  std::uint32_t rank = 0;
  float fused = 0.0f;
};

template <class C>
struct Rejected {
  RejectReason reason;
  Kept<C> candidate;
  std::optional<float> fused;
};

struct Retention {
  enum class Kind : std::uint8_t { Keep, Count, Sample };
  Kind kind = Kind::Keep;
  std::uint64_t n = 0;  // Sample only

  static Retention keep() { return {Kind::Keep, 0}; }
  static Retention count() { return {Kind::Count, 0}; }
  static Retention sample(std::uint64_t n) { return {Kind::Sample, n}; }
};

template <class C>
struct Outcome {
  std::vector<Ranked<C>> ranked;
  BlockList<Rejected<C>> rejected;
  AxisNames axes;  // the run's axis names, registration order
  RunTrace trace;
  std::optional<float> guarantee;
  std::optional<float> cut_margin;
  std::uint32_t pool_size = 0;
  bool exact = false;
  bool pool_exhausted = false;
  RejectCounts rejected_counts;
};

// Whether the next rejection is kept, with `kept` rejections kept so far.
inline bool keeps(const Retention& retention, std::size_t kept) {
  return retention.kind == Retention::Kind::Keep || (retention.kind == Retention::Kind::Sample && kept < retention.n);
}

// The one entry through which a run reports a rejection. `candidate` is the
// candidate, or a function that makes it (called only when it is kept).
template <class C, class Candidate>
void record(const Retention& retention, BlockList<Rejected<C>>& rejected, RejectCounts& counts, Candidate&& candidate,
            RejectReason&& reason, const std::optional<float>& fused) {
  counts[reason.kind] += 1;
  if (!keeps(retention, rejected.size())) return;
  if constexpr (std::is_invocable_v<Candidate>) {
    rejected.push_back(Rejected<C>{std::move(reason), KeptForm<C>::make(candidate()), fused});
  } else {
    rejected.push_back(Rejected<C>{std::move(reason), KeptForm<C>::make(std::move(candidate)), fused});
  }
}

// exact and guarantee from the selection's shape (repair and non-matroid
// cases are decided by the caller before this table applies).
struct SelectionProperties {
  bool exact = false;
  std::optional<float> guarantee;
};
SelectionProperties selection_properties(bool repaired, bool has_objective, bool objective_submodular,
                                         bool tokens, std::size_t set_constraints, std::size_t matroids);

}  // namespace vantorel
