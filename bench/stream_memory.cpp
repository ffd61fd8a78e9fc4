// Peak memory of a core run over a generated stream with retention Count.
// Memory must be bounded by the pool, not by the stream: run it for 1 million
// and 10 million candidates (separate processes) and compare the peaks.
//
//   bench_stream_memory 1000000
//   bench_stream_memory 10000000
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "engine/engine.hpp"

namespace {

struct Cand {
  vantorel::CandidateId id;
  vantorel::Scores scores;
  std::vector<std::optional<std::string>> groups;
};

class SlotScorer final : public vantorel::Scorer<Cand> {
 public:
  SlotScorer(std::string id, std::size_t index) : id_(std::move(id)), index_(index) {}
  vantorel::ScorerId id() const override { return id_; }
  vantorel::ScoreScale scale() const override { return vantorel::ScoreScale::Unit; }
  vantorel::Cost cost() const override { return vantorel::Cost::Cheap; }
  std::optional<float> score(const Cand& c) const override { return c.scores[index_]; }
  std::vector<std::optional<float>> score_batch(const std::vector<const Cand*>& b) const override {
    std::vector<std::optional<float>> out;
    for (const Cand* c : b) out.push_back(score(*c));
    return out;
  }

 private:
  std::string id_;
  std::size_t index_;
};

long peak_rss_kib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  auto engine = vantorel::Engine<Cand>()
                    .scorer(std::make_unique<SlotScorer>("a", 0))
                    .scorer(std::make_unique<SlotScorer>("b", 1))
                    .rejections(vantorel::Retention::count());
  std::uint64_t i = 0, state = 88172645463325252ull;
  auto next = [&]() -> std::optional<Cand> {
    if (i == n) return std::nullopt;
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    float a = static_cast<float>(state >> 40) / 16777216.0f;
    float b = static_cast<float>(state & 0xFFFFFF) / 16777216.0f;
    return Cand{vantorel::CandidateId(i++), {a, b}, {}};
  };
  auto t0 = std::chrono::steady_clock::now();
  auto out = engine.run(next);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!out) return 1;
  std::printf("candidates=%llu ranked=%zu out_of_pool=%llu seconds=%.2f peak_rss_kib=%ld\n",
              static_cast<unsigned long long>(out->trace.input_count), out->ranked.size(),
              static_cast<unsigned long long>(out->rejected_counts[vantorel::RejectReason::Kind::OutOfPool]), secs,
              peak_rss_kib());
  return 0;
}
