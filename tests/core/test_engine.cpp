// Whole runs of the core engine over a plain candidate type.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.hpp"

namespace vantorel {
namespace {

struct Cand {
  CandidateId id;
  Scores scores;  // raw values, read by SlotScorer
  std::vector<std::optional<std::string>> groups;
  std::vector<std::string> cover;
  std::uint32_t cost = 0;
};

// Reads the candidate's own value for its axis.
class SlotScorer final : public Scorer<Cand> {
 public:
  SlotScorer(std::string id, std::size_t index, Cost cost, ScoreScale scale = ScoreScale::Unit)
      : id_(std::move(id)), index_(index), cost_(cost), scale_(scale) {}
  ScorerId id() const override { return id_; }
  ScoreScale scale() const override { return scale_; }
  Cost cost() const override { return cost_; }
  std::optional<float> score(const Cand& c) const override {
    auto v = c.scores.at(index_);
    return v && norm ? norm->apply(*v) : v;
  }
  // With `direct`, the engine reads the slot itself instead of calling score.
  std::optional<SlotRead> slot_read() const override {
    return direct ? std::optional<SlotRead>(SlotRead{index_, norm}) : std::nullopt;
  }
  std::vector<std::optional<float>> score_batch(const std::vector<const Cand*>& batch) const override {
    ++batch_calls;
    last_batch = batch.size();
    std::vector<std::optional<float>> out;
    for (const Cand* c : batch) out.push_back(score(*c));
    if (drop_last && !out.empty()) out.pop_back();
    return out;
  }
  mutable int batch_calls = 0;
  mutable std::size_t last_batch = 0;
  bool drop_last = false;
  bool direct = false;
  std::optional<Normalizer> norm;

