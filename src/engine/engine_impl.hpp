#pragma once
// Engine<C>::validate, scan (stage 1: streaming into the bounded pool) and
// finish (stage 2: expensive batches, fusion, threshold, K, selection).
#include <algorithm>
#include <cmath>
#include <limits>

#include "common/float_order.hpp"
#include "common/score_sort.hpp"
#include "common/ticks.hpp"
#include "select/bounded_heap.hpp"

namespace vantorel {

namespace detail {

// Stage 1 reads each row through one of two accessors: a candidate already
// made, or a row of a SlotBatch whose candidate is made only when needed.
template <class C>
class CandidateRow {
 public:
  explicit CandidateRow(C& c) : c_(c) {}
  const CandidateId& id() const { return c_.id; }
  // The row's own score at `slot`, false when it has none.
  bool slot(std::size_t s, float& value) const {
    const std::optional<float>& v = c_.scores[s];
    if (!v) return false;
    value = *v;
    return true;
  }
  const C& candidate() const { return c_; }
  C&& make() { return std::move(c_); }

 private:
  C& c_;
};

template <class C, class Source>
class BatchRow {
 public:
  BatchRow(const SlotBatch& b, std::size_t i, Source& source) : b_(b), i_(i), source_(source) {}
  CandidateId id() const { return b_.numbers ? CandidateId(b_.numbers[i_]) : source_.id(i_); }
  bool slot(std::size_t s, float& value) const {
    if (s >= b_.values.size() || !b_.values[s] || (b_.present[s] && !b_.present[s][i_])) return false;
    value = b_.values[s][i_];
    return true;
  }
  // Never called: batches are read only where everything reads slots.
  const C& candidate() const { internal_fault(kInvValidated); }
  C make() {
    std::optional<C> c = source_.row(i_);
    if (!c) internal_fault(kInvValidated);
    return std::move(*c);
  }

 private:
  const SlotBatch& b_;
  std::size_t i_;
  Source& source_;
};

// The cheap axes of a run, scored one candidate at a time. Axes whose scorer
// reads the candidate's own slot are read here, without a call. Their time
// is measured on one candidate in every kSampleEvery (the first included) and
// scaled to all their calls at the end: two clock reads would cost more than
// the read they time.
template <class C>
class CheapScoring {
 public:
  CheapScoring(const std::vector<std::unique_ptr<Scorer<C>>>& scorers, const std::vector<ScorerMeta>& metas,
               bool reject)
      : scorers_(scorers), reject_(reject) {
    for (std::size_t i = 0; i < metas.size(); ++i) {
      if (metas[i].cost != Cost::Cheap) continue;
      std::optional<SlotRead> direct;
      if constexpr (requires(const C& c) { c.scores[std::size_t{0}]; }) direct = scorers[i]->slot_read();
      axes_.push_back(Axis{i, direct});
    }
  }

  // Whether every cheap axis reads the candidate's own slot.
  bool reads_slots() const {
    return std::all_of(axes_.begin(), axes_.end(), [](const Axis& a) { return a.direct.has_value(); });
  }

  // Scores a row on every cheap axis into `scores` (all slots empty on
  // entry), counting calls, misses and time in `trace`, whose input count
  // already counts the row. Under the reject policy, stops at the first axis
  // without a value and returns it.
  template <class Row>
  std::optional<std::size_t> score(const Row& c, Scores& scores, RunTrace& trace) {
    const bool sample = (trace.input_count - 1) % kSampleEvery == 0;
    // While calls follow each other, one clock read ends one call's time and
    // starts the next one's.
    std::uint64_t t0 = 0;
    bool clock_running = false;
    for (Axis& a : axes_) {
      const bool timed = sample || !a.direct;
      if (timed && !clock_running) t0 = read_ticks();
      float value = 0.0f;
      const bool present = value_of(a, c, value);
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
        if (reject_) return a.axis;
      }
    }
    return std::nullopt;
  }

  std::size_t size() const { return axes_.size(); }
  std::size_t axis_of(std::size_t k) const { return axes_[k].axis; }

