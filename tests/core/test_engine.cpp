// The inline lists scores live in, fusion of axis scores (ranks, terms, fused
// and provisional scores) and whole runs of the core engine over a plain
// candidate type.
#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <random>
#include <tuple>

#include "engine/engine.hpp"

namespace vantorel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

using Kind = TermInput::Kind;
const std::optional<float> none = std::nullopt;

// Lists that fit inline and longer ones, through every change between the
// two: each reads back what was put in; a moved-from list is empty.
TEST(InlineVector, InlineAndOnTheHeapAlike) {
  using List = InlineVector<int, 2>;
  auto items = [](const List& l) { return std::vector<int>(l.begin(), l.end()); };
  List grown;
  std::vector<int> want;
  for (int i = 0; i < 5; ++i) {
    grown.push_back(i);
    want.push_back(i);
    EXPECT_EQ(items(grown), want);
  }
  List copy = grown, moved = std::move(grown);
  EXPECT_EQ(items(copy), want);
  EXPECT_EQ(items(moved), want);
  EXPECT_EQ(grown.size(), 0u);
  copy.assign(1, 7);
  moved = copy;
  EXPECT_EQ(items(moved), std::vector<int>{7});
  copy.assign(3, 8);
  moved = std::move(copy);
  EXPECT_EQ(items(moved), (std::vector<int>{8, 8, 8}));
  EXPECT_EQ(copy.size(), 0u);
  moved = List{1, 2};
  moved.push_back(3);
  EXPECT_EQ(items(moved), (std::vector<int>{1, 2, 3}));
}

// Traces one pool of rows over the axes "a", "b", "c", ... (as many as the
// rows have), each entry's fused score checked against its trace's.
using Ids = std::vector<CandidateId>;
std::vector<FusionTrace> fuse(const Fusion& f, const std::vector<Scores>& rows, Ids ids = {}) {
  std::vector<ScorerMeta> metas;
  for (char a = 'a'; metas.size() < rows[0].size(); ++a) metas.push_back({{a}, ScoreScale::Unit, Cost::Expensive});
  for (std::size_t j = ids.size(); j < rows.size(); ++j) ids.push_back(CandidateId(j + 1));
  std::vector<const Scores*> sp;
  std::vector<const CandidateId*> ip;
  for (const auto& r : rows) sp.push_back(&r);
  for (const auto& id : ids) ip.push_back(&id);
  const MissingPolicy skip;
  PoolFusion pool(f, skip, metas);
  if (pool.by_rank()) pool.rank(sp, ip);
  std::vector<FusionTrace> traces;
  for (std::size_t j = 0; j < rows.size(); ++j) {
    traces.push_back(pool.trace(j, rows[j]));
    EXPECT_EQ(bits(pool.fused(j, rows[j])), bits(traces.back().fused())) << j;
  }
  return traces;
}

std::vector<std::uint32_t> ranks(const std::vector<FusionTrace>& traces) {
  std::vector<std::uint32_t> out;
  for (const auto& t : traces) out.push_back(t.terms[0].input.kind == Kind::Rank ? t.terms[0].input.rank : 0);
  return out;
}

TEST(Rrf, RanksInTotalOrderTiesByCandidateIdContributionInThirtyTwoBits) {
  const std::vector<CandidateId> ids = {CandidateId("a"), CandidateId(12), CandidateId(7), CandidateId("abc"),
                                        CandidateId("ab")};
  const auto tied = fuse(Fusion::rrf(60.0f), {{0.5f}, {0.5f}, {0.5f}, {0.5f}, {0.5f}}, ids);
  EXPECT_EQ(ranks(tied), (std::vector<std::uint32_t>{3, 2, 1, 5, 4}));
  const auto signed_zeros = fuse(Fusion::rrf(60.0f), {{-0.0f}, {0.0f}, {-kInf}, {kInf}, {-1.0f}});
  EXPECT_EQ(ranks(signed_zeros), (std::vector<std::uint32_t>{3, 2, 5, 1, 4}));
  // 2^24 + 1 is not a float: k + r rounds to 2^24 before the division.
  EXPECT_EQ(bits(fuse(Fusion::rrf(16777216.0f), {{0.5f}})[0].terms[0].contribution), bits(0x1p-24f));
}

