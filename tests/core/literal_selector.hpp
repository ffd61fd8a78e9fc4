#pragma once
// Test oracle: the selector run step by step as first written. Every scan
// rereads the whole pool and asks the constraints and the objective against
// the selection as a list. Slow (about K^3 with an objective) but plain; the
// incremental selector must agree with it bit for bit.
#include <algorithm>
#include <expected>
#include <limits>
#include <optional>
#include <vector>

#include "select/selector.hpp"

namespace vantorel::testing {

template <class C>
struct LiteralSelector : Selector<C> {
  using Pool = std::vector<PoolEntry<C>>;
  using Pos = std::vector<std::size_t>;
  using Refs = std::vector<const C*>;
  using Selector<C>::k, Selector<C>::tokens, Selector<C>::constraints, Selector<C>::requirements,
      Selector<C>::objective, Selector<C>::cost;

  static Refs refs(const Pool& pool, const Pos& positions) {
    Refs out;
    for (std::size_t p : positions) out.push_back(pool[p].candidate);
    return out;
  }
  static bool contains(const Pos& s, std::size_t p) { return std::find(s.begin(), s.end(), p) != s.end(); }
  bool has_cost() const { return cost != nullptr && static_cast<bool>(*cost); }
  std::uint64_t cost_of(const C& c) const { return has_cost() ? (*cost)(c) : 0; }
  float gain(const PoolEntry<C>& e, const Refs& s) const {
    return objective == nullptr ? e.fused : e.fused + objective->marginal_gain(s, *e.candidate);
  }
  // Token-mode key: gain / cost, or +inf for every entry without a cost function.
  float token_key(float g, std::uint64_t c) const {
    return has_cost() ? select_detail::ratio_key(g, c) : std::numeric_limits<float>::infinity();
  }
  std::optional<ConstraintId> first_refusal(const Refs& s, const C& c) const {
    if (constraints != nullptr)
      for (const auto& x : *constraints)
        if (!x->admits(s, c)) return x->id();
    return std::nullopt;
  }
  bool admissible(const Refs& s, const C& c) const { return !first_refusal(s, c); }

  // One greedy pass; token mode when `budget` is set, key gain / cost when `ratio`.
  PackResult pack(const Pool& pool, std::size_t limit, std::optional<std::uint32_t> budget, bool ratio) const {
    PackResult r;
    std::uint64_t spent = 0;
    while (r.positions.size() < limit) {
      const auto sel = refs(pool, r.positions);
      std::optional<std::size_t> best;
      float best_key = 0.0f, best_gain = 0.0f;
      for (std::size_t p = 0; p < pool.size(); ++p) {
        const std::uint64_t c = cost_of(*pool[p].candidate);
        if (contains(r.positions, p) || (budget && spent + c > *budget) || !admissible(sel, *pool[p].candidate))
          continue;
        const float g = gain(pool[p], sel);
        const float key = ratio ? select_detail::ratio_key(g, c) : g;
        if (!best || select_detail::displaces(key, best_key)) best = p, best_key = key, best_gain = g;
      }
      if (!best) break;
      r.positions.push_back(*best);
      r.total = r.total + best_gain;
      spent += cost_of(*pool[*best].candidate);
    }
    r.complete = r.positions.size() == pool.size();
    return r;
  }

  bool feasible(const Pool& pool, const Pos& ps) const {
    std::uint64_t sum = 0;
    for (std::size_t p : ps) sum += cost_of(*pool[p].candidate);
    if ((k && ps.size() > *k) || (tokens && has_cost() && sum > *tokens)) return false;
    for (std::size_t i = 0; i < ps.size(); ++i) {
      Refs others;
      for (std::size_t j = 0; j < ps.size(); ++j)
        if (j != i) others.push_back(pool[ps[j]].candidate);
      if (!admissible(others, *pool[ps[i]].candidate)) return false;
    }
    return true;
  }