  // What `score` would find for every row of a batch (every axis reading
  // slots), by cheap axis: value[k][i] (in the batch itself where no
  // normalizer applies, else in normalized[k]), and has[k][i] 0 where it
  // finds none. `missing[k]` gets the rows not set aside that have none.
  void batch_values(const SlotBatch& b, std::vector<const float*>& value, std::vector<std::vector<float>>& normalized,
                    std::vector<std::vector<std::uint8_t>>& has, std::vector<std::uint64_t>& missing) const {
    const std::size_t n = b.rows;
    const std::uint8_t* aside = b.aside;
    std::size_t set_aside = 0;
    for (std::size_t i = 0; aside && i < n; ++i) set_aside += aside[i];
    value.assign(axes_.size(), nullptr);
    normalized.resize(axes_.size());
    has.resize(axes_.size());
    missing.assign(axes_.size(), n - set_aside);
    for (std::size_t k = 0; k < axes_.size(); ++k) {
      const SlotRead& read = *axes_[k].direct;
      has[k].resize(n);
      std::uint8_t* found = has[k].data();
      const float* column = read.slot < b.values.size() ? b.values[read.slot] : nullptr;
      if (!column || read.normalizer) {
        normalized[k].resize(n);
        value[k] = normalized[k].data();
      }
      if (!column) {
        std::fill(found, found + n, 0);
        continue;
      }
      const std::uint8_t* present = b.present[read.slot];
      if (read.normalizer) {
        float* out = normalized[k].data();
        for (std::size_t i = 0; i < n; ++i) {
          const bool p = !present || present[i];
          out[i] = p ? read.normalizer->apply(column[i]) : 0.0f;
          found[i] = p && out[i] == out[i];
        }
      } else {
        value[k] = column;
        if (present) {
          for (std::size_t i = 0; i < n; ++i) found[i] = present[i] & static_cast<std::uint8_t>(column[i] == column[i]);
        } else {
          for (std::size_t i = 0; i < n; ++i) found[i] = column[i] == column[i];
        }
      }
      std::uint64_t counted = 0;  // found among the rows not set aside
      if (aside) {
        for (std::size_t i = 0; i < n; ++i) counted += found[i] & (aside[i] ^ 1);
      } else {
        for (std::size_t i = 0; i < n; ++i) counted += found[i];
      }
      missing[k] -= counted;
    }
  }

  // Adds the sampled times of the directly read axes, scaled to all calls.
  void add_sampled_times(RunTrace& trace) const {
    for (const Axis& a : axes_) {
      if (a.sampled_calls == 0) continue;
      ScorerTrace& st = trace.scorers[a.axis];
      st.elapsed_nanos += a.sampled_ticks * st.calls / a.sampled_calls;
    }
  }

 private:
  static constexpr std::uint64_t kSampleEvery = 64;
  struct Axis {
    std::size_t axis;
    std::optional<SlotRead> direct;
    Nanos128 sampled_ticks = 0;
    std::uint64_t sampled_calls = 0;
  };

  // The axis's value for the row into `value`; false when it has none (NaN
  // included). Kept apart from std::optional so that the hot loop does not
  // pass values through memory.
  template <class Row>
  bool value_of(const Axis& a, const Row& row, float& value) const {
    if constexpr (requires(const C& c) { c.scores[std::size_t{0}]; }) {
      if (a.direct) {
        float raw;
        if (!row.slot(a.direct->slot, raw)) return false;
        value = a.direct->normalizer ? a.direct->normalizer->apply(raw) : raw;
        return value == value;
      }
    }
    std::optional<float> r = as_value(scorers_[a.axis]->score(row.candidate()));
    if (r) value = *r;
    return r.has_value();
  }

  const std::vector<std::unique_ptr<Scorer<C>>>& scorers_;
  InlineVector<Axis, 4> axes_;
  bool reject_;
};

// The admission keys of a batch's rows, and what `score` would count of them,
// for rows the pool then refuses without reading them again.
template <class C>
class Screen {
 public:
  // Computes the keys of every row of `batch` as stage 1 would.
  void prepare(const SlotBatch& batch, const CheapScoring<C>& cheap, std::optional<std::size_t> admission,
               const std::optional<ProvisionalScore>& provisional, float no_key) {
    const std::size_t n = batch.rows;
    cheap.batch_values(batch, value_at_, normalized_, has_, missing_);
    keys_.resize(n);
    order_.resize(n);
    float* key = keys_.data();
    if (admission) {
      // The admission axis is cheap: find its place among them.
      std::size_t k = 0;
      while (cheap.axis_of(k) != *admission) ++k;
      const float* v = value_at_[k];
      const std::uint8_t* h = has_[k].data();
      for (std::size_t i = 0; i < n; ++i) key[i] = h[i] ? v[i] : no_key;
    } else {
      // The provisional score's cheap axes are those of `cheap`, in order.
      has_at_.clear();
      for (const auto& h : has_) has_at_.push_back(h.data());
      provisional->eval_columns(n, value_at_.data(), has_at_.data(), key, num_, den_, any_);
    }
    std::int32_t* order = order_.data();
    for (std::size_t i = 0; i < n; ++i) order[i] = total_order_key(key[i]);
  }

