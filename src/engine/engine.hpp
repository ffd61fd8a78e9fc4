#pragma once
// The core engine: one configuration, validated and run over a candidate stream.
//
// C is the candidate type. The engine itself reads only `c.id` (a CandidateId);
// scorers, constraints, the objective and the cost function read the rest.
// A stream is any callable returning std::optional<C>; nullopt ends it.
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "budget/budget.hpp"
#include "common/block_list.hpp"
#include "engine/slot_batch.hpp"
#include "common/defaults.hpp"
#include "constraint/constraint.hpp"
#include "error/error.hpp"
#include "evidence/outcome.hpp"
#include "fuse/fusion.hpp"
#include "objective/coverage.hpp"
#include "score/score.hpp"
#include "select/bounded_heap.hpp"
#include "select/selector.hpp"

namespace vantorel {

// The stage-1 record of one pooled candidate.
template <class C>
struct Staged {
  C candidate;
  Scores scores;  // cheap slots filled, expensive slots empty
  float key;      // admission key

  const CandidateId& id() const { return candidate.id; }
};

// The stage-1 records of a run, by cell; a cell stays where it is.
template <class C>
using StagedRecords = BlockList<std::optional<Staged<C>>>;

// Space a run may take from an earlier one instead of allocating afresh: the
// blocks of the staged records, the slots of the pool's heap and the pool's
// entries in fused order, emptied.
template <class C>
struct StageStorage {
  StagedRecords<C> records;
  std::vector<Slot> slots;
  std::vector<PoolEntry<C>> entries;
};

// What stage 1 leaves for stage 2: the records of the pooled candidates,
// where stage 1 staged them (cells of candidates that left the pool are
// empty), and their cells in pool order, best admission key first; and the
// outcome so far: stage-1 rejections, their counts, the scorer rows (elapsed
// times in nanoseconds) and the input count. Stage 2 moves a record's
// candidate at most once, into the outcome.
template <class C>
struct Stage1 {
  StagedRecords<C> staged;
  std::vector<std::size_t> pool;
  Outcome<C> out;

  // The record of the j-th pool entry.
  Staged<C>& entry(std::size_t j) { return *staged[pool[j]]; }
};

template <class C>
class Engine {
 public:
  Engine() = default;
  Engine(Engine&&) noexcept = default;
  Engine& operator=(Engine&&) noexcept = default;

  // Builder operations: each takes the engine and returns it.
  Engine scorer(std::unique_ptr<Scorer<C>> s) && {
    metas_.push_back(ScorerMeta{s->id(), s->scale(), s->cost()});
    auto names = std::make_shared<std::vector<ScorerId>>(names_ ? *names_ : std::vector<ScorerId>{});
    names->push_back(s->id());
    names_ = std::move(names);
    scorers_.push_back(std::move(s));
    return std::move(*this);
  }
  Engine unary(std::unique_ptr<UnaryConstraint<C>> u) && {
    unary_.push_back(std::move(u));
    return std::move(*this);
  }
  Engine set_constraint(std::unique_ptr<SetConstraint<C>> s) && {
    set_.push_back(std::move(s));
    return std::move(*this);
  }
  Engine require(Requirement<C> r) && {
    requirements_.push_back(std::move(r));
    return std::move(*this);
  }
  Engine objective(std::unique_ptr<SetObjective<C>> o) && {
    objective_ = std::move(o);
    return std::move(*this);
  }
  Engine admission(std::string axis) && {
    admission_ = std::move(axis);
    return std::move(*this);
  }
  Engine cost(CostFn<C> f) && {
    cost_ = std::move(f);
    return std::move(*this);
  }
  Engine fuse(Fusion f) && {
    fusion_ = std::move(f);
    return std::move(*this);
  }
  Engine missing(MissingPolicy m) && {
    missing_ = m;
    return std::move(*this);
  }
  Engine threshold(float t) && {
    threshold_ = t;
    return std::move(*this);
  }
  Engine budget(Budget b) && {
    budget_ = b;
    return std::move(*this);
  }
  Engine pool_multiplier(std::uint32_t m) && {
    multiplier_ = m;
    return std::move(*this);
  }
  Engine rejections(Retention r) && {
    retention_ = r;
    return std::move(*this);
  }
  Engine min_fit(float f) && {
    min_fit_ = f;
    return std::move(*this);
  }
  // A function the run calls every few thousand candidates of stage 1 and at
  // every step of the selection; it may throw RunAborted to stop the run.
  Engine checkpoint(std::function<void()> f) && {
    checkpoint_ = std::move(f);
    return std::move(*this);
  }

