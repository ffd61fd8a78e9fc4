#pragma once
// Score axes: names, scales, cost classes, normalisers and the scorer interface.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/inline_vector.hpp"

namespace vantorel {

using ScorerId = std::string;

enum class ScoreScale : std::uint8_t { Unit, Unbounded, Rank };
enum class Cost : std::uint8_t { Cheap, Expensive };

// "Unit", "Unbounded", "Rank" (the text used in error messages).
const char* scale_name(ScoreScale scale);
// By Cost; also the option texts of the binding.
inline constexpr const char* kCostNames[] = {"cheap", "expensive"};
const char* cost_name(Cost cost);

struct Normalizer {
  enum class Kind : std::uint8_t { Sigmoid, Clamp01, MinMax };
  Kind kind = Kind::Clamp01;
  float lo = 0.0f;  // MinMax only
  float hi = 0.0f;  // MinMax only

  static Normalizer sigmoid() { return {Kind::Sigmoid, 0.0f, 0.0f}; }
  static Normalizer clamp01() { return {Kind::Clamp01, 0.0f, 0.0f}; }
  static Normalizer minmax(float lo, float hi) { return {Kind::MinMax, lo, hi}; }

  // Maps one present value; all arithmetic in 32 bits.
  float apply(float x) const;
};

// Effective scale: Unit when a normaliser is attached, else the declared scale.
inline ScoreScale effective_scale(ScoreScale declared, const std::optional<Normalizer>& n) {
  return n ? ScoreScale::Unit : declared;
}

// One optional value per registered axis, in registration order; up to four
// axes without an allocation.
using Scores = InlineVector<std::optional<float>, 4>;

// A scorer whose value is the candidate's own score at `slot` (through an
// optional normaliser) can say so; the engine then reads that slot itself
// instead of calling the scorer for every candidate.
struct SlotRead {
  std::size_t slot;
  std::optional<Normalizer> normalizer;
};

template <class C>
class Scorer {
 public:
  virtual ~Scorer() = default;
  virtual ScorerId id() const = 0;
  virtual ScoreScale scale() const = 0;
  virtual Cost cost() const = 0;
  virtual std::optional<float> score(const C& candidate) const = 0;
  virtual std::vector<std::optional<float>> score_batch(const std::vector<const C*>& batch) const = 0;
  // Only for candidate types with positional `scores` (see SlotRead).
  virtual std::optional<SlotRead> slot_read() const { return std::nullopt; }
};

struct ScorerMeta {
  ScorerId id;
  ScoreScale scale;
  Cost cost;
};

// A scorer result counts as a value only when present and not NaN.
inline std::optional<float> as_value(std::optional<float> r) {
  if (r && *r != *r) return std::nullopt;
  return r;
}

}  // namespace vantorel
