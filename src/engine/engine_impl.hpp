#pragma once
// Engine<C>::validate and Engine<C>::run: stage 1 (streaming into the bounded
// pool) and stage 2 (expensive batches, fusion, threshold, K, selection).
#include <algorithm>
#include <cmath>
#include <limits>

#include "common/float_order.hpp"
#include "common/ticks.hpp"
#include "select/bounded_heap.hpp"

namespace vantorel {

namespace detail {

// The stage-1 record of one pooled candidate.
template <class C>
struct Staged {
  C candidate;
  Scores scores;
  CandidateId id;
};

}  // namespace detail

template <class C>
std::optional<Error> Engine<C>::validate() const {
  if (metas_.empty()) return Error::no_scorers();
  for (std::size_t i = 0; i < metas_.size(); ++i) {
    const ScorerMeta& m = metas_[i];
    for (std::size_t j = 0; j < i; ++j)
      if (metas_[j].id == m.id) return Error::duplicate_scorer(m.id);
    if (fusion_.kind != Fusion::Kind::Rrf && m.scale != ScoreScale::Unit)
      return Error::scale_mismatch(m.id, m.scale, fusion_name(fusion_.kind));
  }
  auto find = [&](const std::string& id) {
    return std::find_if(metas_.begin(), metas_.end(), [&](const ScorerMeta& m) { return m.id == id; });
  };
  if (fusion_.kind == Fusion::Kind::WeightedSum) {
    for (const auto& [id, weight] : fusion_.weights)
      if (find(id) == metas_.end()) return Error::unknown_weight_scorer(id);
  }
  if (admission_) {
    auto it = find(*admission_);
    if (it == metas_.end()) return Error::unknown_admission(*admission_);
    if (it->cost == Cost::Expensive) return Error::expensive_admission(*admission_);
  } else if (fusion_.kind == Fusion::Kind::Rrf &&
             std::all_of(metas_.begin(), metas_.end(), [](const ScorerMeta& m) { return m.cost == Cost::Expensive; })) {
    return Error::rrf_without_admission();
  }
  if (multiplier_ == 0) return Error::invalid_pool_multiplier();
  if (const char* reason = budget_.invalid_reason(static_cast<bool>(cost_))) return Error::invalid_budget(reason);
  return std::nullopt;
}

template <class C>
template <class Source>
std::expected<Outcome<C>, Error> Engine<C>::run(Source&& next) const {
  if (auto e = validate()) return std::unexpected(std::move(*e));
  // Scorer times are summed in ticks and turned into nanoseconds at the end.
  TickRate tick_rate;

  // Setup.
  const std::size_t axes = metas_.size();
  std::optional<std::size_t> admission;
  if (admission_) {
    for (std::size_t i = 0; i < axes && !admission; ++i)
      if (metas_[i].id == *admission_) admission = i;
    if (!admission) internal_fault(kInvValidated);
  } else if (fusion_.kind == Fusion::Kind::Rrf) {
    for (std::size_t i = 0; i < axes && !admission; ++i)
      if (metas_[i].cost == Cost::Cheap) admission = i;
    if (!admission) internal_fault(kInvValidated);
  }
  std::optional<ProvisionalScore> provisional;
  if (!admission) provisional.emplace(fusion_, missing_, metas_);

  Outcome<C> out;
  RunTrace& trace = out.trace;
  if (admission) trace.admission_scorer = metas_[*admission].id;
  trace.scorers.reserve(axes);
  for (const auto& m : metas_) trace.scorers.push_back(ScorerTrace{m.id, 0, 0, 0});
  const std::uint64_t capacity =
      std::max<std::uint64_t>(1, std::uint64_t{multiplier_} * std::uint64_t{budget_.base_count()});
  trace.pool_capacity = capacity;

  std::vector<std::size_t> cheap;
  for (std::size_t i = 0; i < axes; ++i)
    if (metas_[i].cost == Cost::Cheap) cheap.push_back(i);
  const bool reject = missing_.kind == MissingPolicy::Kind::Reject;
  const bool impute = missing_.kind == MissingPolicy::Kind::Impute;
  const float no_key = impute ? missing_.value : -std::numeric_limits<float>::infinity();

  // The fused score by reference: a small optional passed by value goes
  // through memory on every out-of-pool rejection.
  auto reject_with = [&](C&& c, RejectReason&& reason, const std::optional<float>& fused) {
    record(retention_, out.rejected, out.rejected_counts, std::move(c), std::move(reason), fused);
  };

  // Stage 1: one pass over the stream; at most M + 1 candidates staged.
  BoundedHeap heap(static_cast<std::size_t>(capacity));
  std::vector<std::optional<detail::Staged<C>>> staging;
  std::vector<std::size_t> free_positions;
  auto unstage = [&](std::size_t pos) {
    auto& cell = staging[pos];
    if (!cell) internal_fault(kInvHeapSlot);
    detail::Staged<C> s = std::move(*cell);
    cell.reset();
    free_positions.push_back(pos);
    return s;
  };

  // Cheap axes whose scorer reads the candidate's own slot are read here,
  // without a call. Their time is measured on one candidate in every
  // kSampleEvery (the first included) and scaled to all their calls at the
  // end: two clock reads would cost more than the read they time.
  struct CheapAxis {
    std::size_t axis;
    std::optional<SlotRead> direct;
    Nanos128 sampled_ticks = 0;
    std::uint64_t sampled_calls = 0;
  };
  std::vector<CheapAxis> cheap_axes;
  for (std::size_t i : cheap) {
    std::optional<SlotRead> direct;
    if constexpr (requires(const C& c) { c.scores[std::size_t{0}]; }) direct = scorers_[i]->slot_read();
    cheap_axes.push_back(CheapAxis{i, direct});
  }
  constexpr std::uint64_t kSampleEvery = 64;
  // The axis's value for c into `value`; false when it has none (NaN
  // included). Kept apart from std::optional so that the hot loop does not
  // pass values through memory.
  auto score_of = [&](const CheapAxis& a, const C& c, float& value) -> bool {
    if constexpr (requires { c.scores[std::size_t{0}]; }) {
      if (a.direct) {
        const std::optional<float>& slot = c.scores[a.direct->slot];
        if (!slot) return false;
        value = a.direct->normalizer ? a.direct->normalizer->apply(*slot) : *slot;
        return value == value;
      }
    }
    std::optional<float> r = as_value(scorers_[a.axis]->score(c));
    if (r) value = *r;
    return r.has_value();
  };

  Scores scores;
  constexpr std::uint64_t kCheckEvery = 4096;
  while (std::optional<C> item = next()) {
    C& c = *item;
    trace.input_count += 1;
    if (checkpoint_ && trace.input_count % kCheckEvery == 0) checkpoint_();

    const UnaryConstraint<C>* refused_by = nullptr;
    for (const auto& u : unary_) {
      if (!u->allows(c)) {
        refused_by = u.get();
        break;
      }
    }
    if (refused_by) {
      reject_with(std::move(c), RejectReason::unary_constraint(refused_by->id()), std::nullopt);
      continue;
    }

    scores.assign(axes, std::nullopt);
    std::optional<std::size_t> unscored;
    const bool sample = (trace.input_count - 1) % kSampleEvery == 0;
    // While calls follow each other, one clock read ends one call's time and
    // starts the next one's.
    std::uint64_t t0 = 0;
    bool clock_running = false;
    for (CheapAxis& a : cheap_axes) {
      const bool timed = sample || !a.direct;
      if (timed && !clock_running) t0 = read_ticks();
      float value = 0.0f;
      const bool present = score_of(a, c, value);
      ScorerTrace& st = trace.scorers[a.axis];
      clock_running = timed;
      if (timed) {
        std::uint64_t t1 = read_ticks();
        if (a.direct) {
          a.sampled_ticks += ticks_between(t0, t1);
          a.sampled_calls += 1;
        } else {
          st.elapsed_nanos += ticks_between(t0, t1);
        }
        t0 = t1;
      }
      st.calls += 1;
      if (present) {
        scores[a.axis] = value;
      } else {
        st.missing += 1;
        if (reject) {
          unscored = a.axis;
          break;
        }
      }
    }
    if (unscored) {
      reject_with(std::move(c), RejectReason::not_scored(metas_[*unscored].id), std::nullopt);
      continue;
    }

    float key;
    if (admission) {
      const auto& slot = scores[*admission];
      key = slot ? *slot : no_key;
    } else {
      key = (*provisional)(scores);
    }

    // A candidate the pool refuses is never staged.
    if (!heap.admits(c.id, key)) {
      reject_with(std::move(c), RejectReason::out_of_pool(), std::nullopt);
      continue;
    }
    CandidateId id = c.id;
    std::size_t pos;
    if (!free_positions.empty()) {
      pos = free_positions.back();
      free_positions.pop_back();
      staging[pos].emplace(std::move(c), std::move(scores), id);
    } else {
      pos = staging.size();
      staging.emplace_back(std::in_place, std::move(c), std::move(scores), id);
    }
    PushOutcome pushed = heap.push(std::move(id), pos, key);
    if (pushed.kind != PushOutcome::Kind::Added) {
      detail::Staged<C> evicted = unstage(pushed.kind == PushOutcome::Kind::Replaced ? pushed.evicted : pos);
      scores = std::move(evicted.scores);
      reject_with(std::move(evicted.candidate), RejectReason::out_of_pool(), std::nullopt);
    }
  }
  for (const CheapAxis& a : cheap_axes) {
    if (a.sampled_calls == 0) continue;
    trace.scorers[a.axis].elapsed_nanos += a.sampled_ticks * trace.scorers[a.axis].calls / a.sampled_calls;
  }

  out.pool_size = static_cast<std::uint32_t>(heap.size());
  std::vector<detail::Staged<C>> pool;
  {
    std::vector<std::size_t> order = std::move(heap).into_sorted_indices();
    pool.reserve(order.size());
    for (std::size_t pos : order) {
      auto& cell = staging[pos];
      if (!cell) internal_fault(kInvHeapSlot);
      pool.push_back(std::move(*cell));
      cell.reset();
    }
  }
  staging.clear();
  staging.shrink_to_fit();

  // Stage 2, step 1: take every expensive batch before writing any.
  const std::size_t n = pool.size();
  struct Batch {
    std::vector<std::optional<float>> values;
    std::size_t axis;
    Nanos128 ticks;
  };
  std::vector<Batch> batches;
  {
    std::vector<const C*> refs;
    refs.reserve(n);
    for (const auto& s : pool) refs.push_back(&s.candidate);
    for (std::size_t i = 0; i < axes; ++i) {
      if (metas_[i].cost != Cost::Expensive) continue;
      std::uint64_t t0 = read_ticks();
      std::vector<std::optional<float>> values = scorers_[i]->score_batch(refs);
      Nanos128 ticks = ticks_between(t0, read_ticks());
      if (values.size() != n) return std::unexpected(Error::batch_length_mismatch(metas_[i].id, values.size(), n));
      batches.push_back(Batch{std::move(values), i, ticks});
    }
  }
  for (const Batch& b : batches) {
    ScorerTrace& st = trace.scorers[b.axis];
    std::uint64_t missing = 0;
    for (std::size_t j = 0; j < n; ++j) {
      auto v = as_value(b.values[j]);
      if (v) pool[j].scores[b.axis] = v;
      if (!pool[j].scores[b.axis]) ++missing;
    }
    st.elapsed_nanos += b.ticks;
    st.calls += n;
    st.missing += missing;
  }
  batches.clear();

  // Step 3: under Reject, every candidate still missing an axis leaves.
  if (reject) {
    std::vector<detail::Staged<C>> kept;
    kept.reserve(pool.size());
    for (auto& s : pool) {
      auto empty = std::find_if(s.scores.begin(), s.scores.end(), [](const auto& v) { return !v; });
      if (empty != s.scores.end()) {
        auto axis = static_cast<std::size_t>(empty - s.scores.begin());
        reject_with(std::move(s.candidate), RejectReason::not_scored(metas_[axis].id), std::nullopt);
      } else {
        kept.push_back(std::move(s));
      }
    }
    pool = std::move(kept);
  }

  // Step 4: fusion.
  std::vector<PoolEntry<C>> entries;
  {
    std::vector<const Scores*> score_refs;
    std::vector<const CandidateId*> id_refs;
    score_refs.reserve(pool.size());
    id_refs.reserve(pool.size());
    for (const auto& s : pool) {
      score_refs.push_back(&s.scores);
      id_refs.push_back(&s.id);
    }
    std::vector<FusionTrace> traces = fuse_all(fusion_, missing_, metas_, score_refs, id_refs);
    entries.reserve(pool.size());
    for (std::size_t j = 0; j < pool.size(); ++j) {
      float fused = traces[j].fused();
      entries.push_back(PoolEntry<C>{std::move(pool[j].candidate), std::move(pool[j].scores), std::move(traces[j]),
                                     std::move(pool[j].id), fused});
    }
    pool.clear();
  }

  // Step 5: threshold, by ordinary comparison (NaN stays).
  if (threshold_) {
    const float t = *threshold_;
    std::vector<PoolEntry<C>> kept;
    kept.reserve(entries.size());
    for (auto& e : entries) {
      if (e.fused < t) {
        reject_with(std::move(e.candidate), RejectReason::below_threshold(), e.fused);
      } else {
        kept.push_back(std::move(e));
      }
    }
    entries = std::move(kept);
  }

  // Step 6: fused order.
  std::stable_sort(entries.begin(), entries.end(), [](const PoolEntry<C>& a, const PoolEntry<C>& b) {
    return score_before(a.fused, a.key, b.fused, b.key);
  });

  // Steps 7 and 8: the limit and the selection.
  Selector<C> selector;
  switch (budget_.kind) {
    case Budget::Kind::TopK: selector.k = budget_.k; break;
    case Budget::Kind::TailMass: {
      std::vector<double> samples;
      samples.reserve(entries.size());
      for (const auto& e : entries) samples.push_back(static_cast<double>(e.fused));
      BudgetTrace bt = derive_budget(samples, budget_.epsilon, min_fit_, budget_.fallback_k);
      selector.k = bt.derived_k;
      trace.budget = bt;
      break;
    }
    case Budget::Kind::Tokens: selector.tokens = budget_.max; break;
  }
  selector.constraints = &set_;
  selector.requirements = &requirements_;
  selector.objective = objective_.get();
  selector.cost = cost_ ? &cost_ : nullptr;
  selector.checkpoint = checkpoint_ ? &checkpoint_ : nullptr;
  std::expected<Chosen, Error> chosen = selector.run(entries);
  if (!chosen) return std::unexpected(std::move(chosen.error()));

  // Step 9: the set-constraint ids, once.
  std::vector<ConstraintId> constraint_ids;
  constraint_ids.reserve(set_.size());
  for (const auto& s : set_) constraint_ids.push_back(s->id());

  // Step 10: reject what was not chosen, in fused order.
  if (chosen->blocked.size() < entries.size()) internal_fault(kInvSelectedKept);
  std::vector<char> is_chosen(entries.size(), 0);
  for (std::size_t p : chosen->indices) {
    if (p >= entries.size()) internal_fault(kInvSelectedKept);
    is_chosen[p] = 1;
  }
  for (std::size_t j = 0; j < entries.size(); ++j) {
    if (is_chosen[j]) continue;
    auto& blocked = chosen->blocked[j];
    reject_with(std::move(entries[j].candidate),
                blocked ? RejectReason::set_constraint(std::move(*blocked)) : RejectReason::outranked(),
                entries[j].fused);
  }

  // Step 11: ranked records, in selection order.
  out.ranked.reserve(chosen->indices.size());
  std::uint32_t rank = 0;
  for (std::size_t p : chosen->indices) {
    if (!is_chosen[p]) internal_fault(kInvSelectedKept);
    is_chosen[p] = 0;
    PoolEntry<C>& e = entries[p];
    ScoreSet scores;
    scores.reserve(axes);
    for (std::size_t i = 0; i < axes; ++i) scores.emplace_back(metas_[i].id, e.scores[i]);
    out.ranked.push_back(Ranked<C>{std::move(e.candidate), std::move(scores), std::move(e.fusion), constraint_ids,
                                   ++rank, e.fused});
  }

  // Step 12: selection properties.
  const bool submodular = objective_ ? objective_->is_submodular() : false;
  std::size_t matroids = 0;
  for (const auto& s : set_) matroids += s->is_matroid() ? 1 : 0;
  SelectionProperties props =
      selection_properties(chosen->repaired, objective_ != nullptr, submodular,
                           budget_.kind == Budget::Kind::Tokens, set_.size(), matroids);
  out.exact = props.exact;
  out.guarantee = props.guarantee;
  if (chosen->cut_margin && std::isfinite(*chosen->cut_margin)) out.cut_margin = chosen->cut_margin;
  out.pool_exhausted = chosen->pool_exhausted;
  tick_rate.finish();
  for (ScorerTrace& st : trace.scorers) st.elapsed_nanos = tick_rate.nanos(st.elapsed_nanos);
  return out;
}

}  // namespace vantorel
