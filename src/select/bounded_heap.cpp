#include "select/bounded_heap.hpp"

#include <algorithm>
#include <utility>

#include "common/float_order.hpp"
#include "common/score_sort.hpp"

namespace vantorel {

namespace {

constexpr std::size_t kInitialReserve = 1024;

// True when `a` is strictly worse than `b`: a lower score by the total
// order, or the same score bits and a larger key.
inline bool worse(const Slot& a, const Slot& b) {
  int c = total_cmp(a.score, b.score);
  if (c != 0) return c < 0;
  return compare(*a.key, *b.key) > 0;
}

// Moves the slot at `pos` towards the root while it is strictly worse than
// its parent.
void sift_up(std::vector<Slot>& heap, std::size_t pos) {
  Slot moving = std::move(heap[pos]);
  while (pos > 0) {
    std::size_t parent = (pos - 1) / 2;
    if (!worse(moving, heap[parent])) break;
    heap[pos] = std::move(heap[parent]);
    pos = parent;
  }
  heap[pos] = std::move(moving);
}

// Carries the slot at the root down to the bottom along the worse child
// (the right child when the two are equal), then lets it rise again.
void sift_down_to_bottom(std::vector<Slot>& heap) {
  const std::size_t end = heap.size();
  Slot moving = std::move(heap[0]);
  std::size_t hole = 0;
  std::size_t child = 1;
  while (end >= 2 && child <= end - 2) {
    if (!worse(heap[child], heap[child + 1])) ++child;
    heap[hole] = std::move(heap[child]);
    hole = child;
    child = 2 * hole + 1;
  }
  if (child + 1 == end) {
    heap[hole] = std::move(heap[child]);
    hole = child;
  }
  heap[hole] = std::move(moving);
  sift_up(heap, hole);
}

}  // namespace

BoundedHeap::BoundedHeap(std::size_t capacity, std::vector<Slot> storage)
    : capacity_(capacity), heap_(std::move(storage)) {
  heap_.clear();
  heap_.reserve(std::min(capacity, kInitialReserve));
}

PushOutcome BoundedHeap::push(const CandidateId& key, std::size_t index, float score) {
  if (heap_.size() < capacity_) {
    heap_.push_back(Slot{score, &key, index});
    sift_up(heap_, heap_.size() - 1);
    return {PushOutcome::Kind::Added};
  }
  if (heap_.empty()) return {PushOutcome::Kind::Refused};

  const Slot& root = heap_.front();
  int c = total_cmp(score, root.score);
  if (c < 0 || (c == 0 && compare(*root.key, key) <= 0)) return {PushOutcome::Kind::Refused};

  // Remove the root: the last slot takes its place and settles.
  Slot last = std::move(heap_.back());
  heap_.pop_back();
  std::size_t evicted;
  if (heap_.empty()) {
    evicted = last.index;
  } else {
    evicted = heap_.front().index;
    heap_.front() = std::move(last);
    sift_down_to_bottom(heap_);
  }

  heap_.push_back(Slot{score, &key, index});
  sift_up(heap_, heap_.size() - 1);
  return {PushOutcome::Kind::Replaced, evicted};
}

std::vector<std::size_t> BoundedHeap::into_sorted_indices(std::vector<Slot>* storage) && {
  // Equal slots keep their heap order, as a stable sort would leave them.
  std::vector<std::size_t> order = score_order(
      heap_.size(), [this](std::size_t i) { return total_order_key(heap_[i].score); },
      [this](std::size_t a, std::size_t b) {
        if (const int c = compare(*heap_[a].key, *heap_[b].key)) return c < 0;
        return a < b;
      });
  for (std::size_t& i : order) i = heap_[i].index;
  heap_.clear();
  if (storage) {
    *storage = std::move(heap_);
  } else {
    heap_.shrink_to_fit();
  }
  return order;
}

}  // namespace vantorel
