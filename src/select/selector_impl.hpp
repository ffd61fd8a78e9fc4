#pragma once
// Selector<C>::run and its steps: the greedy passes, requirement repair,
// blocking constraints and the cut margin.
//
// The selection is kept as incremental state (per-constraint counts, covered
// items, a membership bitmap), so an admission test or a gain never rereads
// the selection, and the greedy passes re-evaluate gains lazily.
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

// Scan order of keys: the greater key first, equal keys by earlier pool
// position, NaN after every number (earlier NaN first). The entry that comes
// first is the one the best-so-far rule keeps.
inline bool key_before(float ka, std::size_t pa, float kb, std::size_t pb) {
  if (is_nan(ka) != is_nan(kb)) return is_nan(kb);
  if (!is_nan(ka) && ka != kb) return ka > kb;
  return pa < pb;
}

}  // namespace select_detail

// The selection as the set constraints, the objective and the token count see
// it, kept up to date one member at a time.
template <class C>
class Selector<C>::State {
 public:
  State(const Selector& selector, const Pool& pool) : pool_(pool), member(pool.size(), 0) {
    std::vector<const C*> all;
    const bool starts = (selector.constraints != nullptr && !selector.constraints->empty()) || selector.objective;
    if (starts) all.reserve(pool.size());
    for (std::size_t p = 0; starts && p < pool.size(); ++p) all.push_back(pool[p].candidate);
    if (selector.constraints != nullptr)
      for (const auto& c : *selector.constraints) constraints_.push_back(c->start(all));
    if (selector.objective != nullptr) objective_ = selector.objective->start(all);
    if (selector.has_cost()) {
      cost_.reserve(pool.size());
      for (std::size_t p = 0; p < pool.size(); ++p) cost_.push_back(selector.cost_of(*pool[p].candidate));
    }
  }

  void add(std::size_t p) {
    member[p] = 1;
    spent += cost(p);
    for (auto& c : constraints_) c->add(p);
    if (objective_) objective_->add(p);
  }
  void remove(std::size_t p) {
    member[p] = 0;
    spent -= cost(p);
    for (auto& c : constraints_) c->remove(p);
    if (objective_) objective_->remove(p);
  }
  void remove_all(const Positions& positions) {
    for (std::size_t p : positions) remove(p);
  }
  // fused(p), plus the objective's marginal gain when there is one.
  float gain(std::size_t p) const {
    if (!objective_) return pool_[p].fused;
    const float extra = objective_->gain(p);
    return pool_[p].fused + extra;
  }
  // Gains never grow as the selection grows, so stale keys bound fresh ones.
  bool lazy() const { return !objective_ || objective_->gains_shrink(); }
  // Neither an objective nor a set constraint: every gain is the fused score.
  bool plain() const { return !objective_ && constraints_.empty(); }
  // Index of the first set constraint that refuses `p`, or the count of them.
  std::size_t refusal(std::size_t p) const {
    std::size_t i = 0;
    while (i < constraints_.size() && constraints_[i]->admits(p)) ++i;
    return i;
  }
  bool admissible(std::size_t p) const { return refusal(p) == constraints_.size(); }
  // Every set constraint holds on the selection with `out` (if any) replaced by `in`.
  bool holds_with(const std::size_t* out, std::size_t in) {
    for (const auto& c : constraints_) {
      if (out != nullptr) c->remove(*out);
      c->add(in);
      const bool ok = c->holds();
      c->remove(in);
      if (out != nullptr) c->add(*out);
      if (!ok) return false;
    }
    return true;
  }
  bool holds() const {
    for (const auto& c : constraints_)
      if (!c->holds()) return false;
    return true;
  }

 private:
  const Pool& pool_;
  std::vector<std::unique_ptr<ConstraintState>> constraints_;
  std::unique_ptr<ObjectiveState> objective_;

 public:
  std::vector<char> member;         // per pool position
  std::uint64_t spent = 0;          // summed cost of the members

