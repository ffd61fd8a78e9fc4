#pragma once
// Fusion of per-axis scores into one score, with a trace of every term.
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
    bool any = false;
    if (max_) {
      float best = 0.0f;
      for (std::size_t k = 0; k < cheap_.size(); ++k) {
        float v;
        if (!value(k, cheap_[k].axis, v)) {
          if (!impute_) continue;
          v = *impute_;
        }
        best = any ? max_step(best, v) : v;
        any = true;
      }
      return any ? best : -std::numeric_limits<float>::infinity();
    }
    float num = 0.0f;
    float den = 0.0f;
    for (std::size_t k = 0; k < cheap_.size(); ++k) {
      float v;
      if (!value(k, cheap_[k].axis, v)) {
        if (!impute_) continue;
        v = *impute_;
      }
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
      for (std::size_t i = 0; i < n; ++i) {
        if (!h[i] && !impute_) continue;
        const float x = h[i] ? v[i] : *impute_;
        if (max_) {
          nu[i] = an[i] ? max_step(nu[i], x) : x;
        } else {
          nu[i] += w * x;
          de[i] += w;
        }
        an[i] = 1;
      }
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (!an[i]) {
        key[i] = -std::numeric_limits<float>::infinity();
      } else if (max_) {
        key[i] = nu[i];
      } else {
        key[i] = de[i] > 0.0f ? nu[i] / de[i] : 0.0f;
      }
    }
  }

 private:
  bool max_ = false;
  std::optional<float> impute_;
  struct CheapAxis {
    std::size_t axis;
    float weight;
  };
  InlineVector<CheapAxis, 4> cheap_;  // the cheap axes in order
};

}  // namespace vantorel
