// vantorel.Engine: a mutable configuration record. Each configuration method
// matches its arguments, takes exclusive access, converts the arguments in
// parameter order, applies its checks and only then stores the result, so a
// failed call leaves the object as it was.
#include "python/engine.hpp"

#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/buffer.hpp"
#include "python/convert.hpp"
#include "python/instance.hpp"
#include "python/reader.hpp"
#include "python/types.hpp"

namespace vantorel::python {

namespace {

// Option texts of the settings the core does not name in these words.
constexpr const char* kScaleKeys[] = {"unit", "unbounded", "rank"};           // by ScoreScale
constexpr const char* kNormalizerKeys[] = {"sigmoid", "clamp01", "minmax"};  // by Normalizer::Kind
constexpr const char* kRetentionKeys[] = {"keep", "count", "sample"};        // by Retention::Kind

// The setting named `text` in `names`; otherwise ValueError "{message}'{text}'".
template <class E, std::size_t N>
bool option_of(const char* const (&names)[N], const std::string& text, const char* message, E& out) {
  std::optional<E> found = parse_name<E>(names, text);
  if (!found) {
    raise_value(std::string(message) + "'" + text + "'");
    return false;
  }
  out = *found;
  return true;
}

constexpr const char* kMsgFnNeedsExpensive =
    "fn 을 주는 축은 cost='expensive' 여야 한다. 싼 축은 후보 전부에 도므로 파이썬을 부르면 스트리밍의 뜻이 사라진다";
constexpr const char* kMsgCost = "비용은 'cheap' 또는 'expensive' 여야 한다. 받은 값 ";
constexpr const char* kMsgMinmaxRange = "normalize='minmax' 는 normalize_range=(min, max) 를 함께 받아야 한다";
constexpr const char* kMsgNormalize = "정규화기는 'sigmoid', 'clamp01', 'minmax' 중 하나여야 한다. 받은 값 ";
constexpr const char* kMsgScale = "척도는 'unit', 'unbounded', 'rank' 중 하나여야 한다. 받은 값 ";
constexpr const char* kMsgWeights = "weights 는 {'축이름': 가중치} 사전이거나 [('축이름', 가중치)] 목록이어야 한다";
constexpr const char* kMsgFusion = "융합은 'rrf', 'weighted_sum', 'max' 중 하나여야 한다. 받은 값 ";
constexpr const char* kMsgImputeValue = "missing='impute' 는 value 를 함께 받아야 한다";
constexpr const char* kMsgMissing = "결측 정책은 'skip', 'impute', 'reject' 중 하나여야 한다. 받은 값 ";
constexpr const char* kMsgSampleN = "rejections='sample' 은 n 을 함께 받아야 한다";
constexpr const char* kMsgRetention = "보관 정책은 'keep', 'count', 'sample' 중 하나여야 한다. 받은 값 ";

using Range = std::pair<float, float>;

// normalize_range: a tuple of exactly two floats, or a buffer of two numbers.
bool range_of(PyObject* o, Range& out) {
  if (!PyTuple_Check(o)) {
    NumberBuffer numbers;
    int has_numbers = numbers.open(o);
    if (has_numbers < 0) return false;
    if (has_numbers == 1) {
      if (numbers.size() != 2) {
        PyErr_Format(PyExc_ValueError, "expected buffer of length 2, but got buffer of length %zd", numbers.size());
        return false;
      }
      return numbers.each(2, [&](Py_ssize_t i, float f) {
        (i == 0 ? out.first : out.second) = f;
        return true;
      });
    }
    raise_not_convertible(o, "tuple");
    return false;
  }
  Py_ssize_t len = PyTuple_Size(o);
  if (len < 0) return false;
  if (len != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", len);
    return false;
  }
  Ref lo = Ref::borrow(PyTuple_GetItem(o, 0));
  Ref hi = Ref::borrow(PyTuple_GetItem(o, 1));
  if (!lo || !hi) return false;
  return f32_of(lo.get(), out.first) && f32_of(hi.get(), out.second);
}

using Weights = std::vector<std::pair<ScorerId, float>>;

// A dict of weights, in the dict's iteration order. A dict changed while it
// is read (by a key's __str__ or a value's __float__) raises the RuntimeError
// that Python's own dict iteration raises.
bool weights_from_dict(PyObject* dict, Weights& out) {
  const Py_ssize_t size = PyDict_Size(dict);
  if (size < 0) return false;
  out.reserve(static_cast<std::size_t>(size));
  Py_ssize_t pos = 0;
  PyObject *k = nullptr, *v = nullptr;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    Ref key = Ref::borrow(k);
    Ref value = Ref::borrow(v);
    std::string name;
    float weight = 0.0f;
    if (!str_of(key.get(), name) || !f32_of(value.get(), weight)) return false;
    if (PyDict_Size(dict) != size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return false;
    }
    out.emplace_back(std::move(name), weight);
  }
  return true;
}

// One (name, weight) item of a weights sequence: a tuple of a str and a float.
bool weight_item(PyObject* item, Weights& out) {
  if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) return false;
  Ref name_obj = Ref::borrow(PyTuple_GetItem(item, 0));
  Ref weight_obj = Ref::borrow(PyTuple_GetItem(item, 1));
  if (!name_obj || !weight_obj || !PyUnicode_Check(name_obj.get())) return false;
  std::string name;
  float weight = 0.0f;
  if (!text_of(name_obj.get(), name) || !f32_of(weight_obj.get(), weight)) return false;
  out.emplace_back(std::move(name), weight);
  return true;
}