// An empty list weighs each axis a third; summed in 32 bits the middle term
// is absorbed (a wider sum would keep it). The weight total adds in
// registration order (1 + 1e8 absorbs the 1, so the total is 0; from the
// other end it would be 1). A total that is not above zero, or is NaN, gives
// every term weight and contribution +0.
TEST(WeightedSum, WeightsAndSumsInFloat) {
  const auto t = fuse(Fusion::weighted_sum({}), {{1e8f, 1.0f, -1e8f}});
  const float third = 1.0f / 3.0f;
  for (const auto& term : t[0].terms) EXPECT_EQ(term.weight, third);
  EXPECT_EQ(t[0].terms[0].contribution, 1e8f * third);
  float expect = -0.0f;
  for (float v : {1e8f, 1.0f, -1e8f}) expect += v * third;
  EXPECT_EQ(bits(t[0].fused()), bits(expect));
  EXPECT_EQ(expect, 0.0f);
  const std::vector<std::vector<std::pair<ScorerId, float>>> lists = {
      {{"a", 1.0f}, {"b", 1e8f}, {"c", -1e8f}}, {{"a", 1.0f}, {"b", -1.0f}}, {{"a", -2.0f}}, {{"a", kNaN}},
      {{"d", 1.0f}}};
  for (const auto& w : lists) {
    const auto t = fuse(Fusion::weighted_sum(w), {{0.6f, 0.3f, 0.5f}});
    for (const auto& term : t[0].terms) {
      EXPECT_EQ(term.input.kind, Kind::Value);
      EXPECT_EQ(bits(term.weight), bits(0.0f));
      EXPECT_EQ(bits(term.contribution), bits(0.0f));
    }
    EXPECT_EQ(bits(t[0].fused()), bits(0.0f));
  }
}

TEST(Fused, AllSkippedIsNegativeZeroForSumsAndZeroForMax) {
  for (const auto& f : {Fusion::weighted_sum({}), Fusion::rrf(60.0f), Fusion::max()}) {
    const auto t = fuse(f, {{none, none}, {0.5f, 0.5f}});
    for (const auto& term : t[0].terms) EXPECT_EQ(term.input.kind, Kind::Skipped);
    EXPECT_EQ(bits(t[0].fused()), bits(f.kind == Fusion::Kind::Max ? 0.0f : -0.0f)) << fusion_name(f.kind);
  }
}

// Max over hand-made terms: NaN passed over for a number, the earlier term
// stays on ties (-0 then +0 keeps -0), only NaN gives NaN.
TEST(Max, NaNAndSignedZeroRules) {
  const std::pair<std::vector<float>, float> cases[] = {
      {{kNaN, 0.3f}, 0.3f},   {{0.3f, kNaN}, 0.3f},  {{kNaN, -kInf}, -kInf},          {{-0.0f, 0.0f}, -0.0f},
      {{0.0f, -0.0f}, 0.0f},  {{kNaN, -kNaN}, kNaN}, {{-1.0f, kNaN, -2.0f}, -1.0f}, {{-kNaN, kNaN}, -kNaN},
  };
  for (const auto& [values, expect] : cases) {
    FusionTrace tr;
    tr.method = Fusion::Kind::Max;
    for (float v : values) tr.terms.push_back({{Kind::Value, v, 0}, 1.0f, v});
    tr.terms.push_back({{Kind::Skipped, 0.0f, 0}, 0.0f, 99.0f});  // never counted
    EXPECT_EQ(bits(tr.fused()), bits(expect)) << values.size() << " " << values[0];
  }
}

