// Engine.run: builds a fresh core engine from the recorded configuration,
// streams the candidates through the reader into it and decides which error,
// if any, reaches Python.
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.hpp"
#include "python/engine.hpp"
#include "python/outcome.hpp"
#include "python/reader.hpp"
#include "python/scorers.hpp"
#include "python/types.hpp"

namespace vantorel::python {

namespace {

using CoreEngine = Engine<PyCandidate>;

constexpr const char* kMsgNoAxes = "축이 하나도 없다. Engine.scorer 로 최소 하나를 등록해야 한다";
constexpr const char* kMsgUnknownAxis = "등록되지 않은 축 ";

void raise_value(const std::string& message) {
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

// Configuration copied from the record, before any scorer or constraint.
CoreEngine base_engine(const EngineConfig& cfg) {
  CoreEngine e = CoreEngine{}
                     .fuse(cfg.fusion)
                     .missing(cfg.missing)
                     .budget(cfg.budget)
                     .pool_multiplier(cfg.pool_multiplier)
                     .min_fit(cfg.min_fit)
                     .rejections(cfg.retention);
  if (cfg.threshold) e = std::move(e).threshold(*cfg.threshold);
  return e;
}

void add_scorers(const EngineConfig& cfg, CoreEngine& engine, std::vector<std::shared_ptr<CallbackScorer>>& callbacks) {
  for (std::size_t i = 0; i < cfg.axes.size(); ++i) {
    const AxisSpec& axis = cfg.axes[i];
    if (axis.callback) {
      auto shared = std::make_shared<CallbackScorer>(axis.name, Ref::borrow(axis.callback.get()), axis.normalizer,
                                                     axis.scale);
      callbacks.push_back(shared);
      engine = std::move(engine).scorer(std::make_unique<SharedCallback>(std::move(shared)));
    } else {
      engine = std::move(engine).scorer(
          std::make_unique<IndexScorer>(axis.name, i, axis.normalizer, axis.cost, axis.scale));
    }
  }
}

// False with ValueError when a unary minimum names no registered axis.
bool add_constraints(const EngineConfig& cfg, CoreEngine& engine) {
  for (const UnaryMinSpec& u : cfg.unary_mins) {
    std::size_t index = cfg.axes.size();
    for (std::size_t i = 0; i < cfg.axes.size(); ++i) {
      if (cfg.axes[i].name == u.axis) {
        index = i;
        break;
      }
    }
    if (index == cfg.axes.size()) {
      raise_value(std::string(kMsgUnknownAxis) + "'" + u.axis + "'");
      return false;
    }
    engine = std::move(engine).unary(std::make_unique<MinAxis<PyCandidate>>(u.id, index, u.min));
  }

  // Group limits read slots 0..G-1, requirements G.. in call order.
  for (std::size_t i = 0; i < cfg.groups.size(); ++i) {
    const GroupSpec& g = cfg.groups[i];
    engine = std::move(engine).set_constraint(std::make_unique<GroupLimit<PyCandidate>>(g.id, i, g.max));
  }
  if (cfg.total_cap) {
    engine = std::move(engine).set_constraint(
        std::make_unique<MaxTotal<PyCandidate>>(cfg.total_cap->id, cfg.total_cap->max));
  }
  for (std::size_t j = 0; j < cfg.requirements.size(); ++j) {
    const RequireSpec& r = cfg.requirements[j];
    const std::size_t key = cfg.groups.size() + j;
    engine = std::move(engine).require(
        Requirement<PyCandidate>::at_least(r.id, r.n, [key, value = r.value](const PyCandidate& c) {
          const auto& g = c.groups[key];
          return g && *g == value;
        }));
  }
  return true;
}

// A validated core engine made from the record, with the callback scorers it
// shares with the run entry and what the reader must know.
struct Built {
  CoreEngine engine;
  std::vector<std::shared_ptr<CallbackScorer>> callbacks;
  ReaderConfig reader_config;
};

// nullopt with the error raised when the record makes no valid engine.
std::optional<Built> build(const EngineConfig& cfg) {
  if (cfg.axes.empty()) {
    raise_value(kMsgNoAxes);
    return std::nullopt;
  }
  Built b{base_engine(cfg).checkpoint([] {
            if (PyErr_CheckSignals() < 0) throw RunAborted{};
          }),
          {},
          {}};
  if (cfg.admission) b.engine = std::move(b.engine).admission(*cfg.admission);
  const bool tokens = cfg.budget.kind == Budget::Kind::Tokens;
  if (tokens) b.engine = std::move(b.engine).cost([](const PyCandidate& c) { return c.cost; });
  if (cfg.coverage) {
    b.engine = std::move(b.engine).objective(std::make_unique<Coverage<PyCandidate, std::string>>(
        [](const PyCandidate& c) { return c.cover; }));
  }
  add_scorers(cfg, b.engine, b.callbacks);
  if (!add_constraints(cfg, b.engine)) return std::nullopt;
  if (std::optional<Error> invalid = b.engine.validate()) {
    to_py_err(std::move(*invalid));
    return std::nullopt;
  }

  ReaderConfig& rc = b.reader_config;
  rc.axes.reserve(cfg.axes.size());
  for (const AxisSpec& axis : cfg.axes) rc.axes.push_back(axis.name);
  rc.group_keys.reserve(cfg.groups.size() + cfg.requirements.size());
  for (const GroupSpec& g : cfg.groups) rc.group_keys.push_back(g.key);
  for (const RequireSpec& r : cfg.requirements) rc.group_keys.push_back(r.key);
  rc.read_cost = tokens;
  rc.read_cover = cfg.coverage;
  return b;
}

// A reader over the iterator of `candidates`; nullopt with the error raised.
std::optional<Reader> open_reader(const Built& b, PyObject* candidates) {
  Ref iterator = Ref::steal(PyObject_GetIter(candidates));
  if (!iterator) return std::nullopt;
  return Reader::make(std::move(iterator), b.reader_config);
}

// Raises what the run ended with, in this order: the engine's error, the
// stream's first error, the first callback's error; otherwise converts the
// outcome. The error that precedence passes over first stays reachable as
// the context of the raised one.
PyObject* conclude(const EngineConfig& cfg, const Built& b, std::expected<Outcome<PyCandidate>, Error>&& result,
                   FirstError stream_error) {
  auto keep_passed_over = [&](FirstError passed_over) {
    for (const auto& callback : b.callbacks) {
      if (!passed_over.empty()) break;
      passed_over = callback->take_error();
    }
    passed_over.become_context();
  };
  if (!result) {
    to_py_err(std::move(result.error()));
    keep_passed_over(std::move(stream_error));
    return nullptr;
  }
  if (stream_error.restore()) {
    keep_passed_over(FirstError{});
    return nullptr;
  }
  for (const auto& callback : b.callbacks) {
    FirstError error = callback->take_error();
    if (error.restore()) return nullptr;
  }

  std::vector<Cost> declared_costs;
  declared_costs.reserve(cfg.axes.size());
  for (const AxisSpec& axis : cfg.axes) declared_costs.push_back(axis.cost);
  return build_outcome(std::move(*result), declared_costs);
}

PyObject* run_checked(const EngineConfig& cfg, PyObject* candidates) {
  std::optional<Built> b = build(cfg);
  if (!b) return nullptr;
  std::optional<Reader> reader = open_reader(*b, candidates);
  if (!reader) return nullptr;
  auto result = b->engine.run([&reader]() { return reader->next(); });
  return conclude(cfg, *b, std::move(result), reader->first_error().take());
}

}  // namespace

PyObject* build_and_run(const EngineConfig& config, PyObject* candidates) {
  try {
    return run_checked(config, candidates);
  } catch (const RunAborted&) {
    // The exception that stopped the run is still being raised.
    if (!PyErr_Occurred()) raise_internal_fault("중단된 실행에 예외가 없다");
    return nullptr;
  } catch (const InternalFault& fault) {
    raise_internal_fault(fault.text);
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    // Nothing else should reach here; should a library error slip through
    // (a length or range error), it surfaces as a fault instead of ending
    // the process.
    raise_internal_fault(e.what());
    return nullptr;
  }
}

}  // namespace vantorel::python
