#pragma once
// A vector whose first N elements live inline: a list that short costs no
// allocation. For small, trivially copyable elements.
#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>
#include <utility>
#include <vector>

namespace vantorel {

template <class T, std::size_t N>
class InlineVector {
 public:
  InlineVector() = default;
  explicit InlineVector(std::size_t n) { assign(n, T{}); }
  InlineVector(std::initializer_list<T> items) {
    assign(items.size(), T{});
    std::copy(items.begin(), items.end(), begin());
  }
  InlineVector(const InlineVector&) = default;
  InlineVector& operator=(const InlineVector&) = default;
  // A moved-from list is empty.
  InlineVector(InlineVector&& o) noexcept
      : inline_(o.inline_), heap_(std::move(o.heap_)), n_(std::exchange(o.n_, 0)) {}
  InlineVector& operator=(InlineVector&& o) noexcept {
    inline_ = o.inline_;
    heap_ = std::move(o.heap_);
    n_ = std::exchange(o.n_, 0);
    return *this;
  }

  void assign(std::size_t n, const T& value) {
    n_ = n;
    if (n > N) {
      heap_.assign(n, value);
    } else {
      heap_.clear();
      std::fill_n(inline_.begin(), n, value);
    }
  }
  void push_back(const T& value) {
    if (n_ < N) {
      inline_[n_++] = value;
      return;
    }
    if (n_ == N) heap_.assign(inline_.begin(), inline_.end());
    heap_.push_back(value);
    ++n_;
  }
  std::size_t size() const { return n_; }
  T* begin() { return n_ > N ? heap_.data() : inline_.data(); }
  const T* begin() const { return n_ > N ? heap_.data() : inline_.data(); }
  T* end() { return begin() + n_; }
  const T* end() const { return begin() + n_; }
  T& operator[](std::size_t i) { return begin()[i]; }
  const T& operator[](std::size_t i) const { return begin()[i]; }

 private:
  std::array<T, N> inline_{};
  std::vector<T> heap_;
  std::size_t n_ = 0;
};

}  // namespace vantorel
