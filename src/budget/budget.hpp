#pragma once
// Budgets, the tail-mass formula and the derivation of K from a tail-mass fit.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/defaults.hpp"

namespace vantorel {

// Share of a Zipf(s) mass over ranks 1..v that lies beyond the top k.
// 64-bit arithmetic, the result rounded to 32 bits.
float tail_mass(float s, std::uint64_t k, std::uint64_t v);
// The same, calling `proceed` every million terms or so (a long sum can then
// be interrupted): nullopt as soon as it returns false, else the value above.
std::optional<float> tail_mass(float s, std::uint64_t k, std::uint64_t v, bool (*proceed)());

struct Budget {
  enum class Kind : std::uint8_t { TopK, TailMass, Tokens };
  Kind kind = Kind::TopK;
  std::uint32_t k = kDefaultTopK;  // TopK
  float epsilon = 0.0f;            // TailMass
  std::uint32_t fallback_k = 0;    // TailMass
  std::uint32_t max = 0;           // Tokens

  static Budget top_k(std::uint32_t k) { return {Kind::TopK, k, 0.0f, 0, 0}; }
  static Budget tail(float epsilon, std::uint32_t fallback_k) { return {Kind::TailMass, 0, epsilon, fallback_k, 0}; }
  static Budget tokens(std::uint32_t max) { return {Kind::Tokens, 0, 0.0f, 0, max}; }

  // The InvalidBudget reason, or nullptr when the budget is valid.
  const char* invalid_reason(bool has_cost_function) const;
  // K0, the base of the stage-1 pool capacity.
  std::uint32_t base_count() const;
  // "TopK(10)", "TailMass { epsilon: 0.05, fallback_k: 50 }", "Tokens { max: 4000 }".
  std::string debug() const;
};

enum class FallbackReason : std::uint8_t { PoorFit, TooFewSamples, NotAMassDistribution };

// "poor_fit", "too_few_samples", "not_a_mass_distribution".
const char* fallback_name(FallbackReason reason);

struct BudgetTrace {
  float s = 0.0f;
  float fit_quality = 0.0f;
  std::uint32_t derived_k = 0;
  std::optional<FallbackReason> reason;  // present exactly when fallback
  bool fallback = false;
};

// Fits a Zipf law to the samples (fused scores best first, widened to 64 bits)
// and derives K. Never fails: unusable input becomes a fallback.
BudgetTrace derive_budget(const std::vector<double>& samples, float epsilon, float min_fit,
                          std::uint32_t fallback_k);

}  // namespace vantorel