  // The first configuration fault, in the fixed order of checks.
  std::optional<Error> validate() const;

  // Runs the whole selection over `next` (called until it returns nullopt).
  // A source that also has `batches()` true, `next_batch(SlotBatch&)` (false
  // at the end), `row(i)` (the candidate of row i of its current batch,
  // nullopt when skipped) and `id(i)` (that row's identifier) is read a
  // batch at a time instead, wherever every
  // unary constraint and cheap scorer reads the candidate's own slots.
  template <class Source>
  std::expected<Outcome<C>, Error> run(Source&& next) const {
    if (auto e = validate()) return std::unexpected(std::move(*e));
    return finish(scan(std::forward<Source>(next)));
  }

  // The two halves of run, for a valid engine. `scan` streams `next` into
  // the bounded pool; `finish` scores, fuses and selects the pool it is given
  // (the pool of one scan, or the best M of several scans' pools). A
  // `storage`, when given, lends its space to the run: each half takes what
  // it stages into and gives it back emptied when done with it.
  template <class Source>
  Stage1<C> scan(Source&& next, StageStorage<C>* storage = nullptr) const;
  std::expected<Outcome<C>, Error> finish(Stage1<C> stage1, StageStorage<C>* storage = nullptr) const;

  // An outcome with nothing recorded yet: one zero trace row per axis, the
  // admission axis's name and the pool capacity M.
  Outcome<C> empty_outcome() const;

 private:
  std::optional<std::size_t> admission_axis() const;
  // `c` is the candidate, or a function that makes it when it is kept.
  template <class Candidate>
  void reject(Outcome<C>& out, Candidate&& c, RejectReason&& reason, const std::optional<float>& fused) const {
    record<C>(retention_, out.rejected, out.rejected_counts, std::forward<Candidate>(c), std::move(reason), fused);
  }
  // Stage 2 in steps, over pool entries by their index in pool order (an
  // entry's `index`).
  std::optional<Error> score_expensive(Stage1<C>& s) const;
  void drop_unscored(Stage1<C>& s) const;
  std::vector<float> fuse_pool(Stage1<C>& s, PoolFusion& fusion) const;
  std::vector<std::size_t> apply_threshold(const std::vector<float>& fused, Stage1<C>& s) const;
  std::expected<Chosen, Error> select(const std::vector<PoolEntry<C>>& entries, RunTrace& trace) const;
  void assemble(const std::vector<PoolEntry<C>>& entries, Chosen& chosen, const PoolFusion& fusion,
                Stage1<C>& s) const;

  Retention retention_ = Retention::keep();
  std::vector<std::unique_ptr<Scorer<C>>> scorers_;
  std::vector<ScorerMeta> metas_;
  AxisNames names_;  // the metas' ids
  std::vector<std::unique_ptr<UnaryConstraint<C>>> unary_;
  std::vector<std::unique_ptr<SetConstraint<C>>> set_;
  std::vector<Requirement<C>> requirements_;
  Fusion fusion_ = Fusion::rrf(kDefaultRrfK);
  std::optional<float> threshold_;
  MissingPolicy missing_ = MissingPolicy::skip();
  std::unique_ptr<SetObjective<C>> objective_;
  CostFn<C> cost_;  // empty when not set
  std::optional<std::string> admission_;
  Budget budget_ = Budget::top_k(kDefaultTopK);
  std::uint32_t multiplier_ = kDefaultPoolMultiplier;
  float min_fit_ = kDefaultMinFit;
  std::function<void()> checkpoint_;  // empty when not set
};

}  // namespace vantorel

#include "engine/engine_impl.hpp"