// Cheap axes "a" and "b" around the expensive "e", which takes no part.
TEST(Provisional, MaxAndWeightedMeanOverCheapAxes) {
  const std::vector<ScorerMeta> metas = {{"a", ScoreScale::Unit, Cost::Cheap},
                                         {"e", ScoreScale::Unit, Cost::Expensive},
                                         {"b", ScoreScale::Unit, Cost::Cheap}};
  auto score = [&](const Fusion& f, MissingPolicy m = {}) { return ProvisionalScore(f, m, metas); };  // skip
  const auto max = score(Fusion::max()), max_imputed = score(Fusion::max(), MissingPolicy::impute(0.2f));
  const auto even = score(Fusion::weighted_sum({}));
  const auto weighted = score(Fusion::weighted_sum({{"b", 3.0f}, {"a", 1.0f}, {"e", 100.0f}}));
  const auto imputed = score(Fusion::weighted_sum({{"a", 1.0f}, {"b", 1.0f}}), MissingPolicy::impute(0.4f));
  const auto expensive_only = score(Fusion::weighted_sum({{"e", 1.0f}}));
  const auto negative = score(Fusion::weighted_sum({{"a", -1.0f}}));
  const auto nan = score(Fusion::weighted_sum({{"a", kNaN}}));
  const std::tuple<const ProvisionalScore&, Scores, float> cases[] = {
      {max, {0.3f, 0.9f, 0.5f}, 0.5f}, {max, {kNaN, 0.9f, 0.5f}, 0.5f}, {max, {0.3f, none, none}, 0.3f},
      {max, {none, 0.9f, none}, -kInf}, {max, {-0.0f, none, 0.0f}, -0.0f}, {max, {kNaN, none, none}, kNaN},
      {max_imputed, {none, 0.9f, none}, 0.2f}, {max_imputed, {0.1f, none, none}, 0.2f},
      {even, {0.2f, 5.0f, 0.6f}, (0.0f + 0.2f + 0.6f) / 2.0f}, {even, {none, 5.0f, 0.6f}, 0.6f},
      {even, {none, 5.0f, none}, -kInf}, {even, {-0.0f, 5.0f, -0.0f}, 0.0f},  // the sums start at +0
      {weighted, {0.2f, 1.0f, 0.6f}, (0.0f + 1.0f * 0.2f + 3.0f * 0.6f) / 4.0f},
      {imputed, {none, none, none}, 0.4f},
      // A weight total that is not above zero, or is NaN, gives +0.
      {expensive_only, {0.5f, 0.5f, 0.5f}, 0.0f}, {expensive_only, {none, 0.5f, none}, -kInf},
      {negative, {0.5f, none, 0.5f}, 0.0f}, {nan, {0.5f, none, 0.5f}, 0.0f},
  };
  for (const auto& [p, scores, expect] : cases) EXPECT_EQ(bits(p(scores)), bits(expect)) << expect;

  // A batch at a time, column by column, gives every row's own score.
  std::mt19937 rng(7);
  const float pick[] = {0.0f, -0.0f, 0.25f, 0.7f, 1.0f, -3.5f, kInf, -kInf, kNaN, 1e-38f, 3e38f};
  for (const ProvisionalScore* p : {&max, &max_imputed, &even, &weighted, &imputed, &negative, &nan}) {
    constexpr std::size_t n = 500;
    std::vector<float> a(n), b(n), key(n), num, den;
    std::vector<std::uint8_t> has_a(n), has_b(n), any;
    for (std::size_t i = 0; i < n; ++i) {
      a[i] = pick[rng() % std::size(pick)], b[i] = pick[rng() % std::size(pick)];
      has_a[i] = rng() % 4 != 0, has_b[i] = rng() % 4 != 0;
    }
    const float* values[] = {a.data(), b.data()};
    const std::uint8_t* has[] = {has_a.data(), has_b.data()};
    p->eval_columns(n, values, has, key.data(), num, den, any);
    for (std::size_t i = 0; i < n; ++i) {
      Scores row = {has_a[i] ? std::optional(a[i]) : none, 9.0f, has_b[i] ? std::optional(b[i]) : none};
      ASSERT_EQ(bits(key[i]), bits((*p)(row))) << i;
    }
  }
}

struct Cand {
  CandidateId id;
  Scores scores;  // raw values, read by SlotScorer
  std::uint32_t cost = 0;
};

// Reads the candidate's own value for its axis; with `direct` the engine
// reads the slot itself instead of calling score.
class SlotScorer final : public Scorer<Cand> {
 public:
  SlotScorer(std::string id, std::size_t index, Cost cost, ScoreScale scale)
      : id_(std::move(id)), index_(index), cost_(cost), scale_(scale) {}
  ScorerId id() const override { return id_; }
  ScoreScale scale() const override { return scale_; }
  Cost cost() const override { return cost_; }
  std::optional<float> score(const Cand& c) const override {
    auto v = c.scores[index_];
    return v && norm ? norm->apply(*v) : v;
  }
  std::optional<SlotRead> slot_read() const override {
    return direct ? std::optional<SlotRead>(SlotRead{index_, norm}) : std::nullopt;
  }
  std::vector<std::optional<float>> score_batch(const std::vector<const Cand*>& batch) const override {
    std::vector<std::optional<float>> out;
    for (const Cand* c : batch) out.push_back(score(*c));
    return out;
  }
  bool direct = false;
  std::optional<Normalizer> norm;