  // The first row from i on whose key is not below `bar` (a pool's
  // refusal_bar), or the batch's length.
  std::size_t first_at_least(std::size_t i, std::int32_t bar) const {
    const std::size_t n = order_.size();
    while (i < n && order_[i] < bar) ++i;
    return i;
  }

  float key(std::size_t i) const { return keys_[i]; }
  // Whether row i has a value on the k-th cheap axis.
  bool has(std::size_t k, std::size_t i) const { return has_[k][i] != 0; }
  // Rows not set aside without a value on the k-th cheap axis.
  std::uint64_t missing(std::size_t k) const { return missing_[k]; }

 private:
  std::vector<const float*> value_at_;
  std::vector<std::vector<float>> normalized_;
  std::vector<std::vector<std::uint8_t>> has_;
  std::vector<std::uint64_t> missing_;
  std::vector<float> keys_;
  std::vector<std::int32_t> order_;  // total_order_key of each key
  std::vector<const std::uint8_t*> has_at_;
  std::vector<float> num_, den_;
  std::vector<std::uint8_t> any_;
};

// The bounded pool with the stage-1 records of the candidates it holds. At
// most M + 1 candidates are staged at any moment: the position of one pushed
// out is reused by the next.
template <class C>
class StagingPool {
 public:
  // Stages into the space `storage` lends, if any.
  StagingPool(std::size_t capacity, StageStorage<C>* storage)
      : heap_(capacity, storage ? std::move(storage->slots) : std::vector<Slot>{}) {
    if (storage) staging_ = std::move(storage->records);
    staging_.clear();
  }

  bool admits(const CandidateId& id, float key) const { return heap_.admits(id, key); }
  bool refuses(float key) const { return heap_.refuses(key); }
  std::optional<std::int32_t> refusal_bar() const { return heap_.refusal_bar(); }

  // Stages c and pushes it into the heap; the candidate pushed out, if any
  // (an evicted one, or c itself), goes to `out_of_pool`. `scores` is moved
  // in and gets back the storage of the record pushed out.
  template <class OutOfPool>
  void stage(C&& c, Scores& scores, float key, OutOfPool&& out_of_pool) {
    // A candidate type that defers part of itself (the object of a table's
    // row, say) completes it here, while its source is still at hand.
    if constexpr (requires { c.enter_pool(); }) c.enter_pool();
    std::size_t pos;
    Staged<C>* staged;
    if (!free_.empty()) {
      pos = free_.back();
      free_.pop_back();
      staged = &staging_[pos].emplace(std::move(c), std::move(scores), key);
    } else {
      pos = staging_.size();
      staged = &*staging_.emplace_back(std::in_place, std::move(c), std::move(scores), key);
    }
    // The heap refers to the staged candidate's id, which stays in place.
    PushOutcome pushed = heap_.push(staged->id(), pos, key);
    if (pushed.kind == PushOutcome::Kind::Added) return;
    Staged<C> gone = unstage(pushed.kind == PushOutcome::Kind::Replaced ? pushed.evicted : pos);
    scores = std::move(gone.scores);
    out_of_pool(std::move(gone.candidate));
  }

  // Hands the staged records over to `s`, with their cells from the best
  // admission key to the worst (equal keys by ascending id), and the heap's
  // space back to `storage`, if given; consumes the pool.
  void into(Stage1<C>& s, StageStorage<C>* storage) && {
    s.pool = std::move(heap_).into_sorted_indices(storage ? &storage->slots : nullptr);
    s.staged = std::move(staging_);
  }

 private:
  Staged<C> unstage(std::size_t pos) {
    auto& cell = staging_[pos];
    if (!cell) internal_fault(kInvHeapSlot);
    Staged<C> s = std::move(*cell);
    cell.reset();
    free_.push_back(pos);
    return s;
  }

