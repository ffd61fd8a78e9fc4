#pragma once
// Fusion of per-axis scores into one score, with a trace of every term.
#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "common/candidate_id.hpp"
#include "common/defaults.hpp"
#include "common/inline_vector.hpp"
#include "common/names.hpp"
#include "score/score.hpp"

namespace vantorel {

struct Fusion {
  enum class Kind : std::uint8_t { WeightedSum, Rrf, Max };
  Kind kind = Kind::Rrf;
  float k = kDefaultRrfK;                           // Rrf only
  std::vector<std::pair<ScorerId, float>> weights;  // WeightedSum only; may be empty

  static Fusion weighted_sum(std::vector<std::pair<ScorerId, float>> weights) {
    return {Kind::WeightedSum, kDefaultRrfK, std::move(weights)};
  }
  static Fusion rrf(float k) { return {Kind::Rrf, k, {}}; }
  static Fusion max() { return {Kind::Max, kDefaultRrfK, {}}; }

  // w(a) under WeightedSum: 1.0 for an empty list, else the first matching
  // entry's weight, else 0.0.
  float weight_of(const ScorerId& axis) const;
};

// By Fusion::Kind; also the option texts of the binding.
inline constexpr const char* kFusionNames[] = {"weighted_sum", "rrf", "max"};
const char* fusion_name(Fusion::Kind kind);

struct MissingPolicy {
  enum class Kind : std::uint8_t { Skip, Impute, Reject };
  Kind kind = Kind::Skip;
  float value = 0.0f;  // meaningful for Impute only

  static MissingPolicy skip() { return {Kind::Skip, 0.0f}; }
  static MissingPolicy impute(float v) { return {Kind::Impute, v}; }
  static MissingPolicy reject() { return {Kind::Reject, 0.0f}; }
};

// By MissingPolicy::Kind; also the option texts of the binding.
inline constexpr const char* kMissingNames[] = {"skip", "impute", "reject"};
const char* missing_name(MissingPolicy::Kind kind);

struct TermInput {
  enum class Kind : std::uint8_t { Value, Rank, Imputed, Skipped };
  Kind kind = Kind::Skipped;
  float value = 0.0f;      // Value, Imputed
  std::uint32_t rank = 0;  // Rank, counted from 1
};

// "value", "rank", "imputed", "skipped".
const char* input_name(TermInput::Kind kind);

// One axis's part in a fused score.
struct FusionTerm {
  TermInput input;
  float weight = 0.0f;
  float contribution = 0.0f;
};

// The names of an engine's axes in registration order, shared by the
// outcomes of its runs.
using AxisNames = std::shared_ptr<const std::vector<ScorerId>>;

// The fused score of one entry, from the contributions of its terms that are
// not skipped, in registration order: their sum from -0.0 (WeightedSum, Rrf),
// or the largest of them, NaN passed over, 0.0 if none (Max).
class FusedFold {
 public:
  explicit FusedFold(Fusion::Kind method) : max_(method == Fusion::Kind::Max), value_(max_ ? 0.0f : -0.0f) {}
  inline void add(float contribution);
  float value() const { return value_; }

 private:
  bool max_;
  bool any_ = false;
  float value_;
};

struct FusionTrace {
  InlineVector<FusionTerm, 4> terms;  // one per registered axis, registration order
  std::optional<float> k;             // present for Rrf only
  MissingPolicy missing;
  Fusion::Kind method = Fusion::Kind::Rrf;

  // The fold of the terms (FusedFold).
  float fused() const;
};

// The fusion of one pool: any entry's fused score, and its trace when asked
// for, whose fused() is the same float bit for bit. Refers to the fusion,
// the policy and the metas it is made with.
class PoolFusion {
 public:
  PoolFusion(const Fusion& fusion, const MissingPolicy& missing, const std::vector<ScorerMeta>& metas);

  // Under Rrf the terms are ranks within the pool: before any entry is
  // fused, `rank` takes the scores and the id of every entry (scores[j] and
  // ids[j] belong to entry j; one slot per meta).
  bool by_rank() const { return fusion_.kind == Fusion::Kind::Rrf; }
  void rank(const std::vector<const Scores*>& scores, const std::vector<const CandidateId*>& ids);

  // Entry j, whose scores are `row`.
  float fused(std::size_t j, const Scores& row) const;
  FusionTrace trace(std::size_t j, const Scores& row) const;

 private:
  template <class Each>
  void each_term(std::size_t j, const Scores& row, Each&& each) const;