  // The cost of pool position p; 0 without a cost function.
  std::uint64_t cost(std::size_t p) const { return cost_.empty() ? 0 : cost_[p]; }

 private:
  std::vector<std::uint64_t> cost_;  // per pool position, with a cost function
};

template <class C>
PackResult Selector<C>::pass(const Pool& pool, State& state, std::size_t limit, std::optional<std::uint32_t> budget,
                             bool ratio) const {
  PackResult result;
  result.positions.reserve(std::min(limit, pool.size()));
  auto eligible = [&](std::size_t p) {
    return (!budget || state.spent + state.cost(p) <= *budget) && state.admissible(p);
  };
  auto key_of = [&](std::size_t p, float g) { return ratio ? select_detail::ratio_key(g, state.cost(p)) : g; };
  auto take = [&](std::size_t p, float g) {
    result.positions.push_back(p);
    result.total = result.total + g;
    state.add(p);
  };

  if (!budget && !ratio && state.plain()) {
    // Every entry is eligible and its key is its fused score, so the scan
    // order is the pool's rank order with the NaN scores moved behind every
    // number: the picks are the first `limit` of that order.
    for (const bool nan : {false, true}) {
      for (std::size_t p = 0; p < pool.size() && result.positions.size() < limit; ++p) {
        if (select_detail::is_nan(pool[p].fused) == nan) take(p, pool[p].fused);
      }
    }
  } else if (state.lazy()) {
    // Keys only shrink, and an entry refused (by a constraint or the budget)
    // stays refused, while the selection grows. So a queue of stale keys in
    // scan order gives the scan's pick: re-key the top and take it when it
    // still comes before the next stale key.
    struct Keyed {
      float key;
      std::size_t p;
    };
    auto after = [](const Keyed& a, const Keyed& b) { return select_detail::key_before(b.key, b.p, a.key, a.p); };
    std::vector<Keyed> queue;
    queue.reserve(pool.size());
    for (std::size_t p = 0; p < pool.size(); ++p)
      if (eligible(p)) queue.push_back({key_of(p, state.gain(p)), p});
    std::make_heap(queue.begin(), queue.end(), after);
    while (result.positions.size() < limit) {
      check();
      bool picked = false;
      while (!queue.empty() && !picked) {
        std::pop_heap(queue.begin(), queue.end(), after);
        const std::size_t p = queue.back().p;
        queue.pop_back();
        if (!eligible(p)) continue;
        const float g = state.gain(p);
        const Keyed fresh{key_of(p, g), p};
        if (queue.empty() || !after(fresh, queue.front())) {
          take(p, g);
          picked = true;
        } else {
          queue.push_back(fresh);
          std::push_heap(queue.begin(), queue.end(), after);
        }
      }
      if (!picked) break;
    }
  } else {
    // Gains that may grow: scan every entry at every step.
    while (result.positions.size() < limit) {
      check();
      std::optional<std::size_t> best;
      float best_key = 0.0f, best_gain = 0.0f;
      for (std::size_t p = 0; p < pool.size(); ++p) {
        if (state.member[p] || !eligible(p)) continue;
        const float g = state.gain(p);
        const float key = key_of(p, g);
        if (!best || select_detail::displaces(key, best_key)) {
          best = p;
          best_key = key;
          best_gain = g;
        }
      }
      if (!best) break;
      take(*best, best_gain);
    }
  }
  result.complete = result.positions.size() == pool.size();
  return result;
}

template <class C>
PackResult Selector<C>::greedy_pack(const Pool& pool, std::uint32_t budget, bool ratio) const {
  State state(*this, pool);
  return pass(pool, state, pool.size(), budget, ratio);
}

template <class C>
bool Selector<C>::set_is_feasible(const Pool& pool, const Positions& positions) const {
  if (k && positions.size() > *k) return false;
  State state(*this, pool);
  for (std::size_t p : positions) state.add(p);
  if (tokens && has_cost() && state.spent > *tokens) return false;
  return state.holds();
}

