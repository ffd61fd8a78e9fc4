#pragma once
// A list that grows by blocks: a few small ones, each twice the one before,
// then blocks of a fixed size. Elements never move once added, growing never
// holds the list twice (as a vector's doubling does), and a short list stays
// small. A cleared list keeps its blocks' storage.
#include <algorithm>
#include <bit>
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
    const std::size_t block = block_of(size_);
    if (block == blocks_.size()) blocks_.emplace_back().reserve(block_size(block));
    T& added = blocks_[block].emplace_back(std::forward<Args>(args)...);
    ++size_;
    return added;
  }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return blocks_[block_of(i)][i - block_start(block_of(i))]; }
  const T& operator[](std::size_t i) const { return blocks_[block_of(i)][i - block_start(block_of(i))]; }
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
  // Blocks 0 to kLevels hold kFirst, kFirst, 2 kFirst, ... kBlock / 2
  // elements, kBlock in all; each block after them kBlock.
  static_assert(std::has_single_bit(kBlock));
  static constexpr std::size_t kFirst = std::min<std::size_t>(16, kBlock);
  static constexpr std::size_t kLevels = std::bit_width(kBlock / kFirst) - 1;
  static std::size_t block_of(std::size_t i) {
    return i < kBlock ? std::bit_width(i / kFirst) : kLevels + i / kBlock;
  }
  static std::size_t block_start(std::size_t b) {
    if (b > kLevels) return (b - kLevels) * kBlock;
    return b == 0 ? 0 : kFirst << (b - 1);
  }
  static std::size_t block_size(std::size_t b) { return b == 0 ? kFirst : b > kLevels ? kBlock : block_start(b); }

  std::vector<std::vector<T>> blocks_;
  std::size_t size_ = 0;
};

}  // namespace vantorel
