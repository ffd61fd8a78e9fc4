#pragma once
// A cheap monotonic tick counter for timing scorer calls.
//
// Stage 1 times every cheap scorer call, and a steady-clock read costs about
// as much as the call it measures. On x86 the invariant time-stamp counter is
// read instead (a few nanoseconds) and the run converts its tick totals to
// nanoseconds once, with a rate measured against the steady clock over the
// same run. Elsewhere the ticks are steady-clock nanoseconds.
#include <chrono>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define VANTOREL_TSC 1
#endif

namespace vantorel {

inline std::uint64_t read_ticks() {
#ifdef VANTOREL_TSC
  return __rdtsc();
#else
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
#endif
}

// Ticks from t0 to t1; 0 should the counter ever step back.
inline std::uint64_t ticks_between(std::uint64_t t0, std::uint64_t t1) { return t1 > t0 ? t1 - t0 : 0; }

// Converts tick counts of one run to nanoseconds.
class TickRate {
 public:
  TickRate() : clock0_(std::chrono::steady_clock::now()), ticks0_(read_ticks()) {}

  // Fixes the rate over the time since construction.
  void finish() {
#ifdef VANTOREL_TSC
    auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - clock0_);
    std::uint64_t ticks = ticks_between(ticks0_, read_ticks());
    rate_ = ticks == 0 ? 0.0L : static_cast<long double>(nanos.count()) / static_cast<long double>(ticks);
#endif
  }

  template <class Wide>
  Wide nanos(Wide ticks) const {
#ifdef VANTOREL_TSC
    // Within 64 bits both conversions are single instructions; the 128-bit
    // ones are library calls that cost more than a short run itself.
    const bool narrow = ticks <= Wide{UINT64_MAX};
    const long double t = narrow ? static_cast<long double>(static_cast<std::uint64_t>(ticks))
                                 : static_cast<long double>(ticks);
    const long double n = t * rate_ + 0.5L;
    if (n < 9223372036854775808.0L) return static_cast<Wide>(static_cast<std::int64_t>(n));
    return static_cast<Wide>(n);
#else
    return ticks;
#endif
  }

 private:
  std::chrono::steady_clock::time_point clock0_;
  std::uint64_t ticks0_;
  long double rate_ = 1.0L;
};

}  // namespace vantorel
