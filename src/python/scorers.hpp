#pragma once
// The scorers behind the axes of a run: IndexScorer reads the value that came
// with the candidate; CallbackScorer calls a Python function once per batch
// and is shared (SharedCallback) between the engine and the run entry, which
// reads its kept error after the run.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "python/candidate.hpp"
#include "python/py.hpp"
#include "score/score.hpp"

namespace vantorel::python {

using Values = std::vector<std::optional<float>>;

// Applies an optional normaliser to a present value; no value stays none.
inline std::optional<float> normalize(const std::optional<Normalizer>& n, std::optional<float> v) {
  if (n && v) return n->apply(*v);
  return v;
}

class IndexScorer final : public Scorer<PyCandidate> {
 public:
  IndexScorer(ScorerId id, std::size_t index, std::optional<Normalizer> normalizer, Cost cost, ScoreScale scale)
      : id_(std::move(id)), index_(index), normalizer_(normalizer), cost_(cost), scale_(scale) {}

  ScorerId id() const override { return id_; }
  ScoreScale scale() const override { return effective_scale(scale_, normalizer_); }
  Cost cost() const override { return cost_; }
  std::optional<float> score(const PyCandidate& c) const override { return normalize(normalizer_, c.scores[index_]); }
  Values score_batch(const std::vector<const PyCandidate*>& batch) const override;
  std::optional<SlotRead> slot_read() const override { return SlotRead{index_, normalizer_}; }

 private:
  ScorerId id_;
  std::size_t index_;
  std::optional<Normalizer> normalizer_;
  Cost cost_;
  ScoreScale scale_;
};

class CallbackScorer {
 public:
  CallbackScorer(ScorerId id, Ref callable, std::optional<Normalizer> normalizer, ScoreScale scale)
      : id_(std::move(id)), callable_(std::move(callable)), normalizer_(normalizer), scale_(scale) {}

  const ScorerId& id() const { return id_; }
  ScoreScale scale() const { return effective_scale(scale_, normalizer_); }

  // Calls the callable with a new list of the batch's Python objects. On any
  // error keeps the first one and returns one absent value per candidate.
  Values call(const std::vector<const PyCandidate*>& batch);

  // Moves the kept error out, leaving the slot empty.
  FirstError take_error();

  // The length of a returned buffer that differs from its batch's: the
  // engine's length check fails on a stand-in, and this is the length to
  // report.
  std::optional<std::uint64_t> unread_length() const { return unread_length_; }

 private:
  bool try_call(const std::vector<const PyCandidate*>& batch, Values& out);
  void keep_error();

  ScorerId id_;
  Ref callable_;
  std::optional<Normalizer> normalizer_;
  ScoreScale scale_;
  std::optional<std::uint64_t> unread_length_;
  std::mutex error_mutex_;
  FirstError error_;  // guarded by error_mutex_
};

// The engine's handle to a shared CallbackScorer.
class SharedCallback final : public Scorer<PyCandidate> {
 public:
  explicit SharedCallback(std::shared_ptr<CallbackScorer> inner) : inner_(std::move(inner)) {}

  ScorerId id() const override { return inner_->id(); }
  ScoreScale scale() const override { return inner_->scale(); }
  Cost cost() const override { return Cost::Expensive; }
  std::optional<float> score(const PyCandidate& c) const override;
  Values score_batch(const std::vector<const PyCandidate*>& batch) const override { return inner_->call(batch); }

 private:
  std::shared_ptr<CallbackScorer> inner_;
};

}  // namespace vantorel::python
