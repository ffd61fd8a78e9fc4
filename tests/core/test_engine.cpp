// Whole runs of the core engine over a plain candidate type.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.hpp"

namespace vantorel {
namespace {

std::uint64_t total(const RejectCounts& c) {
  return std::accumulate(c.by_kind.begin(), c.by_kind.end(), std::uint64_t{0});
}

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

template <class C>
bool complete(const Outcome<C>& o) {
  return o.ranked.size() + total(o.rejected_counts) == o.trace.input_count;
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
        ValidateCase{"rrf_accepts_any_scale",
                     [] { return Engine<Cand>().scorer(axis("a", 0, Cost::Cheap, ScoreScale::Rank)); },
                     std::nullopt, ""},
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
        ValidateCase{"top_k_zero", [] { return Engine<Cand>().scorer(axis("a", 0)).budget(Budget::top_k(0)); },
                     ErrorKind::InvalidBudget, ""},
        ValidateCase{"epsilon_one",
                     [] { return Engine<Cand>().scorer(axis("a", 0)).budget(Budget::tail(1.0f, 5)); },
                     ErrorKind::InvalidBudget, ""},
        ValidateCase{"epsilon_nan",
                     [] {
                       return Engine<Cand>().scorer(axis("a", 0)).budget(
                           Budget::tail(std::numeric_limits<float>::quiet_NaN(), 5));
                     },
                     ErrorKind::InvalidBudget, ""},
        ValidateCase{"epsilon_zero_passes",
                     [] { return Engine<Cand>().scorer(axis("a", 0)).budget(Budget::tail(0.0f, 0)); },
                     std::nullopt, ""},
        ValidateCase{"tokens_without_cost",
                     [] { return Engine<Cand>().scorer(axis("a", 0)).budget(Budget::tokens(5)); },
                     ErrorKind::InvalidBudget, ""},
        ValidateCase{"tokens_with_cost",
                     [] {
                       return Engine<Cand>()
                           .scorer(axis("a", 0))
                           .budget(Budget::tokens(5))
                           .cost([](const Cand& c) { return c.cost; });
                     },
                     std::nullopt, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EngineRun, ValidationErrorLeavesStreamUntouched) {
  int pulls = 0;
  auto e = Engine<Cand>().scorer(axis("a", 0)).budget(Budget::top_k(0));
  auto r = e.run([&]() -> std::optional<Cand> {
    ++pulls;
    return std::nullopt;
  });
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::InvalidBudget);
  EXPECT_EQ(pulls, 0);
}

// ---- stage 1 --------------------------------------------------------------

TEST(EngineRun, EmptyStreamStillRunsStageTwo) {
  auto* expensive = new SlotScorer("e", 1, Cost::Expensive);
  auto e = Engine<Cand>().scorer(axis("a", 0)).scorer(std::unique_ptr<Scorer<Cand>>(expensive));
  std::vector<Cand> none;
  auto o = e.run(source(none));
  ASSERT_TRUE(o.has_value());
  EXPECT_EQ(o->trace.input_count, 0u);
  EXPECT_EQ(o->pool_size, 0u);
  EXPECT_EQ(expensive->batch_calls, 1);
  EXPECT_EQ(o->trace.scorers[1].calls, 0u);
  EXPECT_TRUE(o->ranked.empty());
  EXPECT_EQ(total(o->rejected_counts), 0u);
  EXPECT_TRUE(o->pool_exhausted);
}

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

TEST(EngineRun, OutOfPoolDuringStageOne) {
  auto e = Engine<Cand>().scorer(axis("a", 0)).budget(Budget::top_k(3)).pool_multiplier(2);
  std::vector<Cand> items;
  for (std::uint64_t i = 0; i < 10; ++i) items.push_back(cand(i, {float(i)}));
  auto o = e.run(source(items));
  ASSERT_TRUE(o.has_value());
  EXPECT_EQ(o->pool_size, 6u);
  EXPECT_EQ(count(*o, RejectReason::Kind::OutOfPool), 4u);
  EXPECT_EQ(count(*o, RejectReason::Kind::Outranked), 3u);
  EXPECT_EQ(ranked_ids(*o), (std::vector<std::uint64_t>{9, 8, 7}));
  // Stage-1 rejections come first, in stream order: 0..3 are evicted as 6..9 arrive.
  ASSERT_EQ(o->rejected.size(), 7u);
  for (std::uint64_t i = 0; i < 4; ++i) EXPECT_EQ(o->rejected[i].candidate.id.number(), i);
  EXPECT_TRUE(complete(*o));
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

TEST(EngineRun, RrfAdmitsByFirstCheapAxis) {
  auto e = Engine<Cand>()
               .scorer(axis("e", 0, Cost::Expensive))
               .scorer(axis("c1", 1))
               .scorer(axis("c2", 2))
               .budget(Budget::top_k(1))
               .pool_multiplier(1);
  std::vector<Cand> items{cand(1, {0.0f, 0.2f, 0.9f}), cand(2, {0.0f, 0.8f, 0.1f})};
  auto o = e.run(source(items));
  ASSERT_TRUE(o.has_value());
  EXPECT_EQ(o->trace.admission_scorer, std::optional<ScorerId>("c1"));
  EXPECT_EQ(ranked_ids(*o), (std::vector<std::uint64_t>{2}));
}

TEST(EngineRun, ProvisionalKeyForMissingCheapAxes) {
  // Under Max with every cheap axis missing the key is -inf, so a scored
  // candidate wins the single pool slot; under Impute 0.2 the key is 0.2.
  for (bool imputed : {false, true}) {
    auto e = Engine<Cand>().fuse(Fusion::max()).scorer(axis("a", 0)).budget(Budget::top_k(1)).pool_multiplier(1);
    if (imputed) e = std::move(e).missing(MissingPolicy::impute(0.2f));
    std::vector<Cand> items{cand(1, {std::nullopt}), cand(2, {0.1f})};
    auto o = e.run(source(items));
    ASSERT_TRUE(o.has_value());
    EXPECT_EQ(ranked_ids(*o), (std::vector<std::uint64_t>{imputed ? 1u : 2u}));
  }
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

TEST(EngineRun, TiesAtTheFullPoolFavourTheSmallerId) {
  auto e = Engine<Cand>().scorer(axis("a", 0)).budget(Budget::top_k(1)).pool_multiplier(1);
  std::vector<Cand> items{cand(5, {1.0f}), cand(9, {1.0f}), cand(3, {1.0f})};
  auto o = e.run(source(items));
  ASSERT_TRUE(o.has_value());
  EXPECT_EQ(ranked_ids(*o), (std::vector<std::uint64_t>{3}));
  ASSERT_EQ(o->rejected.size(), 2u);
  EXPECT_EQ(o->rejected[0].candidate.id.number(), 9u);  // refused: incumbent 5 wins
  EXPECT_EQ(o->rejected[1].candidate.id.number(), 5u);  // evicted by 3
}

// ---- stage 2 --------------------------------------------------------------

TEST(EngineRun, BatchLengthMismatchFailsTheRun) {
  auto* bad = new SlotScorer("e", 1, Cost::Expensive);
  bad->drop_last = true;
  auto e = Engine<Cand>().scorer(axis("a", 0)).scorer(std::unique_ptr<Scorer<Cand>>(bad));
  std::vector<Cand> items;
  for (std::uint64_t i = 0; i < 5; ++i) items.push_back(cand(i, {0.5f, 0.5f}));
  auto o = e.run(source(items));
  ASSERT_FALSE(o.has_value());
  EXPECT_EQ(o.error().kind, ErrorKind::BatchLengthMismatch);
  EXPECT_EQ(o.error().id, "e");
  EXPECT_EQ(o.error().first, 4u);
  EXPECT_EQ(o.error().second, 5u);
}

TEST(EngineRun, RejectPolicyOnExpensiveAxis) {
  auto e = Engine<Cand>().scorer(axis("a", 0)).scorer(axis("e", 1, Cost::Expensive)).missing(MissingPolicy::reject());
  std::vector<Cand> items;
  for (std::uint64_t i = 0; i < 6; ++i)
    items.push_back(cand(i, {0.5f, i % 3 == 0 ? std::nullopt : std::optional<float>(0.5f)}));
  auto o = e.run(source(items));
  ASSERT_TRUE(o.has_value());
  EXPECT_EQ(count(*o, RejectReason::Kind::NotScored), 2u);
  EXPECT_EQ(o->trace.scorers[1].calls, 6u);
  EXPECT_EQ(o->trace.scorers[1].missing, 2u);
  for (const auto& r : o->rejected) {
    if (r.reason.kind == RejectReason::Kind::NotScored) {
      EXPECT_EQ(r.reason.detail(), std::optional<std::string>("e"));
    }
  }
  EXPECT_TRUE(complete(*o));
}

TEST(EngineRun, ThresholdByOrdinaryComparison) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  auto e = Engine<Cand>().fuse(Fusion::max()).scorer(axis("a", 0)).threshold(0.5f);
  // A NaN raw score is no value: Max of nothing fuses to 0.0 and falls below.
  std::vector<Cand> items{cand(1, {0.4f}), cand(2, {0.6f}), cand(3, {nan})};
  auto o = e.run(source(items));
  ASSERT_TRUE(o.has_value());
  EXPECT_EQ(count(*o, RejectReason::Kind::BelowThreshold), 2u);
  ASSERT_EQ(o->rejected.size(), 2u);
  EXPECT_EQ(o->rejected[0].fused, std::optional<float>(0.4f));
  EXPECT_EQ(ranked_ids(*o), (std::vector<std::uint64_t>{2}));
}

TEST(EngineRun, EqualFusedScoresRankBySmallerId) {
  auto e = Engine<Cand>().fuse(Fusion::max()).scorer(axis("a", 0)).budget(Budget::top_k(1));
  std::vector<Cand> items{cand(9, {0.5f}), cand(3, {0.5f})};
  auto o = e.run(source(items));
  ASSERT_TRUE(o.has_value());
  EXPECT_EQ(ranked_ids(*o), (std::vector<std::uint64_t>{3}));
  ASSERT_EQ(o->rejected.size(), 1u);
  EXPECT_EQ(o->rejected[0].reason.kind, RejectReason::Kind::Outranked);
  EXPECT_FALSE(o->rejected[0].reason.detail());
}

TEST(EngineRun, TailMassOnSmallPoolFallsBack) {
  auto e = Engine<Cand>().fuse(Fusion::max()).scorer(axis("a", 0)).budget(Budget::tail(0.2f, 2));
  std::vector<Cand> items;
  for (std::uint64_t i = 0; i < 5; ++i) items.push_back(cand(i, {0.1f * float(i)}));
  auto o = e.run(source(items));
  ASSERT_TRUE(o.has_value());
  ASSERT_TRUE(o->trace.budget.has_value());
  EXPECT_TRUE(o->trace.budget->fallback);
  EXPECT_EQ(o->trace.budget->reason, std::optional<FallbackReason>(FallbackReason::TooFewSamples));
  EXPECT_EQ(o->ranked.size(), 2u);
}

TEST(EngineRun, RankedRecordsCarryScoresTraceAndConstraints) {
  auto e = Engine<Cand>()
               .fuse(Fusion::weighted_sum({}))
               .scorer(axis("a", 0))
               .scorer(axis("b", 1))
               .set_constraint(std::make_unique<GroupLimit<Cand>>("brand", 0, 5))
               .set_constraint(std::make_unique<MaxTotal<Cand>>("cap", 5));
  std::vector<Cand> items{cand(1, {0.2f, std::nullopt}, {"x"}), cand(2, {0.4f, 0.8f}, {"y"})};
  auto o = e.run(source(items));
  ASSERT_TRUE(o.has_value());
  ASSERT_EQ(o->ranked.size(), 2u);
  const auto& first = o->ranked[0];
  EXPECT_EQ(first.rank, 1u);
  EXPECT_EQ(first.candidate.id.number(), 2u);
  EXPECT_EQ(first.fused, 0.4f * 0.5f + 0.8f * 0.5f);
  EXPECT_EQ(o->ranked[1].rank, 2u);
  EXPECT_EQ(o->ranked[1].scores[1], (std::pair<ScorerId, std::optional<float>>("b", std::nullopt)));
  EXPECT_EQ(first.constraints, (std::vector<ConstraintId>{"brand", "cap"}));
  EXPECT_FALSE(o->exact);
  EXPECT_EQ(o->guarantee, std::optional<float>(0.5f));
}

TEST(EngineRun, RequirementFailureFailsTheRun) {
  auto e = Engine<Cand>().scorer(axis("a", 0)).budget(Budget::top_k(2)).require(
      Requirement<Cand>::at_least("lang", 2, [](const Cand& c) { return c.groups.at(0) == "ko"; }));
  std::vector<Cand> items{cand(1, {0.9f}, {"en"}), cand(2, {0.8f}, {"ko"}), cand(3, {0.7f}, {"en"})};
  auto o = e.run(source(items));
  ASSERT_FALSE(o.has_value());
  EXPECT_EQ(o.error().kind, ErrorKind::RequirementUnsatisfied);
  EXPECT_EQ(o.error().first, 2u);
  EXPECT_EQ(o.error().second, 1u);
}

TEST(EngineRun, RetentionKeepsCountsExact) {
  for (Retention ret : {Retention::keep(), Retention::count(), Retention::sample(2), Retention::sample(0)}) {
    auto e = Engine<Cand>().scorer(axis("a", 0)).budget(Budget::top_k(1)).pool_multiplier(2).rejections(ret);
    std::vector<Cand> items;
    for (std::uint64_t i = 0; i < 6; ++i) items.push_back(cand(i, {float(i)}));
    auto o = e.run(source(items));
    ASSERT_TRUE(o.has_value());
    EXPECT_EQ(total(o->rejected_counts), 5u);
    std::size_t kept = ret.kind == Retention::Kind::Keep ? 5 : ret.kind == Retention::Kind::Count ? 0 : ret.n;
    EXPECT_EQ(o->rejected.size(), kept);
    if (kept == 2) {
      EXPECT_EQ(o->rejected[0].candidate.id.number(), 0u);
      EXPECT_EQ(o->rejected[1].candidate.id.number(), 1u);
    }
    EXPECT_TRUE(complete(*o));
  }
}

}  // namespace
}  // namespace vantorel

namespace vantorel {
namespace {

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