  const Fusion& fusion_;
  const MissingPolicy& missing_;
  const std::vector<ScorerMeta>& metas_;
  InlineVector<float, 4> weights_;                 // WeightedSum
  std::vector<std::vector<std::uint32_t>> ranks_;  // Rrf: by axis, then entry; 0 for none
};

// The larger of the best so far and a new value under ordinary `>`: the
// earlier value stays on ties (+0 and -0 included), a NaN best gives way to
// any number, and a NaN never displaces anything.
inline float max_step(float best, float v) {
  if (best != best) return v != v ? best : v;
  return v > best ? v : best;
}

void FusedFold::add(float contribution) {
  if (!max_) {
    value_ += contribution;
    return;
  }
  value_ = any_ ? max_step(value_, contribution) : contribution;
  any_ = true;
}

// The stage-1 admission key over the cheap axes when there is no admission
// axis (WeightedSum and Max). Built once per run; applied per candidate.
class ProvisionalScore {
 public:
  ProvisionalScore(const Fusion& fusion, const MissingPolicy& missing,
                   const std::vector<ScorerMeta>& metas);
  float operator()(const Scores& scores) const {
    return eval([&](std::size_t, std::size_t a, float& v) {
      const std::optional<float>& slot = scores[a];
      if (slot) v = *slot;
      return slot.has_value();
    });
  }

  // The same score over values found by `value(k, axis, v)` for the k-th
  // cheap axis (false: none).
  template <class Value>
  float eval(Value&& value) const {
    // The k-th cheap axis's value, else the imputed one; false for neither.
    auto term = [&](std::size_t k, float& v) {
      if (value(k, cheap_[k].axis, v)) return true;
      if (impute_) v = *impute_;
      return impute_.has_value();
    };
    bool any = false;
    if (max_) {
      float best = 0.0f;
      for (std::size_t k = 0; k < cheap_.size(); ++k) {
        float v;
        if (!term(k, v)) continue;
        best = any ? max_step(best, v) : v;
        any = true;
      }
      return any ? best : -std::numeric_limits<float>::infinity();
    }
    float num = 0.0f;
    float den = 0.0f;
    for (std::size_t k = 0; k < cheap_.size(); ++k) {
      float v;
      if (!term(k, v)) continue;
      const float w = cheap_[k].weight;
      num += w * v;
      den += w;
      any = true;
    }
    if (!any) return -std::numeric_limits<float>::infinity();
    if (!(den > 0.0f)) return 0.0f;
    return num / den;
  }

  // The same score for n rows at once: value[k][i] and has[k][i] (0: none)
  // for the k-th cheap axis, into key[i]. Each row goes through the very
  // operations `eval` makes, in the same order, a cheap axis at a time.
  void eval_columns(std::size_t n, const float* const* value, const std::uint8_t* const* has, float* key,
                    std::vector<float>& num, std::vector<float>& den, std::vector<std::uint8_t>& any) const {
    num.assign(n, 0.0f);
    den.assign(n, 0.0f);
    any.assign(n, 0);
    float* nu = num.data();
    float* de = den.data();
    std::uint8_t* an = any.data();
    for (std::size_t k = 0; k < cheap_.size(); ++k) {
      const float* v = value[k];
      const std::uint8_t* h = has[k];
      const float w = cheap_[k].weight;
      if (max_) {
        // max_step by its bits, as the other loops.
        const bool impute = impute_.has_value();
        const float m = impute_.value_or(0.0f);
        for (std::size_t i = 0; i < n; ++i) {
          const float x = pick(h[i], v[i], m), best = nu[i];
          const float stepped = pick(best != best, pick(x != x, best, x), pick(x > best, x, best));
          nu[i] = pick(h[i] || impute, pick(an[i], stepped, x), best);
          an[i] |= h[i] || impute;
        }
      } else if (impute_) {
        const float m = *impute_;
        for (std::size_t i = 0; i < n; ++i) {
          nu[i] += w * (h[i] ? v[i] : m);
          de[i] += w;
          an[i] = 1;
        }
      } else {
        // Without a value a row adds +0, which leaves both sums as they
        // are: from +0 on, a sum is never -0. (v[i] is read even then.)
        for (std::size_t i = 0; i < n; ++i) {
          nu[i] += pick(h[i], w * v[i], 0.0f);
          de[i] += pick(h[i], w, 0.0f);
          an[i] |= h[i];
        }
      }
    }
    constexpr float none = -std::numeric_limits<float>::infinity();
    if (max_) {
      for (std::size_t i = 0; i < n; ++i) key[i] = an[i] ? nu[i] : none;
      return;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const float q = nu[i] / de[i];  // unused where de[i] is not positive
      key[i] = pick(an[i], pick(de[i] > 0.0f, q, 0.0f), none);
    }
  }

 private:
  // c ? a : b, by their bits: loops of it are vectorized where the float
  // branch would be kept for fear of a trap in the arm not taken.
  static float pick(bool c, float a, float b) {
    const std::uint32_t m = 0u - static_cast<std::uint32_t>(c);
    return std::bit_cast<float>((std::bit_cast<std::uint32_t>(a) & m) | (std::bit_cast<std::uint32_t>(b) & ~m));
  }

  bool max_ = false;
  std::optional<float> impute_;
  struct CheapAxis {
    std::size_t axis;
    float weight;
  };
  InlineVector<CheapAxis, 4> cheap_;  // the cheap axes in order
};

}  // namespace vantorel