// A sequence (not a str) of (name, weight) tuples. False without an error set
// being meaningful: the caller replaces any failure with one ValueError.
bool weights_from_sequence(PyObject* seq, Weights& out) {
  if (PyUnicode_Check(seq) || is_sequence(seq) != 1) return false;
  return for_each_element(seq, -1, [&out](Py_ssize_t, PyObject* item) { return weight_item(item, out); });
}

bool weights_of(PyObject* o, Weights& out) {
  if (absent(o)) return true;
  if (PyDict_Check(o)) return weights_from_dict(o, out);
  if (weights_from_sequence(o, out)) return true;
  PyErr_Clear();
  raise_value(kMsgWeights);
  return false;
}

// An Engine's contents. The callbacks of the axes are the only Python objects
// it holds; reporting them lets the collector reclaim a callback that refers
// back to its Engine.
struct EngineData {
  EngineConfig config;

  template <class Visit>
  int traverse(Visit&& visit) const {
    for (const AxisSpec& axis : config.axes) {
      if (int r = visit(axis.callback.get())) return r;
    }
    return 0;
  }
  void clear() {
    for (AxisSpec& axis : config.axes) axis.callback.reset();
  }
};

using PyEngine = Instance<EngineData>;

PyEngine* as_engine(PyObject* self) { return as<EngineData>(self); }

// Runs a configuration body under exclusive access. The body returns false
// with an exception set on failure and must store nothing before it succeeds.
template <class Body>
PyObject* configure(PyObject* self, Body&& body) {
  PyEngine* e = as_engine(self);
  auto guard = ExclusiveGuard::take(e->flag);
  if (!guard) return nullptr;
  try {
    if (!body(e->data.config)) return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Py_RETURN_NONE;
}

// PyArg_ParseTupleAndKeywords takes a non-const keyword list before 3.13.
#define KWLIST(...)                       \
  static const char* const kw[] = {__VA_ARGS__, nullptr}; \
  char** kwlist = const_cast<char**>(kw)

// --- the methods, in registration order ---

PyObject* m_scorer(PyObject* self, PyObject* args, PyObject* kwargs) {
  KWLIST("name", "scale", "cost", "normalize", "normalize_range", "fn");
  PyObject *o_name = nullptr, *o_scale = nullptr, *o_cost = nullptr, *o_norm = nullptr, *o_range = nullptr,
           *o_fn = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOO:Engine.scorer", kwlist, &o_name, &o_scale, &o_cost,
                                   &o_norm, &o_range, &o_fn)) {
    return nullptr;
  }
  return configure(self, [&](EngineConfig& cfg) {
    std::string name, scale, cost, normalize;
    Range range{0.0f, 0.0f};
    if (!arg_text(o_name, "name", name)) return false;
    if (o_scale && !arg_text(o_scale, "scale", scale)) return false;
    if (o_cost && !arg_text(o_cost, "cost", cost)) return false;
    const bool has_normalize = !absent(o_norm);
    if (has_normalize && !arg_text(o_norm, "normalize", normalize)) return false;
    const bool has_range = !absent(o_range);
    if (has_range && !arg(o_range, "normalize_range", range, range_of)) return false;
    PyObject* fn = absent(o_fn) ? nullptr : o_fn;

    AxisSpec entry;  // cheap, unit scale, no normaliser unless given
    if (o_cost && !option_of(kCostNames, cost, kMsgCost, entry.cost)) return false;
    if (entry.cost == Cost::Cheap && fn) {
      raise_value(kMsgFnNeedsExpensive);
      return false;
    }
    if (has_normalize) {
      Normalizer::Kind kind{};
      if (!option_of(kNormalizerKeys, normalize, kMsgNormalize, kind)) return false;
      const bool minmax = kind == Normalizer::Kind::MinMax;
      if (minmax && !has_range) {
        raise_value(kMsgMinmaxRange);
        return false;
      }
      entry.normalizer = minmax ? Normalizer::minmax(range.first, range.second) : Normalizer{kind, 0.0f, 0.0f};
    }
    if (o_scale && !option_of(kScaleKeys, scale, kMsgScale, entry.scale)) return false;
    entry.name = std::move(name);
    entry.callback = Ref::borrow(fn);
    cfg.axes.push_back(std::move(entry));
    return true;
  });
}

