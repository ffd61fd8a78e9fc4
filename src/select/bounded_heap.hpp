#pragma once
// The bounded stage-1 pool: a min-heap whose root is the worst slot kept.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/candidate_id.hpp"
#include "common/float_order.hpp"

namespace vantorel {

// A pooled entry: its score, its identifier (kept by the heap's user) and
// its index.
struct Slot {
  float score;
  const CandidateId* key;
  std::size_t index;
};

struct PushOutcome {
  enum class Kind : std::uint8_t { Added, Replaced, Refused };
  Kind kind;
  std::size_t evicted = 0;  // Replaced only
};

class BoundedHeap {
 public:
  // Keeps its slots in `storage` (emptied), with room for min(capacity, 64)
  // slots up front.
  explicit BoundedHeap(std::size_t capacity, std::vector<Slot> storage = {});
  // `key` stays where it is while its slot is in the heap.
  PushOutcome push(const CandidateId& key, std::size_t index, float score);
  // True when the heap is full and `score` is below its worst, so that no
  // identifier could get it in.
  bool refuses(float score) const {
    return heap_.size() >= capacity_ && (heap_.empty() || total_cmp(score, heap_.front().score) < 0);
  }
  // Once the heap is full, the total_order_key of its worst score: `refuses`
  // every score whose key is below it.
  std::optional<std::int32_t> refusal_bar() const {
    if (heap_.size() < capacity_ || heap_.empty()) return std::nullopt;
    return total_order_key(heap_.front().score);
  }
  // True when a push of (key, score) would not be refused.
  bool admits(const CandidateId& key, float score) const {
    if (heap_.size() < capacity_) return true;
    if (heap_.empty()) return false;
    const Slot& root = heap_.front();
    int c = total_cmp(score, root.score);
    return c > 0 || (c == 0 && compare(*root.key, key) > 0);
  }
  std::size_t size() const { return heap_.size(); }
  // Indices best first (higher score, then smaller key); consumes the heap,
  // whose storage goes back to `storage` (emptied) when given.
  std::vector<std::size_t> into_sorted_indices(std::vector<Slot>* storage = nullptr) &&;

 private:
  std::size_t capacity_;
  std::vector<Slot> heap_;
};

}  // namespace vantorel