 private:
  std::string id_;
  std::size_t index_;
  Cost cost_;
  ScoreScale scale_;
};

std::unique_ptr<SlotScorer> axis(std::string id, std::size_t index, Cost cost = Cost::Cheap,
                                 ScoreScale scale = ScoreScale::Unit) {
  return std::make_unique<SlotScorer>(std::move(id), index, cost, scale);
}

Cand cand(std::uint64_t id, Scores s) { return Cand{CandidateId(id), std::move(s), 0}; }

std::expected<Outcome<Cand>, Error> run(const Engine<Cand>& e, std::vector<Cand> items) {
  return e.run([&items, i = std::size_t{0}]() mutable -> std::optional<Cand> {
    if (i == items.size()) return std::nullopt;
    return std::move(items[i++]);
  });
}

TEST(Validate, ReportsTheFirstFaultInAFixedOrder) {
  using E = Engine<Cand>;
  using K = ErrorKind;
  constexpr auto top_k = Budget::top_k;
  const auto expensive = [] { return axis("e", 0, Cost::Expensive); };
  const auto unbounded = [] { return axis("a", 0, Cost::Cheap, ScoreScale::Unbounded); };
  const auto ws = [](std::vector<std::pair<ScorerId, float>> weights) { return Fusion::weighted_sum(weights); };
  const std::tuple<const char*, std::function<E()>, std::optional<K>, std::string> cases[] = {
      {"no_scorer_first", [] { return E().pool_multiplier(0).budget(top_k(0)); }, K::NoScorers, ""},
      {"duplicate_at_third", [] { return E().scorer(axis("a", 0)).scorer(axis("b", 1)).scorer(axis("a", 2)); },
       K::DuplicateScorer, "a"},
      {"scale_before_duplicate", [&] { return E().fuse(ws({})).scorer(unbounded()).scorer(axis("a", 1)); },
       K::ScaleMismatch, "a"},
      {"unknown_weight_even_zero", [&] { return E().fuse(ws({{"c", 0.0f}})).scorer(axis("a", 0)); },
       K::UnknownWeightScorer, "c"},
      {"unknown_admission", [] { return E().scorer(axis("a", 0)).admission("x"); }, K::UnknownAdmission, "x"},
      {"expensive_admission", [&] { return E().scorer(expensive()).admission("e"); }, K::ExpensiveAdmission,
       "e"},
      {"rrf_only_expensive", [&] { return E().scorer(expensive()); }, K::RrfWithoutAdmission, ""},
      {"rrf_with_one_cheap", [&] { return E().scorer(expensive()).scorer(axis("c", 1)); }, std::nullopt, ""},
      {"multiplier_before_budget", [] { return E().scorer(axis("a", 0)).pool_multiplier(0).budget(top_k(0)); },
       K::InvalidPoolMultiplier, ""},
      {"tokens_without_cost", [] { return E().scorer(axis("a", 0)).budget(Budget::tokens(5)); }, K::InvalidBudget,
       ""},
  };
  for (const auto& [name, make, kind, id] : cases) {
    const auto err = make().validate();
    EXPECT_EQ(err ? std::optional(err->kind) : std::nullopt, kind) << name;
    EXPECT_EQ(err ? err->id : "", id) << name;
  }
}

TEST(EngineRun, PoolCapacityFromBudgetAndMultiplier) {
  const std::tuple<Budget, std::uint32_t, std::uint64_t> cases[] = {
      {Budget::top_k(3), 2, 6}, {Budget::tail(0.1f, 0), 32, 32}, {Budget::tokens(100), 32, 3200},
      {Budget::top_k(0xFFFFFFFFu), 0xFFFFFFFFu, 0xFFFFFFFFull * 0xFFFFFFFFull}};
  for (const auto& [budget, multiplier, expected] : cases) {
    const auto e = Engine<Cand>().scorer(axis("a", 0)).budget(budget).pool_multiplier(multiplier).cost(
        [](const Cand& x) { return x.cost; });
    EXPECT_EQ(run(e, {}).value().trace.pool_capacity, expected);
  }
}