PyObject* m_fuse(PyObject* self, PyObject* args, PyObject* kwargs) {
  KWLIST("method", "k", "weights");
  PyObject *o_method = nullptr, *o_k = nullptr, *o_weights = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:Engine.fuse", kwlist, &o_method, &o_k, &o_weights)) {
    return nullptr;
  }
  return configure(self, [&](EngineConfig& cfg) {
    std::string method;
    float k = kDefaultRrfK;
    if (!arg_text(o_method, "method", method)) return false;
    if (!absent(o_k) && !arg_f32(o_k, "k", k)) return false;
    Fusion::Kind kind{};
    if (!option_of(kFusionNames, method, kMsgFusion, kind)) return false;
    if (kind == Fusion::Kind::WeightedSum) {
      Weights weights;
      if (!weights_of(o_weights, weights)) return false;
      cfg.fusion = Fusion::weighted_sum(std::move(weights));
    } else {
      cfg.fusion = kind == Fusion::Kind::Rrf ? Fusion::rrf(k) : Fusion::max();
    }
    return true;
  });
}

PyObject* m_missing(PyObject* self, PyObject* args, PyObject* kwargs) {
  KWLIST("policy", "value");
  PyObject *o_policy = nullptr, *o_value = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:Engine.missing", kwlist, &o_policy, &o_value)) {
    return nullptr;
  }
  return configure(self, [&](EngineConfig& cfg) {
    std::string policy;
    float value = 0.0f;
    if (!arg_text(o_policy, "policy", policy)) return false;
    const bool has_value = !absent(o_value);
    if (has_value && !arg_f32(o_value, "value", value)) return false;
    MissingPolicy::Kind kind{};
    if (!option_of(kMissingNames, policy, kMsgMissing, kind)) return false;
    const bool impute = kind == MissingPolicy::Kind::Impute;
    if (impute && !has_value) {
      raise_value(kMsgImputeValue);
      return false;
    }
    cfg.missing = MissingPolicy{kind, impute ? value : 0.0f};
    return true;
  });
}

PyObject* m_max_per_group(PyObject* self, PyObject* args, PyObject* kwargs) {
  KWLIST("key", "max", "id");
  PyObject *o_key = nullptr, *o_max = nullptr, *o_id = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:Engine.max_per_group", kwlist, &o_key, &o_max, &o_id)) {
    return nullptr;
  }
  return configure(self, [&](EngineConfig& cfg) {
    GroupSpec entry;
    std::uint64_t max = 0;
    if (!arg_text(o_key, "key", entry.key)) return false;
    if (!arg_u64(o_max, "max", max)) return false;
    if (absent(o_id)) {
      entry.id = entry.key;
    } else if (!arg_text(o_id, "id", entry.id)) {
      return false;
    }
    entry.max = static_cast<std::size_t>(max);
    cfg.groups.push_back(std::move(entry));
    return true;
  });
}

PyObject* m_max_total(PyObject* self, PyObject* args, PyObject* kwargs) {
  KWLIST("max", "id");
  PyObject *o_max = nullptr, *o_id = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:Engine.max_total", kwlist, &o_max, &o_id)) return nullptr;
  return configure(self, [&](EngineConfig& cfg) {
    TotalCap cap{"max_total", 0};
    std::uint64_t max = 0;
    if (!arg_u64(o_max, "max", max)) return false;
    if (!absent(o_id) && !arg_text(o_id, "id", cap.id)) return false;
    cap.max = static_cast<std::size_t>(max);
    cfg.total_cap = std::move(cap);
    return true;
  });
}