  BoundedHeap heap_;
  // Records never move once staged.
  StagedRecords<C> staging_;
  std::vector<std::size_t> free_;
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
std::optional<std::size_t> Engine<C>::admission_axis() const {
  std::optional<std::size_t> admission;
  if (admission_) {
    for (std::size_t i = 0; i < metas_.size() && !admission; ++i)
      if (metas_[i].id == *admission_) admission = i;
    if (!admission) internal_fault(kInvValidated);
  } else if (fusion_.kind == Fusion::Kind::Rrf) {
    for (std::size_t i = 0; i < metas_.size() && !admission; ++i)
      if (metas_[i].cost == Cost::Cheap) admission = i;
    if (!admission) internal_fault(kInvValidated);
  }
  return admission;
}

template <class C>
Outcome<C> Engine<C>::empty_outcome() const {
  Outcome<C> out;
  out.axes = names_;
  RunTrace& trace = out.trace;
  if (std::optional<std::size_t> admission = admission_axis()) trace.admission_scorer = metas_[*admission].id;
  trace.scorers.reserve(metas_.size());
  for (const auto& m : metas_) trace.scorers.push_back(ScorerTrace{m.id, 0, 0, 0, m.cost});
  trace.pool_capacity =
      std::max<std::uint64_t>(1, std::uint64_t{multiplier_} * std::uint64_t{budget_.base_count()});
  return out;
}

template <class C>
template <class Source>
Stage1<C> Engine<C>::scan(Source&& next, StageStorage<C>* storage) const {
  // Scorer times are summed in ticks and turned into nanoseconds at the end.
  TickRate tick_rate;
  Stage1<C> result{{}, {}, empty_outcome()};
  Outcome<C>& out = result.out;
  RunTrace& trace = out.trace;

  // The admission key: one axis's value, or the provisional score over the
  // cheap axes when no axis is named and the fusion is not by rank.
  const std::optional<std::size_t> admission = admission_axis();
  std::optional<ProvisionalScore> provisional;
  if (!admission) provisional.emplace(fusion_, missing_, metas_);
  const float no_key =
      missing_.kind == MissingPolicy::Kind::Impute ? missing_.value : -std::numeric_limits<float>::infinity();

  detail::CheapScoring<C> cheap(scorers_, metas_, missing_.kind == MissingPolicy::Kind::Reject);
  detail::StagingPool<C> pool(static_cast<std::size_t>(trace.pool_capacity), storage);
  auto out_of_pool = [&](C&& c) { reject(out, std::move(c), RejectReason::out_of_pool(), std::nullopt); };

  // The unary constraints as slot minimums, where each is one.
  std::vector<std::optional<SlotMin>> minimums;
  for (const auto& u : unary_) minimums.push_back(u->slot_min());
  const bool slots_only =
      cheap.reads_slots() && std::all_of(minimums.begin(), minimums.end(), [](const auto& m) { return m.has_value(); });

  Scores scores;
  constexpr std::uint64_t kCheckEvery = 4096;
  auto take = [&](auto& row) {
    trace.input_count += 1;
    if (checkpoint_ && trace.input_count % kCheckEvery == 0) checkpoint_();

    for (std::size_t u = 0; u < unary_.size(); ++u) {
      float v;
      const bool allowed = minimums[u] ? row.slot(minimums[u]->slot, v) && v >= minimums[u]->min
                                       : unary_[u]->allows(row.candidate());
      if (!allowed) {
        reject(out, [&] { return row.make(); }, RejectReason::unary_constraint(unary_[u]->id()), std::nullopt);
        return;
      }
    }

    // (A staged row took the storage with it; a pushed-out one gave its back.)
    if (scores.size() == metas_.size()) {
      std::fill(scores.begin(), scores.end(), std::nullopt);
    } else {
      scores.assign(metas_.size(), std::nullopt);
    }
    if (std::optional<std::size_t> unscored = cheap.score(row, scores, trace)) {
      reject(out, [&] { return row.make(); }, RejectReason::not_scored(metas_[*unscored].id), std::nullopt);
      return;
    }

    float key;
    if (admission) {
      const auto& slot = scores[*admission];
      key = slot ? *slot : no_key;
    } else {
      key = (*provisional)(scores);
    }
    // A candidate the pool refuses is never staged, nor made unless kept.
    if (!pool.admits(row.id(), key)) {
      reject(out, [&] { return row.make(); }, RejectReason::out_of_pool(), std::nullopt);
      return;
    }
    pool.stage(row.make(), scores, key, out_of_pool);
  };

  bool batched = false;
  if constexpr (requires(SlotBatch& b) { next.next_batch(b); }) {
    batched = slots_only && next.batches();
    if (batched) {
      // Where only the pool can refuse a row, the rows' keys are computed a
      // batch at a time and a row the pool refuses is only counted: exactly
      // as `take` would count it, without reading it again or making it.
      const bool screen = unary_.empty() && missing_.kind != MissingPolicy::Kind::Reject;
      detail::Screen<C> keys;
      // Misses of the rows taken in full (which count their own).
      std::vector<std::uint64_t> taken_missing(cheap.size());
      SlotBatch batch;
      while (next.next_batch(batch)) {
        if (screen) keys.prepare(batch, cheap, admission, provisional, no_key);
        std::uint64_t screened = 0;
        std::fill(taken_missing.begin(), taken_missing.end(), 0);
        // Under "count" the rows screened out are counted in runs: `pending`
        // of them, settled before the next row taken and at the batch's end.
        std::uint64_t pending = 0;
        auto settle = [&] {
          const std::uint64_t before = trace.input_count;
          trace.input_count += pending;
          out.rejected_counts[RejectReason::Kind::OutOfPool] += pending;
          pending = 0;
          if (checkpoint_ && before / kCheckEvery != trace.input_count / kCheckEvery) checkpoint_();
        };
        // Counted only, the rows below the pool's worst are passed over in
        // one sweep.
        const bool sweep = screen && !batch.aside && retention_.kind == Retention::Kind::Count;
        for (std::size_t i = 0; i < batch.rows; ++i) {
          if (sweep) {
            if (std::optional<std::int32_t> bar = pool.refusal_bar()) {
              const std::size_t j = keys.first_at_least(i, *bar);
              screened += j - i;
              pending += j - i;
              i = j;
              if (i == batch.rows) break;
            }
          }
          if (batch.aside && batch.aside[i]) {
            settle();
            if (std::optional<C> c = next.row(i)) {
              detail::CandidateRow<C> row(*c);
              take(row);
            }
            continue;
          }
          detail::BatchRow<C, std::remove_reference_t<Source>> row(batch, i, next);
          if (screen && (pool.refuses(keys.key(i)) || !pool.admits(row.id(), keys.key(i)))) {
            ++screened;
            if (retention_.kind == Retention::Kind::Count) {
              ++pending;
              continue;
            }
            trace.input_count += 1;
            if (checkpoint_ && trace.input_count % kCheckEvery == 0) checkpoint_();
            reject(out, [&] { return row.make(); }, RejectReason::out_of_pool(), std::nullopt);
            continue;
          }
          settle();
          if (screen) {
            for (std::size_t k = 0; k < taken_missing.size(); ++k) taken_missing[k] += keys.has(k, i) ? 0 : 1;
          }
          take(row);
        }
        settle();
        if (!screen) continue;
        for (std::size_t k = 0; k < taken_missing.size(); ++k) {
          ScorerTrace& st = trace.scorers[cheap.axis_of(k)];
          st.calls += screened;
          st.missing += keys.missing(k) - taken_missing[k];
        }
      }
    }
  }
  if (!batched) {
    while (std::optional<C> item = next()) {
      detail::CandidateRow<C> row(*item);
      take(row);
    }
  }
  cheap.add_sampled_times(trace);
  // Nothing timed (no row read, say) needs no rate.
  auto timed = [](const ScorerTrace& st) { return st.elapsed_nanos != 0; };
  if (std::any_of(trace.scorers.begin(), trace.scorers.end(), timed)) {
    tick_rate.finish();
    for (ScorerTrace& st : trace.scorers) st.elapsed_nanos = tick_rate.nanos(st.elapsed_nanos);
  }
  std::move(pool).into(result, storage);
  return result;
}

template <class C>
std::expected<Outcome<C>, Error> Engine<C>::finish(Stage1<C> stage1, StageStorage<C>* storage) const {
  Outcome<C>& out = stage1.out;
  out.pool_size = static_cast<std::uint32_t>(stage1.pool.size());
  if (std::optional<Error> e = score_expensive(stage1)) return std::unexpected(std::move(*e));
  if (missing_.kind == MissingPolicy::Kind::Reject) drop_unscored(stage1);
  PoolFusion fusion(fusion_, missing_, metas_);
  const std::vector<float> fused = fuse_pool(stage1, fusion);
  const std::vector<std::size_t> kept = apply_threshold(fused, stage1);
  // From here on the pool is in fused order: the highest fused score first
  // by the total order, equal scores by ascending id (and equal ids in pool
  // order, as a stable sort would leave them).
  const std::vector<std::size_t> order = score_order(
      kept.size(), [&](std::size_t i) { return total_order_key(fused[kept[i]]); },
      [&](std::size_t a, std::size_t b) {
        if (const int c = compare(stage1.entry(kept[a]).id(), stage1.entry(kept[b]).id())) return c < 0;
        return a < b;
      });
  std::vector<PoolEntry<C>> entries = storage ? std::move(storage->entries) : std::vector<PoolEntry<C>>{};
  entries.clear();
  entries.reserve(order.size());
  for (std::size_t i : order) {
    const std::size_t j = kept[i];
    const Staged<C>& r = stage1.entry(j);
    entries.push_back(PoolEntry<C>{&r.candidate, &r.id(), fused[j], j});
  }
  std::expected<Chosen, Error> chosen = select(entries, out.trace);
  if (!chosen) return std::unexpected(std::move(chosen.error()));
  assemble(entries, *chosen, fusion, stage1);
  if (storage) {
    stage1.staged.clear();
    storage->records = std::move(stage1.staged);
    entries.clear();
    storage->entries = std::move(entries);
  }
  return std::move(out);
}

// Scores the pool on every expensive axis, one batch per axis. Every batch
// is taken before any is written, so a batch of the wrong length leaves no
// scores half written.
template <class C>
std::optional<Error> Engine<C>::score_expensive(Stage1<C>& s) const {
  if (std::none_of(metas_.begin(), metas_.end(), [](const ScorerMeta& m) { return m.cost == Cost::Expensive; }))
    return std::nullopt;
  TickRate tick_rate;
  const std::size_t n = s.pool.size();
  struct Batch {
    std::vector<std::optional<float>> values;
    std::size_t axis;
    Nanos128 ticks;
  };
  std::vector<Batch> batches;
  {
    std::vector<const C*> refs;
    refs.reserve(n);
    for (std::size_t j = 0; j < n; ++j) refs.push_back(&s.entry(j).candidate);
    for (std::size_t i = 0; i < metas_.size(); ++i) {
      if (metas_[i].cost != Cost::Expensive) continue;
      std::uint64_t t0 = read_ticks();
      std::vector<std::optional<float>> values = scorers_[i]->score_batch(refs);
      Nanos128 ticks = ticks_between(t0, read_ticks());
      if (values.size() != n) return Error::batch_length_mismatch(metas_[i].id, values.size(), n);
      batches.push_back(Batch{std::move(values), i, ticks});
    }
  }
  tick_rate.finish();
  for (const Batch& b : batches) {
    ScorerTrace& st = s.out.trace.scorers[b.axis];
    std::uint64_t missing = 0;
    for (std::size_t j = 0; j < n; ++j) {
      std::optional<float>& slot = s.entry(j).scores[b.axis];
      if (auto v = as_value(b.values[j])) slot = v;
      if (!slot) ++missing;
    }
    st.elapsed_nanos += tick_rate.nanos(b.ticks);
    st.calls += n;
    st.missing += missing;
  }
  return std::nullopt;
}

// Under the reject policy, every pool candidate still missing an axis leaves,
// named by its first empty axis.
template <class C>
void Engine<C>::drop_unscored(Stage1<C>& s) const {
  std::size_t kept = 0;
  for (std::size_t j = 0; j < s.pool.size(); ++j) {
    Staged<C>& r = s.entry(j);
    auto empty = std::find_if(r.scores.begin(), r.scores.end(), [](const auto& v) { return !v; });
    if (empty == r.scores.end()) {
      s.pool[kept++] = s.pool[j];
      continue;
    }
    auto axis = static_cast<std::size_t>(empty - r.scores.begin());
    reject(s.out, [&]() -> C&& { return std::move(r.candidate); }, RejectReason::not_scored(metas_[axis].id),
           std::nullopt);
  }
  s.pool.resize(kept);
}

// The fused score of every pool entry, by its index. The records are read
// in the order they lie in, not in pool order.
template <class C>
std::vector<float> Engine<C>::fuse_pool(Stage1<C>& s, PoolFusion& fusion) const {
  const std::size_t n = s.pool.size();
  if (fusion.by_rank()) {
    std::vector<const Scores*> scores;
    std::vector<const CandidateId*> ids;
    scores.reserve(n);
    ids.reserve(n);
    for (std::size_t j = 0; j < n; ++j) {
      scores.push_back(&s.entry(j).scores);
      ids.push_back(&s.entry(j).id());
    }
    fusion.rank(scores, ids);
  }
  constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  std::vector<std::size_t> entry_of(s.staged.size(), kNone);
  for (std::size_t j = 0; j < n; ++j) entry_of[s.pool[j]] = j;
  std::vector<float> fused(n);
  for (std::size_t cell = 0; cell < entry_of.size(); ++cell) {
    const std::size_t j = entry_of[cell];
    if (j != kNone) fused[j] = fusion.fused(j, s.staged[cell]->scores);
  }
  return fused;
}

// The pool entries that stay, in pool order: an entry whose fused score is
// below the threshold leaves. The comparison is the ordinary one, so a NaN
// fused score (or a NaN threshold) keeps it.
template <class C>
std::vector<std::size_t> Engine<C>::apply_threshold(const std::vector<float>& fused, Stage1<C>& s) const {
  std::vector<std::size_t> kept;
  kept.reserve(fused.size());
  for (std::size_t j = 0; j < fused.size(); ++j) {
    if (!threshold_ || !(fused[j] < *threshold_)) {
      kept.push_back(j);
      continue;
    }
    reject(s.out, [&]() -> C&& { return std::move(s.entry(j).candidate); }, RejectReason::below_threshold(),
           fused[j]);
  }
  return kept;
}

// The budget's limit (K, derived from the fused scores for a tail-mass
// budget, or the token cap) and the selection under the set constraints.
template <class C>
std::expected<Chosen, Error> Engine<C>::select(const std::vector<PoolEntry<C>>& entries, RunTrace& trace) const {
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
  return selector.run(entries);
}

// Rejects what was not chosen (in fused order), ranks the chosen ones in
// selection order, each with its fusion trace, and states the properties of
// the selection.
template <class C>
void Engine<C>::assemble(const std::vector<PoolEntry<C>>& entries, Chosen& chosen, const PoolFusion& fusion,
                         Stage1<C>& s) const {
  Outcome<C>& out = s.out;
  std::vector<ConstraintId> constraint_ids;
  constraint_ids.reserve(set_.size());
  for (const auto& c : set_) constraint_ids.push_back(c->id());

  const bool blocking = !chosen.blocked.empty();
  if (blocking && chosen.blocked.size() < entries.size()) internal_fault(kInvSelectedKept);
  std::vector<char> is_chosen(entries.size(), 0);
  for (std::size_t p : chosen.indices) {
    if (p >= entries.size()) internal_fault(kInvSelectedKept);
    is_chosen[p] = 1;
  }
  for (std::size_t p = 0; p < entries.size(); ++p) {
    if (is_chosen[p]) continue;
    std::optional<ConstraintId>* blocked = blocking ? &chosen.blocked[p] : nullptr;
    reject(out, [&]() -> C&& { return std::move(s.entry(entries[p].index).candidate); },
           blocked && *blocked ? RejectReason::set_constraint(std::move(**blocked)) : RejectReason::outranked(),
           entries[p].fused);
  }

  out.ranked.reserve(chosen.indices.size());
  std::uint32_t rank = 0;
  for (std::size_t p : chosen.indices) {
    if (!is_chosen[p]) internal_fault(kInvSelectedKept);
    is_chosen[p] = 0;
    const PoolEntry<C>& e = entries[p];
    Staged<C>& r = s.entry(e.index);
    out.ranked.emplace_back(KeptForm<C>::make(std::move(r.candidate)), r.scores, fusion.trace(e.index, r.scores),
                            constraint_ids, ++rank, e.fused);
  }

  const bool submodular = objective_ ? objective_->is_submodular() : false;
  std::size_t matroids = 0;
  for (const auto& s : set_) matroids += s->is_matroid() ? 1 : 0;
  SelectionProperties props = selection_properties(chosen.repaired, objective_ != nullptr, submodular,
                                                   budget_.kind == Budget::Kind::Tokens, set_.size(), matroids);
  out.exact = props.exact;
  out.guarantee = props.guarantee;
  if (chosen.cut_margin && std::isfinite(*chosen.cut_margin)) out.cut_margin = chosen.cut_margin;
  out.pool_exhausted = chosen.pool_exhausted;
}

}  // namespace vantorel
