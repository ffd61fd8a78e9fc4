#pragma once
// Score order of a list: the highest score first by the total order, then a
// tie order among equal scores.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vantorel {

// The positions 0..n-1 of a list in score order: by `key(i)`, the
// total_order_key of item i's score, highest first, and items of equal keys
// by `less(i, j)`, a strict order under which no two items are equal, so
// that the result is the one order the items have. A long list is ordered by
// its keys a byte at a time (a stable radix sort), then each run of equal
// keys by `less`.
template <class Key, class Less>
std::vector<std::size_t> score_order(std::size_t n, Key&& key, Less&& less) {
  std::vector<std::size_t> order(n);
  // A list already in score order (as a pool often is by its fused scores)
  // is found out in one pass.
  std::size_t in_order = 1;
  for (std::int32_t before = n ? key(0) : 0; in_order < n; ++in_order) {
    const std::int32_t k = key(in_order);
    if (k > before || (k == before && !less(in_order - 1, in_order))) break;
    before = k;
  }
  if (in_order >= n || n > UINT32_MAX) {
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    if (in_order < n) {  // positions too wide for the words below
      std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const std::int32_t ka = key(a), kb = key(b);
        return ka != kb ? ka > kb : less(a, b);
      });
    }
    return order;
  }
  // Each item as the word (rank << 32 | position), the rank ascending from
  // the highest key; the words become the positions at the end.
  static_assert(sizeof(std::size_t) == sizeof(std::uint64_t));
  std::vector<std::size_t>& words = order;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t rank = ~(static_cast<std::uint32_t>(key(i)) ^ 0x80000000u);
    words[i] = std::size_t{rank} << 32 | i;
  }
  auto position = [](std::size_t w) { return w & UINT32_MAX; };
  constexpr std::size_t kRadixFrom = 256;
  if (n < kRadixFrom) {
    std::sort(words.begin(), words.end(), [&](std::size_t a, std::size_t b) {
      return a >> 32 != b >> 32 ? a < b : less(position(a), position(b));
    });
  } else {
    // The histogram of every byte of the ranks, then a pass for each byte.
    std::array<std::array<std::size_t, 256>, 4> start{};
    for (std::size_t w : words) {
      for (unsigned b = 0; b < 4; ++b) ++start[b][(w >> (32 + 8 * b)) & 0xFF];
    }
    std::vector<std::size_t> sorted(n);
    for (unsigned b = 0; b < 4; ++b) {
      if (std::find(start[b].begin(), start[b].end(), n) != start[b].end()) continue;  // one value: no change
      std::size_t sum = 0;
      for (std::size_t& s : start[b]) sum += std::exchange(s, sum);
      const unsigned shift = 32 + 8 * b;
      for (std::size_t w : words) sorted[start[b][(w >> shift) & 0xFF]++] = w;
      words.swap(sorted);
    }
    for (std::size_t i = 0, end = 0; i < n; i = end) {
      for (end = i + 1; end < n && words[end] >> 32 == words[i] >> 32;) ++end;
      if (end - i > 1) {
        std::sort(words.begin() + std::ptrdiff_t(i), words.begin() + std::ptrdiff_t(end),
                  [&](std::size_t a, std::size_t b) { return less(position(a), position(b)); });
      }
    }
  }
  for (std::size_t& w : words) w = position(w);
  return order;
}

}  // namespace vantorel
