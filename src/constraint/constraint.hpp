#pragma once
// Constraint interfaces and the constraint kinds.
#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace vantorel {

using ConstraintId = std::string;

template <class C>
class UnaryConstraint {
 public:
  virtual ~UnaryConstraint() = default;
  virtual ConstraintId id() const = 0;
  virtual bool allows(const C& candidate) const = 0;
};

template <class C>
class SetConstraint {
 public:
  virtual ~SetConstraint() = default;
  virtual ConstraintId id() const = 0;
  // May `candidate` join a selection holding `selected` (never containing it)?
  virtual bool admits(const std::vector<const C*>& selected, const C& candidate) const = 0;
  virtual bool is_matroid() const = 0;
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

 private:
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
    const auto& v = c.scores.at(axis_);
    return v && *v >= min_;
  }

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
    const auto& value = c.groups.at(key_);
    if (!value || selected.empty()) return true;
    std::size_t same = 0;
    for (const C* s : selected) {
      const auto& other = s->groups.at(key_);
      if (other && *other == *value && ++same >= max_) return false;
    }
    return true;
  }
  bool is_matroid() const override { return true; }

 private:
  ConstraintId id_;
  std::size_t key_;
  std::size_t max_;
};

}  // namespace vantorel
