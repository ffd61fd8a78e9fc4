#include "fuse/fusion.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>

#include "common/float_order.hpp"

namespace vantorel {

float Fusion::weight_of(const ScorerId& axis) const {
  if (weights.empty()) return 1.0f;
  for (const auto& [id, w] : weights)
    if (id == axis) return w;
  return 0.0f;
}

const char* fusion_name(Fusion::Kind kind) { return name_in(kFusionNames, kind); }

const char* missing_name(MissingPolicy::Kind kind) { return name_in(kMissingNames, kind); }

const char* input_name(TermInput::Kind kind) {
  static constexpr const char* kNames[] = {"value", "rank", "imputed", "skipped"};
  return name_in(kNames, kind);
}

float FusionTrace::fused() const {
  FusedFold fold(method);
  for (const auto& t : terms)
    if (t.input.kind != TermInput::Kind::Skipped) fold.add(t.contribution);
  return fold.value();
}

namespace {

// Ranks of every pool position on one axis, counted from 1; 0 for a position
// that takes no part (no value under Skip).
std::vector<std::uint32_t> rank_axis(std::size_t axis, const MissingPolicy& missing,
                                     const std::vector<const Scores*>& scores,
                                     const std::vector<const CandidateId*>& ids) {
  struct Entry {
    std::int32_t key;  // total-order key of the value
    std::size_t pos;
  };
  const bool imputing = missing.kind == MissingPolicy::Kind::Impute;
  std::vector<Entry> order;
  order.reserve(scores.size());
  for (std::size_t j = 0; j < scores.size(); ++j) {
    const auto& slot = (*scores[j])[axis];
    if (slot)
      order.push_back({total_order_key(*slot), j});
    else if (imputing)
      order.push_back({total_order_key(missing.value), j});
  }
  std::stable_sort(order.begin(), order.end(), [&](const Entry& a, const Entry& b) {
    if (a.key != b.key) return a.key > b.key;
    return compare(*ids[a.pos], *ids[b.pos]) < 0;
  });
  std::vector<std::uint32_t> ranks(scores.size(), 0);
  for (std::size_t r = 0; r < order.size(); ++r) ranks[order[r].pos] = static_cast<std::uint32_t>(r + 1);
  return ranks;
}

}  // namespace

PoolFusion::PoolFusion(const Fusion& fusion, const MissingPolicy& missing, const std::vector<ScorerMeta>& metas)
    : fusion_(fusion), missing_(missing), metas_(metas) {
  if (fusion.kind == Fusion::Kind::WeightedSum) {
    for (const auto& m : metas) weights_.push_back(fusion.weight_of(m.id));
  }
}

void PoolFusion::rank(const std::vector<const Scores*>& scores, const std::vector<const CandidateId*>& ids) {
  ranks_.clear();
  ranks_.reserve(metas_.size());
  for (std::size_t a = 0; a < metas_.size(); ++a) ranks_.push_back(rank_axis(a, missing_, scores, ids));
}

// Calls each(axis, term) for every axis in registration order.
template <class Each>
void PoolFusion::each_term(std::size_t j, const Scores& row, Each&& each) const {
  const std::size_t axes = metas_.size();
  const bool imputing = missing_.kind == MissingPolicy::Kind::Impute;
  float total = 0.0f;  // weight of the axes taking part, WeightedSum only
  if (fusion_.kind == Fusion::Kind::WeightedSum)
    for (std::size_t a = 0; a < axes; ++a)
      if (row[a] || imputing) total += weights_[a];

  for (std::size_t a = 0; a < axes; ++a) {
    FusionTerm term;
    const auto& slot = row[a];
    if (slot || imputing) {
      const float v = slot ? *slot : missing_.value;
      const TermInput::Kind shown = slot ? TermInput::Kind::Value : TermInput::Kind::Imputed;
      switch (fusion_.kind) {
        case Fusion::Kind::WeightedSum:
          term.input = {shown, v, 0};
          term.weight = total > 0.0f ? weights_[a] / total : 0.0f;
          term.contribution = v * term.weight;
          break;
        case Fusion::Kind::Rrf: {
          const std::uint32_t r = ranks_[a][j];
          if (r != 0) {
            term.input = {TermInput::Kind::Rank, 0.0f, r};
            term.weight = 1.0f;
            term.contribution = 1.0f / (fusion_.k + static_cast<float>(r));
          }
          break;
        }
        case Fusion::Kind::Max:
          term.input = {shown, v, 0};
          term.weight = 1.0f;
          term.contribution = v;
          break;
      }
    }
    each(a, term);
  }
}

// The fold of the terms `each_term` makes, term by term the same operations
// without the terms (the trace's fused() is the same float).
float PoolFusion::fused(std::size_t j, const Scores& row) const {
  const std::size_t axes = metas_.size();
  const bool imputing = missing_.kind == MissingPolicy::Kind::Impute;
  auto takes_part = [&](std::size_t a) { return row[a] || imputing; };
  auto value = [&](std::size_t a) { return row[a] ? *row[a] : missing_.value; };
  FusedFold fold(fusion_.kind);
  switch (fusion_.kind) {
    case Fusion::Kind::WeightedSum: {
      float total = 0.0f;
      for (std::size_t a = 0; a < axes; ++a)
        if (takes_part(a)) total += weights_[a];
      for (std::size_t a = 0; a < axes; ++a)
        if (takes_part(a)) fold.add(value(a) * (total > 0.0f ? weights_[a] / total : 0.0f));
      break;
    }
    case Fusion::Kind::Rrf:
      for (std::size_t a = 0; a < axes; ++a)
        if (takes_part(a) && ranks_[a][j] != 0) fold.add(1.0f / (fusion_.k + static_cast<float>(ranks_[a][j])));
      break;
    case Fusion::Kind::Max:
      for (std::size_t a = 0; a < axes; ++a)
        if (takes_part(a)) fold.add(value(a));
      break;
  }
  return fold.value();
}

FusionTrace PoolFusion::trace(std::size_t j, const Scores& row) const {
  FusionTrace trace;
  trace.method = fusion_.kind;
  trace.missing = missing_;
  if (fusion_.kind == Fusion::Kind::Rrf) trace.k = fusion_.k;
  trace.terms.assign(metas_.size(), FusionTerm{});
  each_term(j, row, [&](std::size_t a, const FusionTerm& t) { trace.terms[a] = t; });
  return trace;
}

ProvisionalScore::ProvisionalScore(const Fusion& fusion, const MissingPolicy& missing,
                                   const std::vector<ScorerMeta>& metas)
    : max_(fusion.kind == Fusion::Kind::Max) {
  if (missing.kind == MissingPolicy::Kind::Impute) impute_ = missing.value;
  for (std::size_t a = 0; a < metas.size(); ++a)
    if (metas[a].cost == Cost::Cheap) cheap_.push_back({a, max_ ? 1.0f : fusion.weight_of(metas[a].id)});
}

}  // namespace vantorel