template <class C>
std::optional<Error> Selector<C>::repair_requirements(const Pool& pool, Positions& selection, bool& repaired) const {
  State state(*this, pool);
  for (std::size_t p : selection) state.add(p);
  return repair(pool, state, selection, repaired);
}

// Trials are judged by their change to the selection: one member in, at most
// one out, against the kept counts of every constraint and requirement.
template <class C>
std::optional<Error> Selector<C>::repair(const Pool& pool, State& state, Positions& selection, bool& repaired) const {
  if (requirements == nullptr || requirements->empty()) return std::nullopt;
  const auto& reqs = *requirements;
  const std::size_t n = pool.size();

  // Which pool entries satisfy each requirement, and how many members do.
  std::vector<std::vector<char>> sat(reqs.size(), std::vector<char>(n, 0));
  std::vector<std::size_t> have(reqs.size(), 0);
  for (std::size_t r = 0; r < reqs.size(); ++r) {
    for (std::size_t p = 0; p < n; ++p) sat[r][p] = reqs[r].predicate(*pool[p].candidate) ? 1 : 0;
    for (std::size_t p : selection) have[r] += sat[r][p];
  }
  auto failure = [&](std::size_t r) {
    const std::uint64_t in_pool = std::count(sat[r].begin(), sat[r].end(), 1);
    return Error::requirement_unsatisfied(reqs[r].name, reqs[r].n, in_pool);
  };
  auto move_counts = [&](std::size_t p, bool joins) {
    for (std::size_t i = 0; i < reqs.size(); ++i) have[i] = joins ? have[i] + sat[i][p] : have[i] - sat[i][p];
  };

  // Pool positions best first, made when first needed.
  Positions by_rank;
  bool ranked = false;

  for (std::size_t r = 0; r < reqs.size(); ++r) {
    // The selection is feasible, `x` joins it at the end and `y` (if any)
    // leaves it; every requirement before `r` must still hold.
    auto accepted = [&](const std::size_t* y, std::size_t x) {
      if (k && selection.size() + (y ? 0 : 1) > *k) return false;
      if (tokens && has_cost() && state.spent - (y ? state.cost(*y) : 0) + state.cost(x) > *tokens) return false;
      for (std::size_t i = 0; i < r; ++i)
        if (have[i] - (y ? sat[i][*y] : 0) + sat[i][x] < reqs[i].n) return false;
      return state.holds_with(y, x);
    };
    while (have[r] < reqs[r].n) {
      if (!ranked) {
        by_rank.resize(n);
        for (std::size_t p = 0; p < n; ++p) by_rank[p] = p;
        std::stable_sort(by_rank.begin(), by_rank.end(), [&](std::size_t a, std::size_t b) {
          return score_before(pool[a].fused, *pool[a].key, pool[b].fused, *pool[b].key);
        });
        ranked = true;
      }
      // Highest-ranked matching outsiders first.
      Positions incoming;
      for (std::size_t p : by_rank)
        if (!state.member[p] && sat[r][p]) incoming.push_back(p);
      // Lowest-ranked non-matching members first, taken in selection order.
      Positions outgoing;
      for (std::size_t p : selection)
        if (!sat[r][p]) outgoing.push_back(p);
      std::stable_sort(outgoing.begin(), outgoing.end(), [&](std::size_t a, std::size_t b) {
        return score_before(pool[b].fused, *pool[b].key, pool[a].fused, *pool[a].key);
      });

      std::optional<std::size_t> in, out;
      for (std::size_t x : incoming) {
        check();
        if (k && selection.size() < *k && accepted(nullptr, x)) {
          in = x;
          break;
        }
        for (const std::size_t& y : outgoing) {
          if (accepted(&y, x)) {
            in = x;
            out = y;
            break;
          }
        }
        if (in) break;
      }
      if (!in) return failure(r);
      if (out) {
        selection.erase(std::find(selection.begin(), selection.end(), *out));
        state.remove(*out);
        move_counts(*out, false);
      }
      selection.push_back(*in);
      state.add(*in);
      move_counts(*in, true);
      repaired = true;
    }
  }

  for (std::size_t r = 0; r < reqs.size(); ++r)
    if (have[r] < reqs[r].n) return failure(r);
  return std::nullopt;
}

