#pragma once
// Set objectives: the interface and the coverage objective.
#include <functional>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vantorel {

template <class C>
class SetObjective {
 public:
  virtual ~SetObjective() = default;
  virtual float marginal_gain(const std::vector<const C*>& selected, const C& candidate) const = 0;
  virtual bool is_submodular() const = 0;
};

// Gain = total weight of the candidate's distinct items that no selected
// candidate covers yet (1.0 each without a weight function).
template <class C, class Item>
class Coverage final : public SetObjective<C> {
 public:
  using ItemsFn = std::function<std::vector<Item>(const C&)>;
  using WeightFn = std::function<float(const Item&)>;

  explicit Coverage(ItemsFn items, std::optional<WeightFn> weight = std::nullopt)
      : items_(std::move(items)), weight_(std::move(weight)) {}

  float marginal_gain(const std::vector<const C*>& selected, const C& candidate) const override {
    std::unordered_set<Item> covered;
    for (const C* s : selected)
      for (auto& item : items_(*s)) covered.insert(std::move(item));
    std::unordered_set<Item> seen;
    float gain = 0.0f;
    for (auto& item : items_(candidate)) {
      if (covered.count(item) || seen.count(item)) continue;
      gain += weight_ ? (*weight_)(item) : 1.0f;
      seen.insert(std::move(item));
    }
    return gain;
  }
  bool is_submodular() const override { return true; }

 private:
  ItemsFn items_;
  std::optional<WeightFn> weight_;
};

}  // namespace vantorel