  // Each requirement in turn: try the best incoming entry against every
  // outgoing one (weakest first, or none while below k) until a set passes.
  std::optional<Error> repair(const Pool& pool, Pos& sel, bool& repaired) const {
    if (requirements == nullptr) return std::nullopt;
    const auto& reqs = *requirements;
    auto fail = [&](const Requirement<C>& q) {
      std::uint64_t have = 0;
      for (const auto& e : pool) have += q.predicate(*e.candidate) ? 1 : 0;
      return Error::requirement_unsatisfied(q.name, q.n, have);
    };
    auto by_score = [&](std::size_t a, std::size_t b) {
      return score_before(pool[a].fused, *pool[a].key, pool[b].fused, *pool[b].key);
    };
    for (std::size_t r = 0; r < reqs.size(); ++r) {
      while (reqs[r].count(refs(pool, sel)) < reqs[r].n) {
        Pos in, out;
        for (std::size_t p = 0; p < pool.size(); ++p)
          if (!contains(sel, p) && reqs[r].predicate(*pool[p].candidate)) in.push_back(p);
        for (std::size_t p : sel)
          if (!reqs[r].predicate(*pool[p].candidate)) out.push_back(p);
        std::stable_sort(in.begin(), in.end(), by_score);
        std::stable_sort(out.begin(), out.end(), [&](std::size_t a, std::size_t b) { return by_score(b, a); });
        auto accepted = [&](const Pos& t) {
          if (!feasible(pool, t)) return false;
          for (std::size_t i = 0; i < r; ++i)
            if (reqs[i].count(refs(pool, t)) < reqs[i].n) return false;
          return true;
        };
        std::vector<std::optional<std::size_t>> drops;
        if (k && sel.size() < *k) drops.push_back(std::nullopt);
        for (std::size_t y : out) drops.push_back(y);
        std::optional<Pos> next;
        for (std::size_t i = 0; i < in.size() && !next; ++i)
          for (const auto& y : drops) {
            Pos t;
            for (std::size_t p : sel)
              if (!y || p != *y) t.push_back(p);
            t.push_back(in[i]);
            if (accepted(t)) {
              next = std::move(t);
              break;
            }
          }
        if (!next) return fail(reqs[r]);
        sel = std::move(*next);
        repaired = true;
      }
    }
    for (const auto& q : reqs)
      if (q.count(refs(pool, sel)) < q.n) return fail(q);
    return std::nullopt;
  }

  // The last pick's key less the best key left out, both against the selection before it.
  std::optional<float> margin(const Pool& pool, const Pos& sel) const {
    if (sel.empty()) return std::nullopt;
    const Pos before(sel.begin(), sel.end() - 1);
    const auto prior = refs(pool, before);
    std::uint64_t used = 0;
    for (std::size_t p : before) used += cost_of(*pool[p].candidate);
    const std::uint64_t remaining = tokens && used <= *tokens ? *tokens - used : 0;
    float last_key = gain(pool[sel.back()], prior);
    if (tokens) last_key = token_key(last_key, cost_of(*pool[sel.back()].candidate));
    std::optional<float> best;
    for (std::size_t p = 0; p < pool.size(); ++p) {
      const std::uint64_t c = cost_of(*pool[p].candidate);
      if (contains(sel, p) || !admissible(prior, *pool[p].candidate) || (tokens && has_cost() && c > remaining))
        continue;
      const float key = tokens ? token_key(gain(pool[p], prior), c) : gain(pool[p], prior);
      if (!best || select_detail::displaces(key, *best)) best = key;
    }
    if (!best) return std::nullopt;
    return last_key - *best;
  }

  std::expected<Chosen, Error> run(const Pool& pool) const {
    Chosen out;
    Pos sel;
    bool single_won = false;
    if (!tokens) {
      const std::size_t requested = k ? *k : pool.size();
      sel = pack(pool, std::min(requested, pool.size()), std::nullopt, false).positions;
      out.pool_exhausted = sel.size() < requested;
    } else {
      PackResult by_ratio = pack(pool, pool.size(), *tokens, true);
      PackResult plain = pack(pool, pool.size(), *tokens, false);
      out.pool_exhausted = by_ratio.complete;
      PackResult choice = by_ratio.total < plain.total ? std::move(plain) : std::move(by_ratio);
      std::optional<std::size_t> single;
      float value = 0.0f;
      for (std::size_t p = 0; p < pool.size(); ++p) {
        if (cost_of(*pool[p].candidate) > *tokens || !admissible({}, *pool[p].candidate)) continue;
        const float v = gain(pool[p], {});
        if (!single || select_detail::displaces(v, value)) single = p, value = v;
      }
      single_won = single && choice.total < value;
      sel = single_won ? Pos{*single} : std::move(choice.positions);
    }
    if (auto failure = repair(pool, sel, out.repaired)) return std::unexpected(std::move(*failure));
    if (constraints != nullptr && !constraints->empty()) out.blocked.assign(pool.size(), std::nullopt);
    for (std::size_t p = 0; p < out.blocked.size(); ++p)
      if (!contains(sel, p)) out.blocked[p] = first_refusal(refs(pool, sel), *pool[p].candidate);
    out.cut_margin = single_won ? std::numeric_limits<float>::quiet_NaN() : margin(pool, sel);
    out.indices = std::move(sel);
    return out;
  }
};

}  // namespace vantorel::testing
