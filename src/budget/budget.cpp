#include "budget/budget.hpp"

#include <cmath>

#include "common/float_text.hpp"
#include "common/names.hpp"
#include "error/error.hpp"

namespace vantorel {

namespace {

// How many terms of a tail-mass sum pass between two calls of `proceed`.
constexpr std::uint64_t kProceedEvery = std::uint64_t{1} << 20;

// The sum of pow(i, e) over i = 1..n, added one term at a time in increasing
// i onto -0.0. False when `proceed` (if given) asked to stop.
bool zipf_sum(double e, std::uint64_t n, bool (*proceed)(), double& sum) {
  sum = -0.0;
  for (std::uint64_t i = 0; i != n;) {
    ++i;
    if (proceed && i % kProceedEvery == 0 && !proceed()) return false;
    sum += std::pow(static_cast<double>(i), e);
  }
  return true;
}

}  // namespace

std::optional<float> tail_mass(float s, std::uint64_t k, std::uint64_t v, bool (*proceed)()) {
  if (k >= v) return 0.0f;
  const double e = -static_cast<double>(s);
  // Both sums start from rank 1; the total is not a continuation of the top.
  double n = 0.0, d = 0.0;
  if (!zipf_sum(e, k, proceed, n) || !zipf_sum(e, v, proceed, d)) return std::nullopt;
  // A NaN sum is not <= 0 and carries on into the quotient.
  if (d <= 0.0) return 0.0f;
  return static_cast<float>(1.0 - n / d);
}

float tail_mass(float s, std::uint64_t k, std::uint64_t v) { return *tail_mass(s, k, v, nullptr); }

const char* Budget::invalid_reason(bool has_cost_function) const {
  switch (kind) {
    case Kind::TopK:
      return k >= 1 ? nullptr : kReasonTopK;
    case Kind::TailMass:
      // Written so that a NaN epsilon fails.
      return (epsilon >= 0.0f && epsilon < 1.0f) ? nullptr : kReasonEpsilon;
    case Kind::Tokens:
      return has_cost_function ? nullptr : kReasonTokens;
  }
  return nullptr;
}

std::uint32_t Budget::base_count() const {
  switch (kind) {
    case Kind::TopK: return k;
    case Kind::TailMass: return fallback_k > 1 ? fallback_k : 1;
    case Kind::Tokens: return max;
  }
  return k;
}

std::string Budget::debug() const {
  switch (kind) {
    case Kind::TopK:
      return "TopK(" + std::to_string(k) + ")";
    case Kind::TailMass:
      return "TailMass { epsilon: " + f32_debug(epsilon) + ", fallback_k: " + std::to_string(fallback_k) + " }";
    case Kind::Tokens:
      return "Tokens { max: " + std::to_string(max) + " }";
  }
  return {};
}

const char* fallback_name(FallbackReason reason) {
  static constexpr const char* kNames[] = {"poor_fit", "too_few_samples", "not_a_mass_distribution"};
  return name_in(kNames, reason);
}

namespace {

constexpr std::size_t kMinSamples = 10;
constexpr double kSLow = 0.01;
constexpr double kSHigh = 6.0;
constexpr int kBisectionSteps = 60;

BudgetTrace fall_back(FallbackReason reason, std::uint32_t fallback_k, float s = 0.0f, float fit = 0.0f) {
  BudgetTrace t;
  t.s = s;
  t.fit_quality = fit;
  t.derived_k = fallback_k;
  t.reason = reason;
  t.fallback = true;
  return t;
}

// Z(s) = sum of i^-s over ranks 1..n, one term at a time in increasing i.
double zipf_norm(double s, std::size_t n) {
  const double e = -s;
  double z = 0.0;
  for (std::size_t i = 1; i <= n; ++i) z += std::pow(static_cast<double>(i), e);
  return z;
}

// The model's mean log-rank E(s); log_rank[i - 1] holds ln i.
double model_mean_log_rank(double s, const std::vector<double>& log_rank) {
  const double e = -s;
  double num = 0.0;
  double z = 0.0;
  for (std::size_t i = 1; i <= log_rank.size(); ++i) {
    double w = std::pow(static_cast<double>(i), e);
    num += w * log_rank[i - 1];
    z += w;
  }
  if (z <= 0.0) return 0.0;
  return num / z;
}

}  // namespace

BudgetTrace derive_budget(const std::vector<double>& samples, float epsilon, float min_fit,
                          std::uint32_t fallback_k) {
  const std::size_t n = samples.size();
  if (n < kMinSamples) return fall_back(FallbackReason::TooFewSamples, fallback_k);
  for (double x : samples) {
    if (!std::isfinite(x) || x < 0.0) return fall_back(FallbackReason::NotAMassDistribution, fallback_k);
  }
  double total = 0.0;
  for (double x : samples) total += x;
  if (total <= 0.0) return fall_back(FallbackReason::NotAMassDistribution, fallback_k);

  // ln i does not depend on s: computed once, read by every evaluation of E.
  std::vector<double> log_rank(n);
  for (std::size_t i = 1; i <= n; ++i) log_rank[i - 1] = std::log(static_cast<double>(i));

  double data_mean = 0.0;
  for (std::size_t i = 1; i <= n; ++i) data_mean += samples[i - 1] / total * log_rank[i - 1];

  // E falls as s grows: clamp to the interval, else bisect for E(s) = L.
  double s;
  if (model_mean_log_rank(kSLow, log_rank) < data_mean) {
    s = kSLow;
  } else if (model_mean_log_rank(kSHigh, log_rank) > data_mean) {
    s = kSHigh;
  } else {
    double lo = kSLow;
    double hi = kSHigh;
    for (int step = 0; step < kBisectionSteps; ++step) {
      double mid = (lo + hi) * 0.5;
      if (model_mean_log_rank(mid, log_rank) > data_mean) {
        lo = mid;
      } else {
        hi = mid;
      }
    }
    s = (lo + hi) * 0.5;
  }

  // Kolmogorov-Smirnov distance between the data's and the model's
  // cumulative distributions.
  const double z = zipf_norm(s, n);
  const double e = -s;
  float fit = 0.0f;
  if (!(z <= 0.0)) {
    double f_data = 0.0;
    double f_model = 0.0;
    double dist = 0.0;
    for (std::size_t i = 1; i <= n; ++i) {
      f_data += samples[i - 1] / total;
      f_model += std::pow(static_cast<double>(i), e) / z;
      double d = std::fabs(f_data - f_model);
      if (d > dist) dist = d;
    }
    double q = 1.0 - dist;
    if (q < 0.0) q = 0.0;
    if (q > 1.0) q = 1.0;
    fit = static_cast<float>(q);
  }
  const float s32 = static_cast<float>(s);

  if (min_fit > fit) return fall_back(FallbackReason::PoorFit, fallback_k, s32, fit);

  BudgetTrace t;
  t.s = s32;
  t.fit_quality = fit;
  t.derived_k = static_cast<std::uint32_t>(n);
  if (z > 0.0) {
    const double eps = static_cast<double>(epsilon);
    double c = 0.0;
    for (std::size_t k = 1; k <= n; ++k) {
      c += std::pow(static_cast<double>(k), e);
      if (1.0 - c / z <= eps) {
        t.derived_k = static_cast<std::uint32_t>(k);
        break;
      }
    }
  }
  return t;
}

}  // namespace vantorel