PyObject* m_require_at_least(PyObject* self, PyObject* args, PyObject* kwargs) {
  KWLIST("key", "value", "n", "id");
  PyObject *o_key = nullptr, *o_value = nullptr, *o_n = nullptr, *o_id = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$O:Engine.require_at_least", kwlist, &o_key, &o_value, &o_n,
                                   &o_id)) {
    return nullptr;
  }
  return configure(self, [&](EngineConfig& cfg) {
    RequireSpec entry;
    std::uint64_t n = 0;
    if (!arg_text(o_key, "key", entry.key)) return false;
    if (!arg_text(o_value, "value", entry.value)) return false;
    if (!arg_u64(o_n, "n", n)) return false;
    if (absent(o_id)) {
      entry.id = entry.key;
    } else if (!arg_text(o_id, "id", entry.id)) {
      return false;
    }
    entry.n = static_cast<std::size_t>(n);
    cfg.requirements.push_back(std::move(entry));
    return true;
  });
}

PyObject* m_unary_min(PyObject* self, PyObject* args, PyObject* kwargs) {
  KWLIST("axis", "min", "id");
  PyObject *o_axis = nullptr, *o_min = nullptr, *o_id = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:Engine.unary_min", kwlist, &o_axis, &o_min, &o_id)) {
    return nullptr;
  }
  return configure(self, [&](EngineConfig& cfg) {
    UnaryMinSpec entry;
    if (!arg_text(o_axis, "axis", entry.axis)) return false;
    if (!arg_f32(o_min, "min", entry.min)) return false;
    if (absent(o_id)) {
      entry.id = entry.axis;
    } else if (!arg_text(o_id, "id", entry.id)) {
      return false;
    }
    cfg.unary_mins.push_back(std::move(entry));
    return true;
  });
}

PyObject* m_coverage_objective(PyObject* self, PyObject*) {
  return configure(self, [](EngineConfig& cfg) {
    cfg.coverage = true;
    return true;
  });
}

PyObject* m_budget_top_k(PyObject* self, PyObject* args, PyObject* kwargs) {
  KWLIST("k");
  PyObject* o_k = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Engine.budget_top_k", kwlist, &o_k)) return nullptr;
  return configure(self, [&](EngineConfig& cfg) {
    std::uint32_t k = 0;
    if (!arg_u32(o_k, "k", k)) return false;
    cfg.budget = Budget::top_k(k);
    return true;
  });
}

PyObject* m_budget_tail_mass(PyObject* self, PyObject* args, PyObject* kwargs) {
  KWLIST("epsilon", "fallback_k");
  PyObject *o_eps = nullptr, *o_fallback = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Engine.budget_tail_mass", kwlist, &o_eps, &o_fallback)) {
    return nullptr;
  }
  return configure(self, [&](EngineConfig& cfg) {
    float epsilon = 0.0f;
    std::uint32_t fallback_k = 0;
    if (!arg_f32(o_eps, "epsilon", epsilon)) return false;
    if (!arg_u32(o_fallback, "fallback_k", fallback_k)) return false;
    cfg.budget = Budget::tail(epsilon, fallback_k);
    return true;
  });
}

PyObject* m_budget_tokens(PyObject* self, PyObject* args, PyObject* kwargs) {
  KWLIST("max");
  PyObject* o_max = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Engine.budget_tokens", kwlist, &o_max)) return nullptr;
  return configure(self, [&](EngineConfig& cfg) {
    std::uint32_t max = 0;
    if (!arg_u32(o_max, "max", max)) return false;
    cfg.budget = Budget::tokens(max);
    return true;
  });
}

PyObject* m_admission(PyObject* self, PyObject* args, PyObject* kwargs) {
  KWLIST("axis");
  PyObject* o_axis = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Engine.admission", kwlist, &o_axis)) return nullptr;
  return configure(self, [&](EngineConfig& cfg) {
    std::string axis;
    if (!arg_text(o_axis, "axis", axis)) return false;
    cfg.admission = std::move(axis);
    return true;
  });
}

PyObject* m_pool_multiplier(PyObject* self, PyObject* args, PyObject* kwargs) {
  KWLIST("multiplier");
  PyObject* o_mult = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Engine.pool_multiplier", kwlist, &o_mult)) return nullptr;
  return configure(self, [&](EngineConfig& cfg) {
    std::uint32_t multiplier = 0;
    if (!arg_u32(o_mult, "multiplier", multiplier)) return false;
    cfg.pool_multiplier = multiplier;
    return true;
  });
}

