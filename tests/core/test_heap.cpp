// The bounded stage-1 pool: admission, eviction, ties and the sorted hand-back.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "common/float_order.hpp"
#include "select/bounded_heap.hpp"

namespace vantorel {
namespace {

using K = PushOutcome::Kind;
constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

CandidateId num(std::uint64_t n) { return CandidateId(n); }
CandidateId text(const char* t) { return CandidateId(std::string(t)); }

TEST(BoundedHeap, FullHeapReplacesTheWorst) {
  BoundedHeap h(3);
  EXPECT_EQ(h.push(num(1), 10, 1.0f).kind, K::Added);
  EXPECT_EQ(h.push(num(2), 11, 5.0f).kind, K::Added);
  EXPECT_EQ(h.push(num(3), 12, 3.0f).kind, K::Added);
  auto r = h.push(num(4), 13, 4.0f);
  EXPECT_EQ(r.kind, K::Replaced);
  EXPECT_EQ(r.evicted, 10u);
  EXPECT_EQ(h.push(num(5), 14, 2.0f).kind, K::Refused);
  EXPECT_EQ(h.size(), 3u);
  EXPECT_EQ(std::move(h).into_sorted_indices(), (std::vector<std::size_t>{11, 13, 12}));
}

// Capacity 1 holding (2.0, id 7): each row pushes onto a fresh copy.
TEST(BoundedHeap, TiesGoToTheSmallerKeyAndTheIncumbent) {
  struct Case {
    CandidateId key;
    float score;
    K expect;
  };
  const Case cases[] = {
      {num(3), 2.0f, K::Replaced},    {num(7), 2.0f, K::Refused},  {num(8), 2.0f, K::Refused},
      {text("a"), 2.0f, K::Refused},  {num(0), 1.0f, K::Refused},  {text("z"), 2.5f, K::Replaced},
  };
  for (const auto& c : cases) {
    BoundedHeap h(1);
    ASSERT_EQ(h.push(num(7), 0, 2.0f).kind, K::Added);
    auto r = h.push(c.key, 1, c.score);
    EXPECT_EQ(r.kind, c.expect) << c.key.display();
    if (r.kind == K::Replaced) {
      EXPECT_EQ(r.evicted, 0u);
    }
    EXPECT_EQ(std::move(h).into_sorted_indices(),
              (std::vector<std::size_t>{r.kind == K::Replaced ? 1u : 0u}));
  }
}

TEST(BoundedHeap, TextPrefixIsTheSmallerKey) {
  BoundedHeap h(1);
  h.push(text("abc"), 0, 1.0f);
  EXPECT_EQ(h.push(text("ab"), 1, 1.0f).kind, K::Replaced);
  EXPECT_EQ(h.push(text("abc"), 2, 1.0f).kind, K::Refused);

  BoundedHeap both(2);
  both.push(text("abc"), 0, 1.0f);
  both.push(text("ab"), 1, 1.0f);
  EXPECT_EQ(std::move(both).into_sorted_indices(), (std::vector<std::size_t>{1, 0}));
}

TEST(BoundedHeap, TotalOrderOnScores) {
  BoundedHeap h(1);
  h.push(num(1), 0, -0.0f);
  EXPECT_EQ(h.push(num(2), 1, 0.0f).kind, K::Replaced);
  EXPECT_EQ(h.push(num(0), 2, -0.0f).kind, K::Refused);
  EXPECT_EQ(h.push(num(3), 3, kInf).kind, K::Replaced);
  EXPECT_EQ(h.push(num(4), 4, kNaN).kind, K::Replaced);
  EXPECT_EQ(h.push(num(0), 5, kInf).kind, K::Refused);
  EXPECT_EQ(h.push(num(0), 6, std::numeric_limits<float>::max()).kind, K::Refused);

  // A negative NaN is below every number.
  BoundedHeap low(1);
  low.push(num(0), 0, -kNaN);
  EXPECT_EQ(low.push(num(9), 1, -kInf).kind, K::Replaced);

  BoundedHeap order(5);
  const float scores[] = {-0.0f, kNaN, -kNaN, 0.0f, -kInf};
  for (std::size_t i = 0; i < 5; ++i) order.push(num(i), i, scores[i]);
  EXPECT_EQ(std::move(order).into_sorted_indices(), (std::vector<std::size_t>{1, 3, 0, 4, 2}));
}

TEST(BoundedHeap, CapacityZeroRefusesEverything) {
  BoundedHeap h(0);
  EXPECT_EQ(h.push(num(1), 0, kInf).kind, K::Refused);
  EXPECT_EQ(h.push(num(2), 1, kNaN).kind, K::Refused);
  EXPECT_EQ(h.size(), 0u);
  EXPECT_TRUE(std::move(h).into_sorted_indices().empty());
}

// Slots equal in score and key keep their places in the array as removal
// left them: sinking from the root takes the right child between equals,
// which decides both the next eviction and the sorted order of equals.
TEST(BoundedHeap, EqualChildrenSinkToTheRight) {
  BoundedHeap h(4);
  h.push(num(100), 0, 0.0f);
  h.push(num(1), 1, 1.0f);
  h.push(num(1), 2, 1.0f);
  h.push(num(1), 3, 1.0f);
  auto first = h.push(num(0), 4, 5.0f);
  EXPECT_EQ(first.kind, K::Replaced);
  EXPECT_EQ(first.evicted, 0u);
  auto second = h.push(num(0), 5, 6.0f);
  EXPECT_EQ(second.kind, K::Replaced);
  EXPECT_EQ(second.evicted, 2u);
  EXPECT_EQ(std::move(h).into_sorted_indices(), (std::vector<std::size_t>{5, 4, 3, 1}));
}

}  // namespace
}  // namespace vantorel
