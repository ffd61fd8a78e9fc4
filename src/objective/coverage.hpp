#pragma once
// Set objectives: the interface and the coverage objective.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vantorel {

// The objective's view of a selection over one run's pool, changed one member
// (a pool position) at a time.
class ObjectiveState {
 public:
  virtual ~ObjectiveState() = default;
  // marginal_gain of pool member `p`, not selected, against the selection.
  virtual float gain(std::size_t p) const = 0;
  virtual void add(std::size_t p) = 0;
  virtual void remove(std::size_t p) = 0;
  // Whether a member's gain, as a 32-bit float, can only stay or shrink as
  // the selection grows, and is never NaN or infinite.
  virtual bool gains_shrink() const = 0;
};

template <class C>
class SetObjective {
 public:
  virtual ~SetObjective() = default;
  virtual float marginal_gain(const std::vector<const C*>& selected, const C& candidate) const = 0;
  virtual bool is_submodular() const = 0;
  // An empty selection over `pool`; the same gains as `marginal_gain`.
  virtual std::unique_ptr<ObjectiveState> start(const std::vector<const C*>& pool) const = 0;
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

  // Items are numbered once over the pool; each member keeps its distinct
  // items in list order, so a gain adds the same weights in the same order.
  std::unique_ptr<ObjectiveState> start(const std::vector<const C*>& pool) const override {
    auto state = std::make_unique<State>();
    std::unordered_map<Item, std::uint32_t> numbers;
    std::vector<std::size_t> last_seen;  // 1 + the last position that listed the item
    state->first.reserve(pool.size() + 1);
    state->first.push_back(0);
    for (std::size_t p = 0; p < pool.size(); ++p) {
      for (auto& item : items_(*pool[p])) {
        auto [it, fresh] = numbers.try_emplace(std::move(item), static_cast<std::uint32_t>(numbers.size()));
        if (fresh) {
          state->weight.push_back(weight_ ? (*weight_)(it->first) : 1.0f);
          last_seen.push_back(0);
        }
        if (last_seen[it->second] == p + 1) continue;
        last_seen[it->second] = p + 1;
        state->items.push_back(it->second);
      }
      state->first.push_back(state->items.size());
    }
    state->covered.assign(state->weight.size(), 0);
    double total = 0.0;
    for (float w : state->weight) {
      if (!(w >= 0.0f) || std::isinf(w)) total = INFINITY;
      total += w;
    }
    // Non-negative weights whose sum stays far from overflow: every partial
    // sum is finite and adding fewer of them never gives more.
    state->shrink = total < 1e37;
    return state;
  }

 private:
  struct State final : ObjectiveState {
    float gain(std::size_t p) const override {
      float sum = 0.0f;
      for (std::size_t i = first[p]; i < first[p + 1]; ++i)
        if (covered[items[i]] == 0) sum += weight[items[i]];
      return sum;
    }
    void add(std::size_t p) override {
      for (std::size_t i = first[p]; i < first[p + 1]; ++i) ++covered[items[i]];
    }
    void remove(std::size_t p) override {
      for (std::size_t i = first[p]; i < first[p + 1]; ++i) --covered[items[i]];
    }
    bool gains_shrink() const override { return shrink; }
    std::vector<std::size_t> first;     // member p's items: items[first[p] .. first[p + 1])
    std::vector<std::uint32_t> items;   // distinct item numbers, in list order
    std::vector<float> weight;          // per item number
    std::vector<std::uint32_t> covered; // members listing the item
    bool shrink = true;
  };

  ItemsFn items_;
  std::optional<WeightFn> weight_;
};

}  // namespace vantorel