PyObject* m_threshold(PyObject* self, PyObject* args, PyObject* kwargs) {
  KWLIST("value");
  PyObject* o_value = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Engine.threshold", kwlist, &o_value)) return nullptr;
  return configure(self, [&](EngineConfig& cfg) {
    float value = 0.0f;
    if (!arg_f32(o_value, "value", value)) return false;
    cfg.threshold = value;
    return true;
  });
}

PyObject* m_min_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  KWLIST("value");
  PyObject* o_value = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Engine.min_fit", kwlist, &o_value)) return nullptr;
  return configure(self, [&](EngineConfig& cfg) {
    float value = 0.0f;
    if (!arg_f32(o_value, "value", value)) return false;
    cfg.min_fit = value;
    return true;
  });
}

PyObject* m_rejections(PyObject* self, PyObject* args, PyObject* kwargs) {
  KWLIST("policy", "n");
  PyObject *o_policy = nullptr, *o_n = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:Engine.rejections", kwlist, &o_policy, &o_n)) {
    return nullptr;
  }
  return configure(self, [&](EngineConfig& cfg) {
    std::string policy;
    std::uint64_t n = 0;
    if (!arg_text(o_policy, "policy", policy)) return false;
    const bool has_n = !absent(o_n);
    if (has_n && !arg_u64(o_n, "n", n)) return false;
    Retention::Kind kind{};
    if (!option_of(kRetentionKeys, policy, kMsgRetention, kind)) return false;
    const bool sample = kind == Retention::Kind::Sample;
    if (sample && !has_n) {
      raise_value(kMsgSampleN);
      return false;
    }
    cfg.retention = Retention{kind, sample ? n : 0};
    return true;
  });
}

PyObject* m_run(PyObject* self, PyObject* args, PyObject* kwargs) {
  KWLIST("candidates");
  PyObject* candidates = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Engine.run", kwlist, &candidates)) return nullptr;
  PyEngine* e = as_engine(self);
  auto guard = SharedGuard::take(e->flag);
  if (!guard) return nullptr;
  return build_and_run(e->data.config, candidates);
}

#undef KWLIST

// --- pickling ---
//
// An Engine pickles as the configuration calls that rebuild it: the private
// function _engine replays them on a new Engine, so every check of a call
// holds for a pickle too. Callbacks go by reference, as pickle takes any
// function.

constexpr const char* kConfigureMethods[] = {
    "scorer", "fuse", "missing", "max_per_group", "max_total", "require_at_least", "unary_min",
    "coverage_objective", "budget_top_k", "budget_tail_mass", "budget_tokens", "admission",
    "pool_multiplier", "threshold", "min_fit", "rejections"};

// Appends (method, args, kwargs); `call` is a new reference or nullptr.
bool add_call(PyObject* calls, PyObject* call) {
  Ref owned = Ref::steal(call);
  return owned && PyList_Append(calls, owned.get()) == 0;
}

