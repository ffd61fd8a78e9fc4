#pragma once
// Constraint interfaces and the constraint kinds.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "error/error.hpp"

namespace vantorel {

using ConstraintId = std::string;

// Slot `i` of a candidate's scores or group values. The candidate source
// gives every candidate one slot per registered axis and per group key, and
// the engine was validated against those lists.
template <class Slots>
decltype(auto) slot_of(const Slots& slots, std::size_t i) {
  if (i >= slots.size()) internal_fault(kInvValidated);
  return slots[i];
}

// A unary constraint that is a minimum on the candidate's own score at
// `slot` can say so, and be checked without the candidate.
struct SlotMin {
  std::size_t slot;
  float min;
};

template <class C>
class UnaryConstraint {
 public:
  virtual ~UnaryConstraint() = default;
  virtual ConstraintId id() const = 0;
  virtual bool allows(const C& candidate) const = 0;
  virtual std::optional<SlotMin> slot_min() const { return std::nullopt; }
};

// One set constraint's view of a selection over one run's pool, changed one
// member (a pool position) at a time. A member that it refuses stays refused
// while the selection only grows.
class ConstraintState {
 public:
  virtual ~ConstraintState() = default;
  // May pool member `p`, not selected, join the selection as it stands?
  virtual bool admits(std::size_t p) const = 0;
  virtual void add(std::size_t p) = 0;
  virtual void remove(std::size_t p) = 0;
  // Every member is admitted against all the others.
  virtual bool holds() const = 0;
};

template <class C>
class SetConstraint {
 public:
  virtual ~SetConstraint() = default;
  virtual ConstraintId id() const = 0;
  // May `candidate` join a selection holding `selected` (never containing it)?
  virtual bool admits(const std::vector<const C*>& selected, const C& candidate) const = 0;
  virtual bool is_matroid() const = 0;
  // An empty selection over `pool`; the same answers as `admits`, each in O(1).
  virtual std::unique_ptr<ConstraintState> start(const std::vector<const C*>& pool) const = 0;
};

template <class C>
struct Requirement {
  std::string name;
  std::function<bool(const C&)> predicate;
  std::size_t n = 0;

  static Requirement at_least(std::string name, std::size_t n, std::function<bool(const C&)> predicate) {
    return Requirement{std::move(name), std::move(predicate), n};
  }
  std::size_t count(const std::vector<const C*>& selection) const {
    std::size_t have = 0;
    for (const C* c : selection) have += predicate(*c) ? 1 : 0;
    return have;
  }
};

// Uniform matroid: at most `max` chosen in all.
template <class C>
class MaxTotal final : public SetConstraint<C> {
 public:
  MaxTotal(ConstraintId id, std::size_t max) : id_(std::move(id)), max_(max) {}
  ConstraintId id() const override { return id_; }
  bool admits(const std::vector<const C*>& selected, const C&) const override { return selected.size() < max_; }
  bool is_matroid() const override { return true; }
  std::unique_ptr<ConstraintState> start(const std::vector<const C*>&) const override {
    return std::make_unique<State>(max_);
  }

 private:
  struct State final : ConstraintState {
    explicit State(std::size_t max) : max(max) {}
    bool admits(std::size_t) const override { return size < max; }
    void add(std::size_t) override { ++size; }
    void remove(std::size_t) override { --size; }
    bool holds() const override { return size <= max; }
    std::size_t max, size = 0;
  };

  ConstraintId id_;
  std::size_t max_;
};

// Per-candidate minimum on one axis. C carries `scores`, a list of optional
// floats indexed by axis position.
template <class C>
class MinAxis final : public UnaryConstraint<C> {
 public:
  MinAxis(ConstraintId id, std::size_t axis, float min) : id_(std::move(id)), axis_(axis), min_(min) {}
  ConstraintId id() const override { return id_; }
  bool allows(const C& c) const override {
    const auto& v = slot_of(c.scores, axis_);
    return v && *v >= min_;
  }
  std::optional<SlotMin> slot_min() const override { return SlotMin{axis_, min_}; }

 private:
  ConstraintId id_;
  std::size_t axis_;
  float min_;
};

// Partition matroid over one group key. C carries `groups`, a list of
// optional texts indexed by key position.
template <class C>
class GroupLimit final : public SetConstraint<C> {
 public:
  GroupLimit(ConstraintId id, std::size_t key, std::size_t max) : id_(std::move(id)), key_(key), max_(max) {}
  ConstraintId id() const override { return id_; }
  bool admits(const std::vector<const C*>& selected, const C& c) const override {
    if (max_ == 0) return false;
    const auto& value = slot_of(c.groups, key_);
    if (!value || selected.empty()) return true;
    std::size_t same = 0;
    for (const C* s : selected) {
      const auto& other = slot_of(s->groups, key_);
      if (other && *other == *value && ++same >= max_) return false;
    }
    return true;
  }
  bool is_matroid() const override { return true; }
  // Group values are numbered once over the pool; the state counts members per value.
  std::unique_ptr<ConstraintState> start(const std::vector<const C*>& pool) const override {
    auto state = std::make_unique<State>(max_);
    std::unordered_map<std::string_view, std::uint32_t> numbers;
    state->value.reserve(pool.size());
    for (const C* c : pool) {
      const auto& v = slot_of(c->groups, key_);
      if (!v) {
        state->value.push_back(State::kNone);
        continue;
      }
      state->value.push_back(numbers.try_emplace(*v, static_cast<std::uint32_t>(numbers.size())).first->second);
    }
    state->count.assign(numbers.size(), 0);
    return state;
  }

 private:
  struct State final : ConstraintState {
    static constexpr std::uint32_t kNone = UINT32_MAX;
    explicit State(std::size_t max) : max(max) {}
    bool admits(std::size_t p) const override {
      return max != 0 && (value[p] == kNone || count[value[p]] < max);
    }
    void add(std::size_t p) override {
      ++size;
      if (value[p] != kNone && count[value[p]]++ == max) ++over;
    }
    void remove(std::size_t p) override {
      --size;
      if (value[p] != kNone && --count[value[p]] == max) --over;
    }
    bool holds() const override { return max == 0 ? size == 0 : over == 0; }
    std::size_t max, size = 0, over = 0;  // over: values held by more than max members
    std::vector<std::uint32_t> value;      // per pool position
    std::vector<std::size_t> count;        // members per value
  };

  ConstraintId id_;
  std::size_t key_;
  std::size_t max_;
};

}  // namespace vantorel
