#pragma once
// The engine's one error type, and the internal faults.
#include <cstdint>
#include <string>

#include "score/score.hpp"

namespace vantorel {

enum class ErrorKind : std::uint8_t {
  NoScorers,
  DuplicateScorer,
  ScaleMismatch,
  UnknownWeightScorer,
  UnknownAdmission,
  ExpensiveAdmission,
  RrfWithoutAdmission,
  InvalidBudget,
  InvalidPoolMultiplier,
  BatchLengthMismatch,
  RequirementUnsatisfied,
};

struct Error {
  ErrorKind kind = ErrorKind::NoScorers;
  std::string id;                       // scorer id or requirement name
  ScoreScale scale = ScoreScale::Unit;  // ScaleMismatch
  const char* text = "";                // fusion name (ScaleMismatch) or reason (InvalidBudget)
  std::uint64_t first = 0;              // got / need
  std::uint64_t second = 0;             // expected / have

  static Error no_scorers() { return {ErrorKind::NoScorers}; }
  static Error duplicate_scorer(std::string id) { return {ErrorKind::DuplicateScorer, std::move(id)}; }
  static Error scale_mismatch(std::string id, ScoreScale scale, const char* fusion) {
    return {ErrorKind::ScaleMismatch, std::move(id), scale, fusion};
  }
  static Error unknown_weight_scorer(std::string id) { return {ErrorKind::UnknownWeightScorer, std::move(id)}; }
  static Error unknown_admission(std::string id) { return {ErrorKind::UnknownAdmission, std::move(id)}; }
  static Error expensive_admission(std::string id) { return {ErrorKind::ExpensiveAdmission, std::move(id)}; }
  static Error rrf_without_admission() { return {ErrorKind::RrfWithoutAdmission}; }
  static Error invalid_budget(const char* reason) {
    return {ErrorKind::InvalidBudget, {}, ScoreScale::Unit, reason};
  }
  static Error invalid_pool_multiplier() { return {ErrorKind::InvalidPoolMultiplier}; }
  static Error batch_length_mismatch(std::string scorer, std::uint64_t got, std::uint64_t expected) {
    return {ErrorKind::BatchLengthMismatch, std::move(scorer), ScoreScale::Unit, "", got, expected};
  }
  static Error requirement_unsatisfied(std::string requirement, std::uint64_t need, std::uint64_t have) {
    return {ErrorKind::RequirementUnsatisfied, std::move(requirement), ScoreScale::Unit, "", need, have};
  }

  // The fixed Korean message with the payload written in.
  std::string message() const;
  // True for the kinds found while running (the last two).
  bool is_runtime() const { return kind >= ErrorKind::BatchLengthMismatch; }
};

// Reasons of InvalidBudget.
inline constexpr const char* kReasonTopK = "TopK 는 1 이상이어야 한다";
inline constexpr const char* kReasonEpsilon = "epsilon 은 0 이상 1 미만이어야 한다";
inline constexpr const char* kReasonTokens = "Tokens 예산은 Engine::cost 로 후보별 비용을 함께 받아야 한다";

// Internal invariants that hold by construction. A violation throws
// InternalFault; the binding raises it as its internal-fault exception.
inline constexpr const char* kInvValidated = "validate 가 이미 확인했다";
inline constexpr const char* kInvSelectedKept = "선택된 색인은 남겨 둔 목록에 있다";
inline constexpr const char* kInvHeapSlot = "힙이 가리키는 자리는 차 있다";
inline constexpr const char* kInvLock = "잠금이 깨지지 않는다";
inline constexpr const char* kInvRowBatch = "행의 객체는 그 묶음이 있는 동안 만든다";

// Thrown by a caller's checkpoint, source or scorer to abort a run at once
// (for example on a pending interrupt). The engine holds everything in owning
// values, so unwinding releases it; the caller catches it at its boundary.
struct RunAborted {};

struct InternalFault {
  const char* text;
};

[[noreturn]] inline void internal_fault(const char* text) { throw InternalFault{text}; }

}  // namespace vantorel