PyObject* text_obj(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

bool axis_call(PyObject* calls, const AxisSpec& a) {
  Ref kwargs = Ref::steal(Py_BuildValue("{s:s,s:s}", "scale", name_in(kScaleKeys, a.scale), "cost", cost_name(a.cost)));
  if (!kwargs) return false;
  if (a.normalizer) {
    Ref kind = Ref::steal(PyUnicode_FromString(name_in(kNormalizerKeys, a.normalizer->kind)));
    if (!kind || PyDict_SetItemString(kwargs.get(), "normalize", kind.get()) != 0) return false;
    if (a.normalizer->kind == Normalizer::Kind::MinMax) {
      Ref range = Ref::steal(Py_BuildValue("(dd)", static_cast<double>(a.normalizer->lo),
                                           static_cast<double>(a.normalizer->hi)));
      if (!range || PyDict_SetItemString(kwargs.get(), "normalize_range", range.get()) != 0) return false;
    }
  }
  if (a.callback && PyDict_SetItemString(kwargs.get(), "fn", a.callback.get()) != 0) return false;
  return add_call(calls, Py_BuildValue("(s(N)O)", "scorer", text_obj(a.name), kwargs.get()));
}

bool fusion_call(PyObject* calls, const Fusion& f) {
  if (f.kind == Fusion::Kind::Rrf) {
    return add_call(calls, Py_BuildValue("(s(s){s:d})", "fuse", fusion_name(f.kind), "k", static_cast<double>(f.k)));
  }
  if (f.kind == Fusion::Kind::Max) return add_call(calls, Py_BuildValue("(s(s){})", "fuse", fusion_name(f.kind)));
  Ref weights = Ref::steal(PyList_New(0));
  if (!weights) return false;
  for (const auto& [name, w] : f.weights) {
    if (!add_call(weights.get(), Py_BuildValue("(Nd)", text_obj(name), static_cast<double>(w)))) return false;
  }
  return add_call(calls, Py_BuildValue("(s(s){s:O})", "fuse", fusion_name(f.kind), "weights", weights.get()));
}

bool budget_call(PyObject* calls, const Budget& b) {
  switch (b.kind) {
    case Budget::Kind::TopK: return add_call(calls, Py_BuildValue("(s(I){})", "budget_top_k", b.k));
    case Budget::Kind::TailMass:
      return add_call(calls, Py_BuildValue("(s(dI){})", "budget_tail_mass", static_cast<double>(b.epsilon),
                                           b.fallback_k));
    case Budget::Kind::Tokens: return add_call(calls, Py_BuildValue("(s(I){})", "budget_tokens", b.max));
  }
  return false;
}

// The calls that rebuild `cfg` on a new Engine, in the order of the methods.
Ref config_calls(const EngineConfig& cfg) {
  Ref calls = Ref::steal(PyList_New(0));
  if (!calls) return {};
  PyObject* c = calls.get();
  for (const AxisSpec& a : cfg.axes) {
    if (!axis_call(c, a)) return {};
  }
  if (!fusion_call(c, cfg.fusion)) return {};
  const MissingPolicy& m = cfg.missing;
  if (!add_call(c, m.kind == MissingPolicy::Kind::Impute
                       ? Py_BuildValue("(s(s){s:d})", "missing", missing_name(m.kind), "value", static_cast<double>(m.value))
                       : Py_BuildValue("(s(s){})", "missing", missing_name(m.kind)))) {
    return {};
  }
  for (const GroupSpec& g : cfg.groups) {
    if (!add_call(c, Py_BuildValue("(s(NK){s:N})", "max_per_group", text_obj(g.key),
                                   static_cast<unsigned long long>(g.max), "id", text_obj(g.id)))) {
      return {};
    }
  }
  if (cfg.total_cap && !add_call(c, Py_BuildValue("(s(K){s:N})", "max_total",
                                                  static_cast<unsigned long long>(cfg.total_cap->max), "id",
                                                  text_obj(cfg.total_cap->id)))) {
    return {};
  }
  for (const RequireSpec& r : cfg.requirements) {
    if (!add_call(c, Py_BuildValue("(s(NNK){s:N})", "require_at_least", text_obj(r.key), text_obj(r.value),
                                   static_cast<unsigned long long>(r.n), "id", text_obj(r.id)))) {
      return {};
    }
  }
  for (const UnaryMinSpec& u : cfg.unary_mins) {
    if (!add_call(c, Py_BuildValue("(s(Nd){s:N})", "unary_min", text_obj(u.axis), static_cast<double>(u.min), "id",
                                   text_obj(u.id)))) {
      return {};
    }
  }
  if (cfg.coverage && !add_call(c, Py_BuildValue("(s(){})", "coverage_objective"))) return {};
  if (!budget_call(c, cfg.budget)) return {};
  if (cfg.admission && !add_call(c, Py_BuildValue("(s(N){})", "admission", text_obj(*cfg.admission)))) return {};
  if (!add_call(c, Py_BuildValue("(s(I){})", "pool_multiplier", cfg.pool_multiplier))) return {};
  if (cfg.threshold &&
      !add_call(c, Py_BuildValue("(s(d){})", "threshold", static_cast<double>(*cfg.threshold)))) {
    return {};
  }
  if (!add_call(c, Py_BuildValue("(s(d){})", "min_fit", static_cast<double>(cfg.min_fit)))) return {};
  const Retention& r = cfg.retention;
  const char* policy = name_in(kRetentionKeys, r.kind);
  PyObject* retention =
      r.kind == Retention::Kind::Sample
          ? Py_BuildValue("(s(s){s:K})", "rejections", policy, "n", static_cast<unsigned long long>(r.n))
          : Py_BuildValue("(s(s){})", "rejections", policy);
  if (!add_call(c, retention)) return {};
  return calls;
}

PyObject* m_reduce(PyObject* self, PyObject*) {
  PyEngine* e = as_engine(self);
  auto guard = SharedGuard::take(e->flag);
  if (!guard) return nullptr;
  try {
    Ref calls = config_calls(e->data.config);
    Ref restore = private_function("_engine");
    if (!calls || !restore) return nullptr;
    return Py_BuildValue("(O(O))", restore.get(), calls.get());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace

PyObject* restore_engine(PyObject*, PyObject* calls) {
  if (!PyList_Check(calls)) {
    raise_not_convertible(calls, "list");
    return nullptr;
  }
  Ref engine = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(engine_type())));
  if (!engine) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_Size(calls); ++i) {
    Ref call = Ref::borrow(PyList_GetItem(calls, i));
    PyObject *name = nullptr, *args = nullptr, *kwargs = nullptr;
    if (!PyArg_ParseTuple(call.get(), "UO!O!:_engine", &name, &PyTuple_Type, &args, &PyDict_Type, &kwargs)) {
      return nullptr;
    }
    bool known = false;
    for (const char* method : kConfigureMethods) known = known || PyUnicode_CompareWithASCIIString(name, method) == 0;
    if (!known) {
      PyErr_Format(PyExc_ValueError, "'%U' is not a configuration method", name);
      return nullptr;
    }
    Ref method = Ref::steal(PyObject_GetAttr(engine.get(), name));
    if (!method) return nullptr;
    Ref done = Ref::steal(PyObject_Call(method.get(), args, kwargs));
    if (!done) return nullptr;
  }
  return engine.release();
}