// Key of the last chosen entry minus the best key among the entries that
// could have taken its place. Leaves the last entry out of `state`.
template <class C>
std::optional<float> Selector<C>::cut_margin(const Pool& pool, State& state, const Positions& selection) const {
  if (selection.empty()) return std::nullopt;
  const std::size_t last = selection.back();
  state.remove(last);
  const bool token_mode = tokens.has_value();
  const bool costed = has_cost();
  constexpr float inf = std::numeric_limits<float>::infinity();

  const std::uint64_t remaining = token_mode && state.spent < *tokens ? *tokens - state.spent : 0;

  float last_key = state.gain(last);
  if (token_mode) last_key = costed ? select_detail::ratio_key(last_key, state.cost(last)) : inf;

  // Without a budget, an objective or set constraints the keys are the fused
  // scores in rank order: no later key displaces the first number found.
  const bool plain = !token_mode && state.plain();
  std::optional<float> best;
  for (std::size_t p = 0; p < pool.size() && !(plain && best && !select_detail::is_nan(*best)); ++p) {
    if (p == last || state.member[p]) continue;
    if (!state.admissible(p)) continue;
    float key;
    if (token_mode) {
      const std::uint64_t c = state.cost(p);
      if (costed && c > remaining) continue;
      key = costed ? select_detail::ratio_key(state.gain(p), c) : inf;
    } else {
      key = state.gain(p);
    }
    if (!best || select_detail::displaces(key, *best)) best = key;
  }
  if (!best) return std::nullopt;
  return last_key - *best;
}

template <class C>
std::expected<Chosen, Error> Selector<C>::run(const Pool& pool) const {
  Chosen out;
  State state(*this, pool);
  Positions selection;
  bool single_won = false;

  if (!tokens) {
    const std::size_t requested = k ? *k : pool.size();
    selection = pass(pool, state, std::min(requested, pool.size()), std::nullopt, false).positions;
    out.pool_exhausted = selection.size() < requested;
  } else {
    const std::uint32_t budget = *tokens;
    PackResult by_ratio = pass(pool, state, pool.size(), budget, true);
    state.remove_all(by_ratio.positions);
    PackResult plain = pass(pool, state, pool.size(), budget, false);
    state.remove_all(plain.positions);
    out.pool_exhausted = by_ratio.complete;
    PackResult choice = by_ratio.total < plain.total ? std::move(plain) : std::move(by_ratio);

    // The best single entry, valued against the empty selection.
    std::optional<std::size_t> single;
    float single_value = 0.0f;
    for (std::size_t p = 0; p < pool.size(); ++p) {
      if (state.cost(p) > budget) continue;
      if (!state.admissible(p)) continue;
      const float value = state.gain(p);
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
    for (std::size_t p : selection) state.add(p);
  }

  if (auto failure = repair(pool, state, selection, out.repaired)) return std::unexpected(std::move(*failure));

  if (constraints != nullptr && !constraints->empty()) {
    out.blocked.assign(pool.size(), std::nullopt);
    std::vector<ConstraintId> ids;
    for (const auto& c : *constraints) ids.push_back(c->id());
    for (std::size_t p = 0; p < pool.size(); ++p) {
      if (state.member[p]) continue;
      const std::size_t i = state.refusal(p);
      if (i < ids.size()) out.blocked[p] = ids[i];
    }
  }

  if (single_won)
    out.cut_margin = std::numeric_limits<float>::quiet_NaN();
  else
    out.cut_margin = cut_margin(pool, state, selection);

  out.indices = std::move(selection);
  return out;
}

}  // namespace vantorel
