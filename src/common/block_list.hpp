#pragma once
// A list that grows by blocks of a fixed size. Elements never move once
// added, and growing never holds the list twice (as a vector's doubling
// does), so a long list costs little more than its elements. A cleared list
// keeps its blocks' storage.
#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

namespace vantorel {

template <class T, std::size_t kBlock = 1024>
class BlockList {
 public:
  template <bool kConst>
  class Iter {
    using List = std::conditional_t<kConst, const BlockList, BlockList>;

   public:
    Iter(List* list, std::size_t i) : list_(list), i_(i) {}
    auto& operator*() const { return (*list_)[i_]; }
    auto* operator->() const { return &(*list_)[i_]; }
    Iter& operator++() {
      ++i_;
      return *this;
    }
    bool operator==(const Iter& o) const { return i_ == o.i_; }

   private:
    List* list_;
    std::size_t i_;
  };

  void push_back(T&& value) { emplace_back(std::move(value)); }
  template <class... Args>
  T& emplace_back(Args&&... args) {
    const std::size_t block = size_ / kBlock;
    if (block == blocks_.size()) {
      blocks_.emplace_back();
      // The first block grows as a vector does from a few elements, so a
      // short list stays small.
      blocks_.back().reserve(block > 0 ? kBlock : std::min<std::size_t>(kBlock, 16));
    }
    T& added = blocks_[block].emplace_back(std::forward<Args>(args)...);
    ++size_;
    return added;
  }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return blocks_[i / kBlock][i % kBlock]; }
  const T& operator[](std::size_t i) const { return blocks_[i / kBlock][i % kBlock]; }
  Iter<false> begin() { return {this, 0}; }
  Iter<false> end() { return {this, size_}; }
  Iter<true> begin() const { return {this, 0}; }
  Iter<true> end() const { return {this, size_}; }
  // Destroys the elements; the blocks keep their storage for the next ones.
  void clear() {
    for (std::vector<T>& b : blocks_) b.clear();
    size_ = 0;
  }

 private:
  std::vector<std::vector<T>> blocks_;
  std::size_t size_ = 0;
};

}  // namespace vantorel
