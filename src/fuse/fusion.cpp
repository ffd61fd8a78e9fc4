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
  if (method == Fusion::Kind::Max) {
    bool any = false;
    float best = 0.0f;
    for (const auto& t : terms) {
      if (t.input.kind == TermInput::Kind::Skipped) continue;
      best = any ? max_step(best, t.contribution) : t.contribution;
      any = true;
    }
    return any ? best : 0.0f;
  }
  float sum = -0.0f;
  for (const auto& t : terms)
    if (t.input.kind != TermInput::Kind::Skipped) sum += t.contribution;
  return sum;
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

std::vector<FusionTrace> fuse_all(const Fusion& fusion, const MissingPolicy& missing,
                                  const std::vector<ScorerMeta>& metas,
                                  const std::vector<const Scores*>& scores,
                                  const std::vector<const CandidateId*>& ids) {
  const std::size_t n = scores.size();
  const std::size_t axes = metas.size();
  const bool imputing = missing.kind == MissingPolicy::Kind::Impute;

  std::vector<std::vector<std::uint32_t>> ranks;
  std::vector<float> weights;
  if (fusion.kind == Fusion::Kind::Rrf) {
    ranks.reserve(axes);
    for (std::size_t a = 0; a < axes; ++a) ranks.push_back(rank_axis(a, missing, scores, ids));
  } else if (fusion.kind == Fusion::Kind::WeightedSum) {
    weights.reserve(axes);
    for (const auto& m : metas) weights.push_back(fusion.weight_of(m.id));
  }

  std::vector<FusionTrace> traces;
  traces.reserve(n);
  for (std::size_t j = 0; j < n; ++j) {
    const Scores& row = *scores[j];
    FusionTrace trace;
    trace.method = fusion.kind;
    trace.missing = missing;
    if (fusion.kind == Fusion::Kind::Rrf) trace.k = fusion.k;
    trace.terms.reserve(axes);

    float total = 0.0f;  // weight of the axes taking part, WeightedSum only
    if (fusion.kind == Fusion::Kind::WeightedSum)
      for (std::size_t a = 0; a < axes; ++a)
        if (row[a] || imputing) total += weights[a];

    for (std::size_t a = 0; a < axes; ++a) {
      FusionTerm term;
      term.scorer = metas[a].id;
      const auto& slot = row[a];
      if (slot || imputing) {
        const float v = slot ? *slot : missing.value;
        const TermInput::Kind shown = slot ? TermInput::Kind::Value : TermInput::Kind::Imputed;
        switch (fusion.kind) {
          case Fusion::Kind::WeightedSum:
            term.input = {shown, v, 0};
            term.weight = total > 0.0f ? weights[a] / total : 0.0f;
            term.contribution = v * term.weight;
            break;
          case Fusion::Kind::Rrf: {
            const std::uint32_t r = ranks[a][j];
            if (r != 0) {
              term.input = {TermInput::Kind::Rank, 0.0f, r};
              term.weight = 1.0f;
              term.contribution = 1.0f / (fusion.k + static_cast<float>(r));
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
      trace.terms.push_back(std::move(term));
    }
    traces.push_back(std::move(trace));
  }
  return traces;
}

ProvisionalScore::ProvisionalScore(const Fusion& fusion, const MissingPolicy& missing,
                                   const std::vector<ScorerMeta>& metas)
    : max_(fusion.kind == Fusion::Kind::Max) {
  if (missing.kind == MissingPolicy::Kind::Impute) impute_ = missing.value;
  for (std::size_t a = 0; a < metas.size(); ++a)
    if (metas[a].cost == Cost::Cheap) cheap_.emplace_back(a, max_ ? 1.0f : fusion.weight_of(metas[a].id));
}

}  // namespace vantorel