// Slots read by the engine itself give the outcome of calling the scorers.
TEST(EngineRun, DirectSlotReadsMatchScorerCalls) {
  std::mt19937 rng(11);
  const std::vector<std::optional<float>> values = {std::nullopt, 0.1f, 0.5f, -2.0f, 3.0f, kNaN};
  for (int round = 0; round < 60; ++round) {
    std::vector<Cand> items;
    for (std::uint64_t i = 0, n = rng() % 30; i < n; ++i)
      items.push_back(cand(i, {values[rng() % values.size()], values[rng() % values.size()]}));
    auto outcome = [&](bool direct) {
      auto a = axis("a", 0), b = axis("b", 1);
      a->direct = b->direct = direct;
      a->norm = Normalizer::sigmoid();
      const auto missing = round % 2 ? MissingPolicy::reject() : MissingPolicy::skip();
      auto e = Engine<Cand>().scorer(std::move(a)).scorer(std::move(b)).fuse(Fusion::max()).missing(missing);
      const auto o = run(std::move(e).budget(Budget::top_k(2)).pool_multiplier(2), items).value();
      // Ranked ids and fused bits, rejected ids and reasons, calls and missing counts per axis.
      std::vector<std::tuple<std::uint64_t, std::uint64_t>> seen = {{o.ranked.size(), o.rejected.size()}};
      for (const auto& r : o.ranked) seen.emplace_back(r.candidate.id.number(), bits(r.fused));
      for (const auto& r : o.rejected) seen.emplace_back(r.candidate.id.number(), int(r.reason.kind));
      for (const auto& t : o.trace.scorers) seen.emplace_back(t.calls, t.missing);
      return seen;
    };
    EXPECT_EQ(outcome(true), outcome(false)) << round;
  }
}

TEST(BlockList, KeepsOrderAndPlacesAcrossBlocks) {
  BlockList<int, 4> list;
  for (int i = 0; i < 11; ++i) list.push_back(int{i});
  std::vector<int> seen;
  for (int v : list) seen.push_back(v);
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(list[9], 9);
  // Blocks of 16, 16, 32, then 64: no element moves as the list grows.
  BlockList<int, 64> growing;
  std::vector<const int*> places;
  for (int i = 0; i < 300; ++i) places.push_back(&growing.emplace_back(i));
  for (int i = 0; i < 300; ++i) EXPECT_EQ(&growing[i], places[i]) << i;
}

// A unary constraint rejects before any scorer call; the reject policy stops
// scoring at the first missing cheap axis, and NaN counts as missing.
TEST(EngineRun, RejectionsCostNoFurtherScorerCalls) {
  const auto unary = Engine<Cand>().scorer(axis("a", 0)).scorer(axis("b", 1)).unary(
      std::make_unique<MinAxis<Cand>>("min_b", 1, 0.5f));
  const auto o = run(unary, {cand(1, {0.3f, 0.4f}), cand(2, {0.3f, 0.6f})}).value();
  ASSERT_EQ(o.rejected_counts[RejectReason::Kind::UnaryConstraint], 1u);
  EXPECT_EQ(o.rejected[0].reason.detail(), std::optional<std::string>("min_b"));
  EXPECT_EQ(o.trace.scorers[0].calls, 1u);
  EXPECT_EQ(o.trace.scorers[1].calls, 1u);

  const auto reject = Engine<Cand>().scorer(axis("a", 0)).scorer(axis("b", 1)).missing(MissingPolicy::reject());
  const auto r = run(reject, {cand(1, {std::nullopt, 0.5f}), cand(2, {kNaN, 0.5f})});
  ASSERT_EQ(r.value().rejected_counts[RejectReason::Kind::NotScored], 2u);
  EXPECT_EQ(r->rejected[0].reason.detail(), std::optional<std::string>("a"));
  EXPECT_EQ(r->trace.scorers[0].calls, 2u);
  EXPECT_EQ(r->trace.scorers[0].missing, 2u);
  EXPECT_EQ(r->trace.scorers[1].calls, 0u);
}

}  // namespace
}  // namespace vantorel