 private:
  std::string id_;
  std::size_t index_;
  Cost cost_;
  ScoreScale scale_;
};

Cand cand(std::uint64_t id, Scores s, std::vector<std::optional<std::string>> groups = {}) {
  return Cand{CandidateId(id), std::move(s), std::move(groups), {}, 0};
}

auto source(std::vector<Cand>& items) {
  return [&items, i = std::size_t{0}]() mutable -> std::optional<Cand> {
    if (i == items.size()) return std::nullopt;
    return std::move(items[i++]);
  };
}

std::unique_ptr<Scorer<Cand>> axis(std::string id, std::size_t index, Cost cost = Cost::Cheap,
                                   ScoreScale scale = ScoreScale::Unit) {
  return std::make_unique<SlotScorer>(std::move(id), index, cost, scale);
}

std::uint64_t count(const Outcome<Cand>& o, RejectReason::Kind k) { return o.rejected_counts[k]; }

std::vector<std::uint64_t> ranked_ids(const Outcome<Cand>& o) {
  std::vector<std::uint64_t> ids;
  for (const auto& r : o.ranked) ids.push_back(r.candidate.id.number());
  return ids;
}

// ---- validation -----------------------------------------------------------

struct ValidateCase {
  const char* name;
  std::function<Engine<Cand>()> make;
  std::optional<ErrorKind> expected;
  std::string id;
};

class Validate : public ::testing::TestWithParam<ValidateCase> {};

TEST_P(Validate, ReportsFirstFaultInFixedOrder) {
  const auto& tc = GetParam();
  auto err = tc.make().validate();
  ASSERT_EQ(err.has_value(), tc.expected.has_value());
  if (err) {
    EXPECT_EQ(err->kind, *tc.expected);
    EXPECT_EQ(err->id, tc.id);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Validate,
    ::testing::Values(
        ValidateCase{"no_scorer_before_everything",
                     [] { return Engine<Cand>().pool_multiplier(0).budget(Budget::top_k(0)); },
                     ErrorKind::NoScorers, ""},
        ValidateCase{"duplicate_at_third",
                     [] { return Engine<Cand>().scorer(axis("a", 0)).scorer(axis("b", 1)).scorer(axis("a", 2)); },
                     ErrorKind::DuplicateScorer, "a"},
        ValidateCase{"scale_before_duplicate",
                     [] {
                       return Engine<Cand>()
                           .fuse(Fusion::weighted_sum({}))
                           .scorer(axis("a", 0, Cost::Cheap, ScoreScale::Unbounded))
                           .scorer(axis("a", 1));
                     },
                     ErrorKind::ScaleMismatch, "a"},
        ValidateCase{"unknown_weight_even_zero",
                     [] {
                       return Engine<Cand>().fuse(Fusion::weighted_sum({{"c", 0.0f}})).scorer(axis("a", 0));
                     },
                     ErrorKind::UnknownWeightScorer, "c"},
        ValidateCase{"unknown_admission",
                     [] { return Engine<Cand>().scorer(axis("a", 0)).admission("x"); },
                     ErrorKind::UnknownAdmission, "x"},
        ValidateCase{"expensive_admission",
                     [] { return Engine<Cand>().scorer(axis("e", 0, Cost::Expensive)).admission("e"); },
                     ErrorKind::ExpensiveAdmission, "e"},
        ValidateCase{"rrf_only_expensive",
                     [] { return Engine<Cand>().scorer(axis("e", 0, Cost::Expensive)); },
                     ErrorKind::RrfWithoutAdmission, ""},
        ValidateCase{"rrf_with_one_cheap",
                     [] { return Engine<Cand>().scorer(axis("e", 0, Cost::Expensive)).scorer(axis("c", 1)); },
                     std::nullopt, ""},
        ValidateCase{"multiplier_before_budget",
                     [] { return Engine<Cand>().scorer(axis("a", 0)).pool_multiplier(0).budget(Budget::top_k(0)); },
                     ErrorKind::InvalidPoolMultiplier, ""},
        ValidateCase{"tokens_without_cost",
                     [] { return Engine<Cand>().scorer(axis("a", 0)).budget(Budget::tokens(5)); },
                     ErrorKind::InvalidBudget, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- stage 1 --------------------------------------------------------------

TEST(EngineRun, PoolCapacityFromBudgetAndMultiplier) {
  struct Case {
    Budget budget;
    std::uint32_t multiplier;
    std::uint64_t expected;
  };
  for (const Case& tc : {Case{Budget::top_k(3), 2, 6}, Case{Budget::tail(0.1f, 0), 32, 32},
                         Case{Budget::tokens(100), 32, 3200},
                         Case{Budget::top_k(0xFFFFFFFFu), 0xFFFFFFFFu, 0xFFFFFFFFull * 0xFFFFFFFFull}}) {
    auto e = Engine<Cand>()
                 .scorer(axis("a", 0))
                 .budget(tc.budget)
                 .pool_multiplier(tc.multiplier)
                 .cost([](const Cand& c) { return c.cost; });
    std::vector<Cand> none;
    auto o = e.run(source(none));
    ASSERT_TRUE(o.has_value());
    EXPECT_EQ(o->trace.pool_capacity, tc.expected);
  }
}

// Slots read by the engine itself give the outcome of calling the scorers.
TEST(EngineRun, DirectSlotReadsMatchScorerCalls) {
  std::mt19937 rng(11);
  const std::vector<std::optional<float>> values = {std::nullopt, 0.1f, 0.5f, -2.0f, 3.0f, std::numeric_limits<float>::quiet_NaN()};
  for (int round = 0; round < 60; ++round) {
    std::vector<Cand> items;
    for (std::uint64_t i = 0, n = rng() % 30; i < n; ++i)
      items.push_back(cand(i, {values[rng() % values.size()], values[rng() % values.size()]}));
    auto run = [&](bool direct) {
      auto a = std::make_unique<SlotScorer>("a", 0, Cost::Cheap), b = std::make_unique<SlotScorer>("b", 1, Cost::Cheap);
      a->direct = b->direct = direct;
      a->norm = Normalizer::sigmoid();
      std::vector<Cand> copy = items;
      return Engine<Cand>().scorer(std::move(a)).scorer(std::move(b)).fuse(Fusion::max())
          .missing(round % 2 ? MissingPolicy::reject() : MissingPolicy::skip()).budget(Budget::top_k(2))
          .pool_multiplier(2).run(source(copy)).value();
    };
    auto called = run(false), direct = run(true);
    ASSERT_EQ(ranked_ids(direct), ranked_ids(called));
    for (std::size_t i = 0; i < called.ranked.size(); ++i)
      EXPECT_EQ(std::bit_cast<std::uint32_t>(direct.ranked[i].fused), std::bit_cast<std::uint32_t>(called.ranked[i].fused));
    ASSERT_EQ(direct.rejected.size(), called.rejected.size());
    for (std::size_t i = 0; i < called.rejected.size(); ++i) {
      EXPECT_EQ(direct.rejected[i].candidate.id.number(), called.rejected[i].candidate.id.number());
      EXPECT_EQ(direct.rejected[i].reason.kind, called.rejected[i].reason.kind);
    }
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(direct.trace.scorers[i].calls, called.trace.scorers[i].calls);
      EXPECT_EQ(direct.trace.scorers[i].missing, called.trace.scorers[i].missing);
    }
  }
}

TEST(BlockList, KeepsOrderAcrossBlocks) {
  BlockList<int, 4> list;
  for (int i = 0; i < 11; ++i) list.push_back(int{i});
  ASSERT_EQ(list.size(), 11u);
  int expect = 0;
  for (int v : list) EXPECT_EQ(v, expect++);
  EXPECT_EQ(expect, 11);
  EXPECT_EQ(list[9], 9);
}

TEST(EngineRun, UnaryConstraintCostsNoScorerCall) {
  auto e = Engine<Cand>()
               .scorer(axis("a", 0))
               .scorer(axis("b", 1))
               .unary(std::make_unique<MinAxis<Cand>>("min_b", 1, 0.5f));
  std::vector<Cand> items{cand(1, {0.3f, 0.4f}), cand(2, {0.3f, 0.6f})};
  auto o = e.run(source(items));
  ASSERT_TRUE(o.has_value());
  ASSERT_EQ(count(*o, RejectReason::Kind::UnaryConstraint), 1u);
  EXPECT_EQ(o->rejected[0].reason.detail(), std::optional<std::string>("min_b"));
  EXPECT_EQ(o->trace.scorers[0].calls, 1u);
  EXPECT_EQ(o->trace.scorers[1].calls, 1u);
}

TEST(EngineRun, RejectPolicyStopsScoringAtFirstMissingCheapAxis) {
  auto e = Engine<Cand>().scorer(axis("a", 0)).scorer(axis("b", 1)).missing(MissingPolicy::reject());
  std::vector<Cand> items{cand(1, {std::nullopt, 0.5f}), cand(2, {std::numeric_limits<float>::quiet_NaN(), 0.5f})};
  auto o = e.run(source(items));
  ASSERT_TRUE(o.has_value());
  ASSERT_EQ(count(*o, RejectReason::Kind::NotScored), 2u);
  EXPECT_EQ(o->rejected[0].reason.detail(), std::optional<std::string>("a"));
  EXPECT_EQ(o->trace.scorers[0].calls, 2u);
  EXPECT_EQ(o->trace.scorers[0].missing, 2u);  // NaN counts as missing
  EXPECT_EQ(o->trace.scorers[1].calls, 0u);
}

TEST(EngineRun, CheckpointCanAbortStageOneAndTheSelection) {
  for (int abort_at : {1, 2}) {  // 1: during stage 1; 2: in the selection
    int calls = 0;
    auto e = Engine<Cand>().scorer(axis("a", 0)).budget(Budget::top_k(5)).checkpoint([&] {
      if (++calls == abort_at) throw RunAborted{};
    });
    std::vector<Cand> items;
    const std::uint64_t n = abort_at == 1 ? 5000 : 10;  // stage 1 checks every 4096 candidates
    for (std::uint64_t i = 0; i < n; ++i) items.push_back(cand(i, {float(i)}));
    EXPECT_THROW((void)e.run(source(items)), RunAborted);
  }
}

}  // namespace
}  // namespace vantorel
