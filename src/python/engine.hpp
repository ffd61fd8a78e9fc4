#pragma once
// The configuration record of vantorel.Engine (PyEngine), which Engine.run
// turns into a core engine.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "budget/budget.hpp"
#include "evidence/outcome.hpp"
#include "fuse/fusion.hpp"
#include "python/py.hpp"
#include "score/score.hpp"

namespace vantorel::python {

// One `scorer` call.
struct AxisSpec {
  std::string name;
  Ref callback;  // the `fn` argument; empty when none was given
  std::optional<Normalizer> normalizer;
  Cost cost = Cost::Cheap;
  ScoreScale scale = ScoreScale::Unit;
};

// One `max_per_group` call.
struct GroupSpec {
  std::string key;
  std::string id;
  std::size_t max = 0;
};

// One `require_at_least` call.
struct RequireSpec {
  std::string key;
  std::string value;
  std::string id;
  std::size_t n = 0;
};

// One `unary_min` call.
struct UnaryMinSpec {
  std::string id;
  std::string axis;
  float min = 0.0f;
};

// The `max_total` setting.
struct TotalCap {
  std::string id;
  std::size_t max = 0;
};

// Everything an Engine records; the defaults are those of Engine().
struct EngineConfig {
  Retention retention = Retention::keep();
  std::vector<AxisSpec> axes;
  std::vector<GroupSpec> groups;
  std::vector<RequireSpec> requirements;
  std::vector<UnaryMinSpec> unary_mins;
  std::optional<TotalCap> total_cap;
  std::optional<std::string> admission;
  Fusion fusion = Fusion::rrf(kDefaultRrfK);
  std::optional<float> threshold;
  MissingPolicy missing = MissingPolicy::skip();
  Budget budget = Budget::top_k(kDefaultTopK);
  std::uint32_t pool_multiplier = kDefaultPoolMultiplier;
  float min_fit = kDefaultMinFit;
  bool coverage = false;
};

// What an Engine keeps from its runs until a configuration call drops it
// (see run.cpp): the prepared part of its configuration, which its runs share
// and none changes, and storage a run leaves for the next.
struct RunCache;
using KeptRuns = std::shared_ptr<RunCache>;

// A run step: the configuration, the slot where the Engine keeps what its
// runs left (empty when there is nothing yet), and the step's argument.
using RunStep = PyObject* (*)(const EngineConfig&, KeptRuns&, PyObject*);

// Runs `step` over the configuration of `engine` (a vantorel.Engine) and
// `arg`, under shared access to the engine for the whole call.
PyObject* with_config(PyObject* engine, PyObject* arg, RunStep step);

// Engine.run: runs the core engine of `config` (prepared, or kept from an
// earlier run) over `candidates` and returns a new Outcome, or nullptr with
// the error to raise. The caller holds shared access to the PyEngine for the
// whole call.
PyObject* build_and_run(const EngineConfig& config, KeptRuns& kept, PyObject* candidates);

// The private functions _scan(engine, candidates), stage 1 over one part of
// a stream giving a partial (a plain tuple), and _finish(engine, partial),
// stage 2 over a partial giving an Outcome; used by vantorel.parallel.
PyObject* scan_partial(PyObject* module, PyObject* args);
PyObject* finish_partial(PyObject* module, PyObject* args);

}  // namespace vantorel::python
