// The bounded stage-1 pool: admission, eviction, ties and the sorted hand-back.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "select/bounded_heap.hpp"

namespace vantorel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Keys written as digits are numbers, anything else text.
CandidateId key(const std::string& t) {
  if (t.find_first_not_of("0123456789") == std::string::npos) return CandidateId(std::stoull(t));
  return CandidateId(t);
}

// Each push takes its position as index. `kinds` holds one letter per push:
// A added, R replaced, - refused; `evicted` lists the replaced indices in turn.
struct Case {
  const char* name;
  std::size_t capacity;
  std::vector<std::pair<std::string, float>> pushes;
  std::string kinds;
  std::vector<std::size_t> evicted, sorted;
};

TEST(BoundedHeap, PushesAndSortedIndices) {
  const float max = std::numeric_limits<float>::max();
  const Case cases[] = {
      {"full_heap_replaces_the_worst", 3, {{"1", 1.0f}, {"2", 5.0f}, {"3", 3.0f}, {"4", 4.0f}, {"5", 2.0f}},
       "AAAR-", {0}, {1, 3, 2}},
      // Equal scores: the smaller key wins, and the incumbent stays on an equal key.
      {"ties_by_key", 1, {{"7", 2.0f}, {"7", 2.0f}, {"8", 2.0f}, {"a", 2.0f}, {"0", 1.0f}, {"3", 2.0f}, {"z", 2.5f}},
       "A----RR", {0, 5}, {6}},
      {"text_prefix_is_smaller", 1, {{"abc", 1.0f}, {"ab", 1.0f}, {"abc", 1.0f}}, "AR-", {0}, {1}},
      {"text_prefix_sorts_first", 2, {{"abc", 1.0f}, {"ab", 1.0f}}, "AA", {}, {1, 0}},
      // Total order on scores: -0 < +0 < inf < NaN; a negative NaN is below every number.
      {"total_order", 1, {{"1", -0.0f}, {"2", 0.0f}, {"0", -0.0f}, {"3", kInf}, {"4", kNaN}, {"0", kInf}, {"0", max}},
       "AR-RR--", {0, 1, 3}, {4}},
      {"negative_nan_lowest", 1, {{"0", -kNaN}, {"9", -kInf}}, "AR", {0}, {1}},
      {"sorted_total_order", 5, {{"0", -0.0f}, {"1", kNaN}, {"2", -kNaN}, {"3", 0.0f}, {"4", -kInf}},
       "AAAAA", {}, {1, 3, 0, 4, 2}},
      {"capacity_zero", 0, {{"1", kInf}, {"2", kNaN}}, "--", {}, {}},
      // Slots equal in score and key keep their places as removal left them:
      // sinking from the root takes the right child between equals, which
      // decides both the next eviction and the sorted order of equals.
      {"equal_children_sink_right", 4, {{"100", 0.0f}, {"1", 1.0f}, {"1", 1.0f}, {"1", 1.0f}, {"0", 5.0f}, {"0", 6.0f}},
       "AAAARR", {0, 2}, {5, 4, 3, 1}},
  };
  for (const auto& c : cases) {
    BoundedHeap h(c.capacity);
    std::string kinds;
    std::vector<std::size_t> evicted;
    for (std::size_t i = 0; i < c.pushes.size(); ++i) {
      const CandidateId k = key(c.pushes[i].first);
      const bool admits = h.admits(k, c.pushes[i].second);
      const PushOutcome r = h.push(k, i, c.pushes[i].second);
      kinds += "AR-"[static_cast<int>(r.kind)];
      EXPECT_EQ(admits, r.kind != PushOutcome::Kind::Refused) << c.name << " " << i;
      if (r.kind == PushOutcome::Kind::Replaced) evicted.push_back(r.evicted);
    }
    EXPECT_EQ(kinds, c.kinds) << c.name;
    EXPECT_EQ(evicted, c.evicted) << c.name;
    EXPECT_EQ(std::move(h).into_sorted_indices(), c.sorted) << c.name;
  }
}

}  // namespace
}  // namespace vantorel
