// Cost of the selection as K grows, pool M = 32 K, against the unconstrained
// run of the same engine over the same candidates (best of N runs each):
//
//   bench_selector_scaling [reps] [K...]      (default: 3 runs, K = 100 300 1000 3000)
//
// Modes: no constraints; two group caps + one quota; the same plus coverage;
// a token budget + one cap + coverage. Each line also prints a digest of the
// outcome (ranked, rejected, counts, selection properties, trace without
// times), so that two builds can be compared for identical results.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.hpp"

namespace {

using namespace vantorel;

struct Cand {
  CandidateId id;
  Scores scores;
  std::vector<std::optional<std::string>> groups;  // 0 brand, 1 shop, 2 lang
  std::vector<std::string> cover;
  std::uint32_t cost = 0;
};

class SlotScorer final : public Scorer<Cand> {
 public:
  ScorerId id() const override { return "s"; }
  ScoreScale scale() const override { return ScoreScale::Unit; }
  Cost cost() const override { return Cost::Cheap; }
  std::optional<float> score(const Cand& c) const override { return c.scores[0]; }
  std::vector<std::optional<float>> score_batch(const std::vector<const Cand*>& b) const override {
    std::vector<std::optional<float>> out;
    for (const Cand* c : b) out.push_back(score(*c));
    return out;
  }
};

struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  std::uint64_t below(std::uint64_t n) { return (next() >> 11) % n; }
};

// M candidates: scores on a coarse grid (ties), brands of about 16 members,
// 50 shops, 3% "ko", 3 to 8 cover items from 4 K topics, costs 1 to 31.
std::vector<Cand> make_candidates(std::size_t k, std::size_t m) {
  Rng rng{0x9E3779B97F4A7C15ull ^ k};
  std::vector<Cand> out(m);
  for (std::size_t i = 0; i < m; ++i) {
    Cand& c = out[i];
    c.id = CandidateId(i);
    c.scores = {static_cast<float>(rng.below(1 << 16)) / 65536.0f};
    c.groups = {"b" + std::to_string(rng.below(m / 16 + 1)), "s" + std::to_string(rng.below(50)),
                rng.below(100) < 3 ? std::optional<std::string>("ko") : std::optional<std::string>("en")};
    if (rng.below(20) == 0) c.groups[0].reset();
    const std::size_t items = 3 + rng.below(6);
    for (std::size_t j = 0; j < items; ++j) c.cover.push_back("t" + std::to_string(rng.below(4 * k)));
    c.cost = 1 + static_cast<std::uint32_t>(rng.below(31));
  }
  return out;
}

enum class Mode { None, CapsQuota, CapsQuotaCoverage, TokensCapCoverage };
const char* const kModeNames[] = {"none", "caps+quota", "caps+quota+coverage", "tokens+cap+coverage"};

Engine<Cand> make_engine(Mode mode, std::uint32_t k) {
  auto e = Engine<Cand>().scorer(std::make_unique<SlotScorer>()).fuse(Fusion::weighted_sum({}));
  if (mode == Mode::TokensCapCoverage) {
    // M = 4 K * 8.
    return std::move(e)
        .budget(Budget::tokens(4 * k))
        .pool_multiplier(8)
        .cost([](const Cand& c) { return c.cost; })
        .set_constraint(std::make_unique<GroupLimit<Cand>>("brand", 0, 2))
        .objective(std::make_unique<Coverage<Cand, std::string>>([](const Cand& c) { return c.cover; }));
  }
  e = std::move(e).budget(Budget::top_k(k)).pool_multiplier(32);
  if (mode == Mode::None) return e;
  e = std::move(e)
          .set_constraint(std::make_unique<GroupLimit<Cand>>("brand", 0, 2))
          .set_constraint(std::make_unique<GroupLimit<Cand>>("shop", 1, std::max<std::size_t>(1, k / 40)))
          .require(Requirement<Cand>::at_least("lang", k / 10, [](const Cand& c) {
            return c.groups[2] && *c.groups[2] == "ko";
          }));
  if (mode == Mode::CapsQuotaCoverage)
    e = std::move(e).objective(std::make_unique<Coverage<Cand, std::string>>([](const Cand& c) { return c.cover; }));
  return e;
}

struct Digest {
  std::uint64_t h = 1469598103934665603ull;
  void bytes(const void* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) h = (h ^ static_cast<const unsigned char*>(p)[i]) * 1099511628211ull;
  }
  void u(std::uint64_t v) { bytes(&v, sizeof v); }
  void f(std::optional<float> v) { u(v ? std::bit_cast<std::uint32_t>(*v) : 0x1'0000'0000ull); }
  void s(const std::string& t) {
    u(t.size());
    bytes(t.data(), t.size());
  }
};

std::uint64_t digest(const Outcome<Cand>& o) {
  Digest d;
  for (const auto& r : o.ranked) {
    d.s(r.candidate.id.display());
    d.u(r.rank);
    d.f(r.fused);
    for (const auto& c : r.constraints) d.s(c);
  }
  for (const auto& r : o.rejected) {
    d.u(static_cast<std::uint64_t>(r.reason.kind));
    d.s(r.reason.payload);
    d.s(r.candidate.id.display());
    d.f(r.fused);
  }
  for (auto v : o.rejected_counts.by_kind) d.u(v);
  d.f(o.guarantee);
  d.f(o.cut_margin);
  d.u(o.pool_size);
  d.u(o.exact);
  d.u(o.pool_exhausted);
  d.u(o.trace.input_count);
  d.u(o.trace.pool_capacity);
  for (const auto& t : o.trace.scorers) d.u(t.calls * 31 + t.missing);
  return d.h;
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::atoi(argv[1]) : 3;
  std::vector<std::uint32_t> ks;
  for (int i = 2; i < argc; ++i) ks.push_back(static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 10)));
  if (ks.empty()) ks = {100, 300, 1000, 3000};

  std::printf("%6s %7s %-22s %10s %8s %6s %s\n", "K", "M", "mode", "seconds", "ratio", "picked", "digest");
  for (std::uint32_t k : ks) {
    const std::size_t m = 32 * static_cast<std::size_t>(k);
    const std::vector<Cand> candidates = make_candidates(k, m);
    double baseline = 0.0;
    for (int mode = 0; mode < 4; ++mode) {
      const auto engine = make_engine(static_cast<Mode>(mode), k);
      double best = 1e300;
      std::uint64_t h = 0;
      std::size_t picked = 0;
      for (int r = 0; r < reps; ++r) {
        std::vector<Cand> stream = candidates;
        std::size_t i = 0;
        auto next = [&]() -> std::optional<Cand> {
          if (i == stream.size()) return std::nullopt;
          return std::move(stream[i++]);
        };
        const auto t0 = std::chrono::steady_clock::now();
        auto out = engine.run(next);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        if (!out) {
          std::printf("%6u %7zu %-22s run failed: error kind %d\n", k, m, kModeNames[mode],
                      static_cast<int>(out.error().kind));
          return 1;
        }
        h = digest(*out);
        picked = out->ranked.size();
      }
      if (mode == 0) baseline = best;
      std::printf("%6u %7zu %-22s %10.4f %8.2f %6zu %016llx\n", k, m, kModeNames[mode], best, best / baseline, picked,
                  static_cast<unsigned long long>(h));
      std::fflush(stdout);
    }
  }
  return 0;
}