namespace {

// --- docstrings ---

constexpr const char* kEngineDoc =
    "Engine()\n--\n\n"
    "다축 점수 융합과 제약 아래 상위 K 선택 엔진.\n\n"
    "네이티브 빌더와 달리 메서드가 객체 자체를 바꾼다. 파이썬에서 더 읽기 쉬운 꼴이다.";

constexpr const char* kScorerDoc =
    "scorer($self, name, *, scale=\"unit\", cost=\"cheap\", normalize=None, normalize_range=None, fn=None)\n--\n\n"
    "점수 축을 등록한다. 등록 순서가 감사 출력의 축 순서다.\n"
    "\n"
    "`cost=\"expensive\"` 이면 `fn` 을 함께 줄 수 있다. 그 함수는 **2단계 풀 전체를 한 번에**\n"
    "받아 같은 길이의 점수 목록을 돌려줘야 한다. `fn` 없이 비싼 축으로 두면 후보에\n"
    "담겨 온 값을 그대로 읽는다.";
constexpr const char* kFuseDoc =
    "fuse($self, method, *, k=None, weights=None)\n--\n\n"
    "융합 방식을 고른다. `\"rrf\"`, `\"weighted_sum\"`, `\"max\"` 중 하나.\n"
    "\n"
    "`weights` 는 `{\"축이름\": 가중치}` 사전이거나 `[(\"축이름\", 가중치)]` 목록이다.\n"
    "주지 않으면 모든 축이 1.0 이다.";
constexpr const char* kMissingDoc =
    "missing($self, policy, *, value=None)\n--\n\n"
    "값이 없는 축을 어떻게 다룰지 고른다. `\"skip\"`, `\"impute\"`, `\"reject\"`.";
constexpr const char* kMaxPerGroupDoc =
    "max_per_group($self, key, max, *, id=None)\n--\n\n"
    "후보의 `groups[key]` 값마다 최대 `max` 개까지만 고른다. 분할 매트로이드다.";
constexpr const char* kMaxTotalDoc =
    "max_total($self, max, *, id=None)\n--\n\n"
    "전체 상한. 균일 매트로이드다.";
constexpr const char* kRequireAtLeastDoc =
    "require_at_least($self, key, value, n, *, id=None)\n--\n\n"
    "`groups[key] == value` 인 후보가 최소 `n` 개 들어가야 한다는 하한 조건.\n"
    "\n"
    "채우려고 교체가 일어나면 결과의 `exact` 가 거짓이 된다. 탐욕이 만든 순서를 사후에\n"
    "뒤집기 때문이다.";
constexpr const char* kUnaryMinDoc =
    "unary_min($self, axis, min, *, id=None)\n--\n\n"
    "한 축의 점수가 문턱 미만인 후보를 1단계에서 걸러 낸다.";
constexpr const char* kCoverageDoc =
    "coverage_objective($self)\n--\n\n"
    "후보의 `cover` 목록으로 포괄성을 최대화한다. 서브모듈러다.";
constexpr const char* kBudgetTopKDoc =
    "budget_top_k($self, k)\n--\n\n"
    "고정 개수를 고른다.";
constexpr const char* kBudgetTailMassDoc =
    "budget_tail_mass($self, epsilon, fallback_k)\n--\n\n"
    "누락 허용 질량으로 K 를 유도한다. 적합이 나쁘면 `fallback_k` 로 되돌린다.";
constexpr const char* kBudgetTokensDoc =
    "budget_tokens($self, max)\n--\n\n"
    "후보의 `cost` 합이 상한 이하가 되도록 고른다. 배낭형이라 근사다.";
constexpr const char* kAdmissionDoc =
    "admission($self, axis)\n--\n\n"
    "1단계 절단에 쓸 승인 채점기를 지정한다.";
constexpr const char* kPoolMultiplierDoc =
    "pool_multiplier($self, multiplier)\n--\n\n"
    "1단계 풀 배수. `M = K * multiplier` 다.";
constexpr const char* kThresholdDoc =
    "threshold($self, value)\n--\n\n"
    "융합 점수의 하한.";
constexpr const char* kMinFitDoc =
    "min_fit($self, value)\n--\n\n"
    "꼬리 질량 예산의 적합도 문턱.";
constexpr const char* kRejectionsDoc =
    "rejections($self, policy, *, n=None)\n--\n\n"
    "탈락 후보를 얼마나 보관할지. `\"keep\"`, `\"count\"`, `\"sample\"`.\n"
    "\n"
    "개수는 이 정책과 무관하게 언제나 정확하다. 후보가 아주 많으면 `\"count\"` 를 쓴다.";
constexpr const char* kRunDoc =
    "run($self, candidates)\n--\n\n"
    "후보를 훑어 고른다.\n"
    "\n"
    "`candidates` 는 반복 가능한 것이면 무엇이든 된다. 목록을 통째로 만들지 않고\n"
    "생성기(generator)를 넘기면 1단계가 스트리밍으로 처리한다.";

#define KW_METHOD(name, doc) \
  { #name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m_##name)), METH_VARARGS | METH_KEYWORDS, doc }

PyMethodDef g_methods[] = {
    KW_METHOD(scorer, kScorerDoc),
    KW_METHOD(fuse, kFuseDoc),
    KW_METHOD(missing, kMissingDoc),
    KW_METHOD(max_per_group, kMaxPerGroupDoc),
    KW_METHOD(max_total, kMaxTotalDoc),
    KW_METHOD(require_at_least, kRequireAtLeastDoc),
    KW_METHOD(unary_min, kUnaryMinDoc),
    {"coverage_objective", m_coverage_objective, METH_NOARGS, kCoverageDoc},
    KW_METHOD(budget_top_k, kBudgetTopKDoc),
    KW_METHOD(budget_tail_mass, kBudgetTailMassDoc),
    KW_METHOD(budget_tokens, kBudgetTokensDoc),
    KW_METHOD(admission, kAdmissionDoc),
    KW_METHOD(pool_multiplier, kPoolMultiplierDoc),
    KW_METHOD(threshold, kThresholdDoc),
    KW_METHOD(min_fit, kMinFitDoc),
    KW_METHOD(rejections, kRejectionsDoc),
    KW_METHOD(run, kRunDoc),
    {"__reduce__", m_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#undef KW_METHOD

// --- slots ---

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_Size(args) != 0) {
    PyErr_SetString(PyExc_TypeError, "Engine() takes no arguments");
    return nullptr;
  }
  if (kwargs && PyDict_Size(kwargs) != 0) {
    PyErr_SetString(PyExc_TypeError, "Engine() takes no keyword arguments");
    return nullptr;
  }
  return make_instance<EngineData>(type, EngineData{}).release();
}

PyObject* engine_repr(PyObject* self) {
  PyEngine* e = as_engine(self);
  auto guard = SharedGuard::take(e->flag);
  if (!guard) return nullptr;
  try {
    const EngineConfig& cfg = e->data.config;
    std::string text = "Engine(axes=" + std::to_string(cfg.axes.size()) + ", fusion=" +
                       fusion_name(cfg.fusion.kind) + ", budget=" + cfg.budget.debug() + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(kEngineDoc)},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc<EngineData>)},
    {Py_tp_traverse, reinterpret_cast<void*>(tp_traverse<EngineData>)},
    {Py_tp_clear, reinterpret_cast<void*>(tp_clear<EngineData>)},
    {Py_tp_repr, reinterpret_cast<void*>(engine_repr)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "vantorel.Engine",
    static_cast<int>(sizeof(PyEngine)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    g_slots,
};

PyTypeObject* g_engine_type = nullptr;

}  // namespace

PyTypeObject* engine_type() { return cached_type(g_engine_type, g_spec); }

}  // namespace vantorel::python
