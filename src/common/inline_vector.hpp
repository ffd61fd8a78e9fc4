#pragma once
// A vector whose first N elements live inline: a list that short costs no
// allocation, and a longer one takes no more room in its owner than the
// inline elements do. For small, trivially copyable elements.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace vantorel {

template <class T, std::size_t N>
class InlineVector {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T> && N > 0);

 public:
  InlineVector() = default;
  explicit InlineVector(std::size_t n) { assign(n, T{}); }
  InlineVector(std::initializer_list<T> items) { copy_from(items.begin(), items.size()); }
  InlineVector(const InlineVector& o) { copy_from(o.begin(), o.size()); }
  InlineVector& operator=(const InlineVector& o) {
    if (this != &o) copy_from(o.begin(), o.size());
    return *this;
  }
  // A moved-from list is empty.
  InlineVector(InlineVector&& o) noexcept { take(o); }
  InlineVector& operator=(InlineVector&& o) noexcept {
    if (this != &o) {
      release();
      take(o);
    }
    return *this;
  }
  ~InlineVector() { release(); }

  void assign(std::size_t n, const T& value) {
    resize_uninitialised(n);
    std::fill_n(begin(), n, value);
  }
  void push_back(const T& value) {
    if (n_ == capacity_) {
      InlineVector grown;
      grown.resize_uninitialised(2 * std::size_t{capacity_});
      std::copy_n(begin(), n_, grown.begin());
      grown.n_ = n_;
      *this = std::move(grown);
    }
    begin()[n_++] = value;
  }
  std::size_t size() const { return n_; }
  T* begin() { return on_heap() ? items_.heap : items_.inline_items; }
  const T* begin() const { return on_heap() ? items_.heap : items_.inline_items; }
  T* end() { return begin() + n_; }
  const T* end() const { return begin() + n_; }
  T& operator[](std::size_t i) { return begin()[i]; }
  const T& operator[](std::size_t i) const { return begin()[i]; }

 private:
  // The inline elements, or the pointer to the heap's once the list has
  // outgrown them.
  union Items {
    Items() : inline_items{} {}
    T inline_items[N];
    T* heap;
  };

  bool on_heap() const { return capacity_ > N; }
  // Size n, with room for exactly n elements when they do not fit inline;
  // the elements' values are left to the caller.
  void resize_uninitialised(std::size_t n) {
    if (n > capacity_ || (on_heap() && n <= N)) {
      release();
      if (n > N) {
        T* heap = std::allocator<T>().allocate(n);
        std::uninitialized_value_construct_n(heap, n);
        items_.heap = heap;
        capacity_ = static_cast<std::uint32_t>(n);
      }
    }
    n_ = static_cast<std::uint32_t>(n);
  }
  void copy_from(const T* items, std::size_t n) {
    resize_uninitialised(n);
    std::copy_n(items, n, begin());
  }
  // Takes o's elements, this being empty and inline; o is left so.
  void take(InlineVector& o) {
    if (o.on_heap()) {
      items_.heap = o.items_.heap;
      o.become_inline();
    } else {
      std::copy_n(o.items_.inline_items, o.n_, items_.inline_items);
    }
    capacity_ = std::exchange(o.capacity_, std::uint32_t{N});
    n_ = std::exchange(o.n_, 0);
  }
  // Empty and inline.
  void release() {
    if (on_heap()) {
      std::allocator<T>().deallocate(items_.heap, capacity_);
      become_inline();
    }
    capacity_ = N;
    n_ = 0;
  }
  void become_inline() { ::new (&items_) Items(); }

  Items items_;
  std::uint32_t n_ = 0;
  std::uint32_t capacity_ = N;
};

}  // namespace vantorel
