#pragma once
// Selector<C>::run and its steps: the greedy passes, requirement repair,
// blocking constraints and the cut margin.
//
// Every score, gain and key is a 32-bit float and stays one; costs are summed
// as unsigned 64-bit integers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "common/float_order.hpp"

namespace vantorel {

namespace select_detail {

inline bool is_nan(float f) { return f != f; }

// Best-so-far rule of every scan: does `key` replace the current best?
// A later key replaces the best only when it is greater, so ties keep the
// earlier entry. A NaN key never displaces a number, a number always
// displaces a NaN best, and between NaNs the earlier stays.
inline bool displaces(float key, float best) {
  if (is_nan(key)) return false;
  if (is_nan(best)) return true;
  return key > best;
}

// gain / cost, +infinity for cost 0.
inline float ratio_key(float gain, std::uint64_t cost) {
  if (cost == 0) return std::numeric_limits<float>::infinity();
  return gain / static_cast<float>(cost);
}

inline bool contains(const std::vector<std::size_t>& positions, std::size_t p) {
  return std::find(positions.begin(), positions.end(), p) != positions.end();
}

}  // namespace select_detail

template <class C>
std::vector<const C*> Selector<C>::refs(const Pool& pool, const Positions& positions) {
  std::vector<const C*> out;
  out.reserve(positions.size());
  for (std::size_t p : positions) out.push_back(&pool[p].candidate);
  return out;
}

template <class C>
float Selector<C>::gain(const PoolEntry<C>& entry, const std::vector<const C*>& selected) const {
  // Without an objective the gain is the fused score itself (bits kept, -0 too).
  if (objective == nullptr) return entry.fused;
  const float extra = objective->marginal_gain(selected, entry.candidate);
  return entry.fused + extra;
}

template <class C>
bool Selector<C>::admissible(const std::vector<const C*>& selected, const C& candidate) const {
  if (constraints == nullptr) return true;
  for (const auto& c : *constraints)
    if (!c->admits(selected, candidate)) return false;
  return true;
}

template <class C>
std::optional<ConstraintId> Selector<C>::first_refusal(const std::vector<const C*>& selected,
                                                       const C& candidate) const {
  if (constraints == nullptr) return std::nullopt;
  for (const auto& c : *constraints)
    if (!c->admits(selected, candidate)) return c->id();
  return std::nullopt;
}

// Count mode: repeatedly append the admissible entry with the best gain.
template <class C>
auto Selector<C>::count_mode(const Pool& pool, std::size_t limit) const -> Positions {
  Positions selection;
  std::vector<bool> taken(pool.size(), false);
  while (selection.size() < limit) {
    check();
    const auto selected = refs(pool, selection);
    std::optional<std::size_t> best;
    float best_key = 0.0f;
    for (std::size_t p = 0; p < pool.size(); ++p) {
      if (taken[p]) continue;
      if (!admissible(selected, pool[p].candidate)) continue;
      const float key = gain(pool[p], selected);
      if (!best || select_detail::displaces(key, best_key)) {
        best = p;
        best_key = key;
      }
    }
    if (!best) break;
    taken[*best] = true;
    selection.push_back(*best);
  }
  return selection;
}

template <class C>
PackResult Selector<C>::greedy_pack(const Pool& pool, std::uint32_t budget, bool ratio) const {
  PackResult result;
  std::uint64_t spent = 0;
  std::vector<bool> taken(pool.size(), false);
  for (;;) {
    check();
    const auto selected = refs(pool, result.positions);
    std::optional<std::size_t> best;
    float best_key = 0.0f;
    float best_gain = 0.0f;
    std::uint64_t best_cost = 0;
    for (std::size_t p = 0; p < pool.size(); ++p) {
      if (taken[p]) continue;
      const std::uint64_t c = cost_of(pool[p].candidate);
      if (spent + c > budget) continue;
      if (!admissible(selected, pool[p].candidate)) continue;
      const float g = gain(pool[p], selected);
      const float key = ratio ? select_detail::ratio_key(g, c) : g;
      if (!best || select_detail::displaces(key, best_key)) {
        best = p;
        best_key = key;
        best_gain = g;
        best_cost = c;
      }
    }
    if (!best) break;
    taken[*best] = true;
    result.positions.push_back(*best);
    result.total = result.total + best_gain;
    spent += best_cost;
  }
  result.complete = result.positions.size() == pool.size();
  return result;
}

template <class C>
bool Selector<C>::set_is_feasible(const Pool& pool, const Positions& positions) const {
  if (k && positions.size() > *k) return false;
  if (tokens && has_cost()) {
    std::uint64_t sum = 0;
    for (std::size_t p : positions) sum += cost_of(pool[p].candidate);
    if (sum > *tokens) return false;
  }
  if (constraints == nullptr || constraints->empty()) return true;
  std::vector<const C*> others;
  others.reserve(positions.size());
  for (std::size_t i = 0; i < positions.size(); ++i) {
    others.clear();
    for (std::size_t j = 0; j < positions.size(); ++j)
      if (j != i) others.push_back(&pool[positions[j]].candidate);
    if (!admissible(others, pool[positions[i]].candidate)) return false;
  }
  return true;
}

template <class C>
std::optional<Error> Selector<C>::repair_requirements(const Pool& pool, Positions& selection,
                                                      bool& repaired) const {
  if (requirements == nullptr) return std::nullopt;
  const auto& reqs = *requirements;

  auto pool_have = [&](const Requirement<C>& req) {
    std::uint64_t have = 0;
    for (const auto& e : pool) have += req.predicate(e.candidate) ? 1 : 0;
    return have;
  };
  // The trial is feasible and every requirement before `r` still holds on it.
  auto accepted = [&](const Positions& trial, std::size_t r) {
    if (!set_is_feasible(pool, trial)) return false;
    const auto trial_refs = refs(pool, trial);
    for (std::size_t i = 0; i < r; ++i)
      if (reqs[i].count(trial_refs) < reqs[i].n) return false;
    return true;
  };

  for (std::size_t r = 0; r < reqs.size(); ++r) {
    const auto& req = reqs[r];
    for (;;) {
      if (req.count(refs(pool, selection)) >= req.n) break;

      // Highest-ranked matching outsiders first.
      Positions incoming;
      for (std::size_t p = 0; p < pool.size(); ++p)
        if (!select_detail::contains(selection, p) && req.predicate(pool[p].candidate)) incoming.push_back(p);
      std::stable_sort(incoming.begin(), incoming.end(), [&](std::size_t a, std::size_t b) {
        return score_before(pool[a].fused, pool[a].key, pool[b].fused, pool[b].key);
      });
      // Lowest-ranked non-matching members first, taken in selection order.
      Positions outgoing;
      for (std::size_t p : selection)
        if (!req.predicate(pool[p].candidate)) outgoing.push_back(p);
      std::stable_sort(outgoing.begin(), outgoing.end(), [&](std::size_t a, std::size_t b) {
        return score_before(pool[b].fused, pool[b].key, pool[a].fused, pool[a].key);
      });

      std::optional<Positions> next;
      for (std::size_t x : incoming) {
        check();
        if (k && selection.size() < *k) {
          Positions trial = selection;
          trial.push_back(x);
          if (accepted(trial, r)) {
            next = std::move(trial);
            break;
          }
        }
        for (std::size_t y : outgoing) {
          Positions trial;
          trial.reserve(selection.size());
          for (std::size_t p : selection)
            if (p != y) trial.push_back(p);
          trial.push_back(x);
          if (accepted(trial, r)) {
            next = std::move(trial);
            break;
          }
        }
        if (next) break;
      }
      if (!next) return Error::requirement_unsatisfied(req.name, req.n, pool_have(req));
      selection = std::move(*next);
      repaired = true;
    }
  }

  const auto final_refs = refs(pool, selection);
  for (const auto& req : reqs)
    if (req.count(final_refs) < req.n) return Error::requirement_unsatisfied(req.name, req.n, pool_have(req));
  return std::nullopt;
}

// Key of the last chosen entry minus the best key among the entries that
// could have taken its place.
template <class C>
std::optional<float> Selector<C>::cut_margin(const Pool& pool, const Positions& selection) const {
  if (selection.empty()) return std::nullopt;
  const std::size_t last = selection.back();
  const Positions before(selection.begin(), selection.end() - 1);
  const auto prior = refs(pool, before);
  const bool token_mode = tokens.has_value();
  const bool costed = has_cost();
  constexpr float inf = std::numeric_limits<float>::infinity();

  std::uint64_t remaining = 0;
  if (token_mode) {
    std::uint64_t used = 0;
    for (std::size_t p : before) used += cost_of(pool[p].candidate);
    remaining = used > *tokens ? 0 : *tokens - used;
  }

  float last_key = gain(pool[last], prior);
  if (token_mode) last_key = costed ? select_detail::ratio_key(last_key, cost_of(pool[last].candidate)) : inf;

  std::optional<float> best;
  for (std::size_t p = 0; p < pool.size(); ++p) {
    if (select_detail::contains(selection, p)) continue;
    if (!admissible(prior, pool[p].candidate)) continue;
    float key;
    if (token_mode) {
      const std::uint64_t c = cost_of(pool[p].candidate);
      if (costed && c > remaining) continue;
      key = costed ? select_detail::ratio_key(gain(pool[p], prior), c) : inf;
    } else {
      key = gain(pool[p], prior);
    }
    if (!best || select_detail::displaces(key, *best)) best = key;
  }
  if (!best) return std::nullopt;
  return last_key - *best;
}

template <class C>
std::expected<Chosen, Error> Selector<C>::run(const Pool& pool) const {
  Chosen out;
  Positions selection;
  bool single_won = false;

  if (!tokens) {
    const std::size_t requested = k ? *k : pool.size();
    selection = count_mode(pool, std::min(requested, pool.size()));
    out.pool_exhausted = selection.size() < requested;
  } else {
    const std::uint32_t budget = *tokens;
    PackResult by_ratio = greedy_pack(pool, budget, true);
    PackResult plain = greedy_pack(pool, budget, false);
    out.pool_exhausted = by_ratio.complete;
    PackResult choice = by_ratio.total < plain.total ? std::move(plain) : std::move(by_ratio);

    // The best single entry, valued against the empty selection.
    const std::vector<const C*> none;
    std::optional<std::size_t> single;
    float single_value = 0.0f;
    for (std::size_t p = 0; p < pool.size(); ++p) {
      if (has_cost() && cost_of(pool[p].candidate) > budget) continue;
      if (!admissible(none, pool[p].candidate)) continue;
      const float value = gain(pool[p], none);
      if (!single || select_detail::displaces(value, single_value)) {
        single = p;
        single_value = value;
      }
    }
    if (single && choice.total < single_value) {
      selection = Positions{*single};
      single_won = true;
    } else {
      selection = std::move(choice.positions);
    }
  }

  if (auto failure = repair_requirements(pool, selection, out.repaired)) return std::unexpected(std::move(*failure));

  out.blocked.assign(pool.size(), std::nullopt);
  {
    const auto selected = refs(pool, selection);
    for (std::size_t p = 0; p < pool.size(); ++p)
      if (!select_detail::contains(selection, p)) out.blocked[p] = first_refusal(selected, pool[p].candidate);
  }

  if (single_won)
    out.cut_margin = std::numeric_limits<float>::quiet_NaN();
  else
    out.cut_margin = cut_margin(pool, selection);

  out.indices = std::move(selection);
  return out;
}

}  // namespace vantorel
