// vantorel.Engine: a mutable configuration record. Each configuration method
// matches its arguments, takes exclusive access, converts the arguments in
// parameter order, applies its checks and only then stores the result, so a
// failed call leaves the object as it was.
#include "python/engine.hpp"

#include <array>
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
// it holds that the collector tracks; reporting them lets it reclaim a
// callback that refers back to its Engine. (What runs keep holds none: a
// prepared part with callbacks is never kept.)
struct EngineData {
  EngineConfig config;
  KeptRuns runs;

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
  // No run holds the engine now: what runs kept goes.
  e->data.runs.reset();
  try {
    if (!body(e->data.config)) return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Py_RETURN_NONE;
}

// --- method descriptions ---
//
// Each method of Engine is described once, in the table after the methods:
// its name, its parameters and the text of its docstring. The
// required parameters come first and may be given by position; the optional
// ones are keyword-only. The keyword list, the parse format and the text
// signature that opens the docstring are derived from that description.

struct Args;
using MethodBody = PyObject* (*)(PyObject* self, const Args& args);

struct Param {
  const char* name = nullptr;
  const char* shown_default = nullptr;  // as the text signature shows it; none when required
};

constexpr std::size_t kMaxParams = 6;

struct MethodSpec {
  const char* name;
  std::array<Param, kMaxParams> params;  // the unused ones have no name
  MethodBody body;
  const char* doc;  // the docstring after its text signature
};

// The arguments of one call, by parameter position (null when omitted).
// Each conversion failure gets the note that names the parameter.
struct Args {
  const MethodSpec& method;
  std::array<PyObject*, kMaxParams> objects{};

  PyObject* operator[](std::size_t i) const { return objects[i]; }
  template <class T, class F>
  bool get(std::size_t i, T& out, F convert) const {
    return arg(objects[i], method.params[i].name, out, convert);
  }
  bool text(std::size_t i, std::string& out) const { return get(i, out, text_of); }
  bool f32(std::size_t i, float& out) const { return get(i, out, f32_of); }
  bool u32(std::size_t i, std::uint32_t& out) const { return get(i, out, u32_of); }
  bool u64(std::size_t i, std::uint64_t& out) const { return get(i, out, u64_of); }
  // The text of argument i, or `fallback` when it was omitted or None.
  bool text_or(std::size_t i, const std::string& fallback, std::string& out) const {
    if (!absent(objects[i])) return text(i, out);
    out = fallback;
    return true;
  }
};

// --- the methods, in registration order ---

PyObject* m_scorer(PyObject* self, const Args& a) {
  return configure(self, [&](EngineConfig& cfg) {
    std::string name, scale, cost, normalize;
    Range range{0.0f, 0.0f};
    if (!a.text(0, name)) return false;
    if (a[1] && !a.text(1, scale)) return false;
    if (a[2] && !a.text(2, cost)) return false;
    const bool has_normalize = !absent(a[3]);
    if (has_normalize && !a.text(3, normalize)) return false;
    const bool has_range = !absent(a[4]);
    if (has_range && !a.get(4, range, range_of)) return false;
    PyObject* fn = absent(a[5]) ? nullptr : a[5];

    AxisSpec entry;  // cheap, unit scale, no normaliser unless given
    if (a[2] && !option_of(kCostNames, cost, kMsgCost, entry.cost)) return false;
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
    if (a[1] && !option_of(kScaleKeys, scale, kMsgScale, entry.scale)) return false;
    entry.name = std::move(name);
    entry.callback = Ref::borrow(fn);
    cfg.axes.push_back(std::move(entry));
    return true;
  });
}

PyObject* m_fuse(PyObject* self, const Args& a) {
  return configure(self, [&](EngineConfig& cfg) {
    std::string method;
    float k = kDefaultRrfK;
    if (!a.text(0, method)) return false;
    if (!absent(a[1]) && !a.f32(1, k)) return false;
    Fusion::Kind kind{};
    if (!option_of(kFusionNames, method, kMsgFusion, kind)) return false;
    if (kind == Fusion::Kind::WeightedSum) {
      Weights weights;
      if (!weights_of(a[2], weights)) return false;
      cfg.fusion = Fusion::weighted_sum(std::move(weights));
    } else {
      cfg.fusion = kind == Fusion::Kind::Rrf ? Fusion::rrf(k) : Fusion::max();
    }
    return true;
  });
}

PyObject* m_missing(PyObject* self, const Args& a) {
  return configure(self, [&](EngineConfig& cfg) {
    std::string policy;
    float value = 0.0f;
    if (!a.text(0, policy)) return false;
    const bool has_value = !absent(a[1]);
    if (has_value && !a.f32(1, value)) return false;
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

PyObject* m_max_per_group(PyObject* self, const Args& a) {
  return configure(self, [&](EngineConfig& cfg) {
    GroupSpec entry;
    std::uint64_t max = 0;
    if (!a.text(0, entry.key)) return false;
    if (!a.u64(1, max)) return false;
    if (!a.text_or(2, entry.key, entry.id)) return false;
    entry.max = static_cast<std::size_t>(max);
    cfg.groups.push_back(std::move(entry));
    return true;
  });
}

PyObject* m_max_total(PyObject* self, const Args& a) {
  return configure(self, [&](EngineConfig& cfg) {
    TotalCap cap;
    std::uint64_t max = 0;
    if (!a.u64(0, max)) return false;
    if (!a.text_or(1, "max_total", cap.id)) return false;
    cap.max = static_cast<std::size_t>(max);
    cfg.total_cap = std::move(cap);
    return true;
  });
}

PyObject* m_require_at_least(PyObject* self, const Args& a) {
  return configure(self, [&](EngineConfig& cfg) {
    RequireSpec entry;
    std::uint64_t n = 0;
    if (!a.text(0, entry.key)) return false;
    if (!a.text(1, entry.value)) return false;
    if (!a.u64(2, n)) return false;
    if (!a.text_or(3, entry.key, entry.id)) return false;
    entry.n = static_cast<std::size_t>(n);
    cfg.requirements.push_back(std::move(entry));
    return true;
  });
}

PyObject* m_unary_min(PyObject* self, const Args& a) {
  return configure(self, [&](EngineConfig& cfg) {
    UnaryMinSpec entry;
    if (!a.text(0, entry.axis)) return false;
    if (!a.f32(1, entry.min)) return false;
    if (!a.text_or(2, entry.axis, entry.id)) return false;
    cfg.unary_mins.push_back(std::move(entry));
    return true;
  });
}

PyObject* m_coverage_objective(PyObject* self, const Args&) {
  return configure(self, [](EngineConfig& cfg) {
    cfg.coverage = true;
    return true;
  });
}

PyObject* m_budget_top_k(PyObject* self, const Args& a) {
  return configure(self, [&](EngineConfig& cfg) {
    std::uint32_t k = 0;
    if (!a.u32(0, k)) return false;
    cfg.budget = Budget::top_k(k);
    return true;
  });
}

PyObject* m_budget_tail_mass(PyObject* self, const Args& a) {
  return configure(self, [&](EngineConfig& cfg) {
    float epsilon = 0.0f;
    std::uint32_t fallback_k = 0;
    if (!a.f32(0, epsilon)) return false;
    if (!a.u32(1, fallback_k)) return false;
    cfg.budget = Budget::tail(epsilon, fallback_k);
    return true;
  });
}

PyObject* m_budget_tokens(PyObject* self, const Args& a) {
  return configure(self, [&](EngineConfig& cfg) {
    std::uint32_t max = 0;
    if (!a.u32(0, max)) return false;
    cfg.budget = Budget::tokens(max);
    return true;
  });
}

PyObject* m_admission(PyObject* self, const Args& a) {
  return configure(self, [&](EngineConfig& cfg) {
    std::string axis;
    if (!a.text(0, axis)) return false;
    cfg.admission = std::move(axis);
    return true;
  });
}

PyObject* m_pool_multiplier(PyObject* self, const Args& a) {
  return configure(self, [&](EngineConfig& cfg) {
    std::uint32_t multiplier = 0;
    if (!a.u32(0, multiplier)) return false;
    cfg.pool_multiplier = multiplier;
    return true;
  });
}

PyObject* m_threshold(PyObject* self, const Args& a) {
  return configure(self, [&](EngineConfig& cfg) {
    float value = 0.0f;
    if (!a.f32(0, value)) return false;
    cfg.threshold = value;
    return true;
  });
}

PyObject* m_min_fit(PyObject* self, const Args& a) {
  return configure(self, [&](EngineConfig& cfg) {
    float value = 0.0f;
    if (!a.f32(0, value)) return false;
    cfg.min_fit = value;
    return true;
  });
}

PyObject* m_rejections(PyObject* self, const Args& a) {
  return configure(self, [&](EngineConfig& cfg) {
    std::string policy;
    std::uint64_t n = 0;
    if (!a.text(0, policy)) return false;
    const bool has_n = !absent(a[1]);
    if (has_n && !a.u64(1, n)) return false;
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

PyObject* m_run(PyObject* self, const Args& a) { return with_config(self, a[0], build_and_run); }

// --- pickling ---
//
// An Engine pickles as the configuration calls that rebuild it: the private
// function _engine replays them on a new Engine, so every check of a call
// holds for a pickle too. Callbacks go by reference, as pickle takes any
// function.

// True for the name of a method that changes the configuration (any but run).
bool is_configuration_method(PyObject* name);

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
    if (!PyTuple_Check(call.get())) {
      raise_not_convertible(call.get(), "tuple");
      return nullptr;
    }
    PyObject *name = nullptr, *args = nullptr, *kwargs = nullptr;
    if (!PyArg_ParseTuple(call.get(), "UO!O!:_engine", &name, &PyTuple_Type, &args, &PyDict_Type, &kwargs)) {
      return nullptr;
    }
    if (!is_configuration_method(name)) {
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

// --- the table of methods ---

constexpr const char* kEngineDoc =
    "Engine()\n--\n\n"
    "다축 점수 융합과 제약 아래 상위 K 선택 엔진.\n\n"
    "네이티브 빌더와 달리 메서드가 객체 자체를 바꾼다. 파이썬에서 더 읽기 쉬운 꼴이다.";

constexpr const char* kNone = "None";

constexpr MethodSpec kMethods[] = {
    {"scorer",
     {{{"name"},
       {"scale", "\"unit\""},
       {"cost", "\"cheap\""},
       {"normalize", kNone},
       {"normalize_range", kNone},
       {"fn", kNone}}},
     m_scorer,
     "점수 축을 등록한다. 등록 순서가 감사 출력의 축 순서다.\n"
     "\n"
     "`cost=\"expensive\"` 이면 `fn` 을 함께 줄 수 있다. 그 함수는 **2단계 풀 전체를 한 번에**\n"
     "받아 같은 길이의 점수 목록을 돌려줘야 한다. `fn` 없이 비싼 축으로 두면 후보에\n"
     "담겨 온 값을 그대로 읽는다."},
    {"fuse",
     {{{"method"}, {"k", kNone}, {"weights", kNone}}},
     m_fuse,
     "융합 방식을 고른다. `\"rrf\"`, `\"weighted_sum\"`, `\"max\"` 중 하나.\n"
     "\n"
     "`weights` 는 `{\"축이름\": 가중치}` 사전이거나 `[(\"축이름\", 가중치)]` 목록이다.\n"
     "주지 않으면 모든 축이 1.0 이다."},
    {"missing",
     {{{"policy"}, {"value", kNone}}},
     m_missing,
     "값이 없는 축을 어떻게 다룰지 고른다. `\"skip\"`, `\"impute\"`, `\"reject\"`."},
    {"max_per_group",
     {{{"key"}, {"max"}, {"id", kNone}}},
     m_max_per_group,
     "후보의 `groups[key]` 값마다 최대 `max` 개까지만 고른다. 분할 매트로이드다."},
    {"max_total",
     {{{"max"}, {"id", kNone}}},
     m_max_total,
     "전체 상한. 균일 매트로이드다."},
    {"require_at_least",
     {{{"key"}, {"value"}, {"n"}, {"id", kNone}}},
     m_require_at_least,
     "`groups[key] == value` 인 후보가 최소 `n` 개 들어가야 한다는 하한 조건.\n"
     "\n"
     "채우려고 교체가 일어나면 결과의 `exact` 가 거짓이 된다. 탐욕이 만든 순서를 사후에\n"
     "뒤집기 때문이다."},
    {"unary_min",
     {{{"axis"}, {"min"}, {"id", kNone}}},
     m_unary_min,
     "한 축의 점수가 문턱 미만인 후보를 1단계에서 걸러 낸다."},
    {"coverage_objective",
     {{}},
     m_coverage_objective,
     "후보의 `cover` 목록으로 포괄성을 최대화한다. 서브모듈러다."},
    {"budget_top_k",
     {{{"k"}}},
     m_budget_top_k,
     "고정 개수를 고른다."},
    {"budget_tail_mass",
     {{{"epsilon"}, {"fallback_k"}}},
     m_budget_tail_mass,
     "누락 허용 질량으로 K 를 유도한다. 적합이 나쁘면 `fallback_k` 로 되돌린다."},
    {"budget_tokens",
     {{{"max"}}},
     m_budget_tokens,
     "후보의 `cost` 합이 상한 이하가 되도록 고른다. 배낭형이라 근사다."},
    {"admission",
     {{{"axis"}}},
     m_admission,
     "1단계 절단에 쓸 승인 채점기를 지정한다."},
    {"pool_multiplier",
     {{{"multiplier"}}},
     m_pool_multiplier,
     "1단계 풀 배수. `M = K * multiplier` 다."},
    {"threshold",
     {{{"value"}}},
     m_threshold,
     "융합 점수의 하한."},
    {"min_fit",
     {{{"value"}}},
     m_min_fit,
     "꼬리 질량 예산의 적합도 문턱."},
    {"rejections",
     {{{"policy"}, {"n", kNone}}},
     m_rejections,
     "탈락 후보를 얼마나 보관할지. `\"keep\"`, `\"count\"`, `\"sample\"`.\n"
     "\n"
     "개수는 이 정책과 무관하게 언제나 정확하다. 후보가 아주 많으면 `\"count\"` 를 쓴다."},
    {"run",
     {{{"candidates"}}},
     m_run,
     "후보를 훑어 고른다.\n"
     "\n"
     "`candidates` 는 반복 가능한 것이면 무엇이든 된다. 목록을 통째로 만들지 않고\n"
     "생성기(generator)를 넘기면 1단계가 스트리밍으로 처리한다."},
};

bool is_configuration_method(PyObject* name) {
  for (const MethodSpec& m : kMethods) {
    if (m.body != m_run && PyUnicode_CompareWithASCIIString(name, m.name) == 0) return true;
  }
  return false;
}

// Texts derived from a description at compile time: written once to count
// their length, then into storage of that length.
struct TextLength {
  std::size_t size = 0;
  constexpr void add(const char* s) {
    while (*s++) ++size;
  }
};

template <std::size_t N>
struct FixedText {
  char chars[N + 1] = {};
  std::size_t size = 0;
  constexpr void add(const char* s) {
    while (*s) chars[size++] = *s++;
  }
};

// "name($self, a, *, b=None)\n--\n\n" followed by the docstring.
template <class Out>
constexpr void write_doc(const MethodSpec& m, Out& out) {
  out.add(m.name);
  out.add("($self");
  bool keyword_only = false;
  for (const Param& p : m.params) {
    if (!p.name) break;
    if (p.shown_default && !keyword_only) {
      out.add(", *");
      keyword_only = true;
    }
    out.add(", ");
    out.add(p.name);
    if (p.shown_default) {
      out.add("=");
      out.add(p.shown_default);
    }
  }
  out.add(")\n--\n\n");
  out.add(m.doc);
}

// The parse format: "O" per required parameter, then "|$" and "O" per
// optional one, then ":Engine.name" for the messages.
template <class Out>
constexpr void write_format(const MethodSpec& m, Out& out) {
  bool optional = false;
  for (const Param& p : m.params) {
    if (!p.name) break;
    if (p.shown_default && !optional) {
      out.add("|$");
      optional = true;
    }
    out.add("O");
  }
  out.add(":Engine.");
  out.add(m.name);
}

template <std::size_t I, auto Write>
constexpr auto derived_text() {
  constexpr std::size_t n = [] {
    TextLength length;
    Write(kMethods[I], length);
    return length.size;
  }();
  FixedText<n> text;
  Write(kMethods[I], text);
  return text;
}

template <std::size_t I>
constexpr auto kDoc = derived_text<I, [](const MethodSpec& m, auto& out) { write_doc(m, out); }>();
template <std::size_t I>
constexpr auto kFormat = derived_text<I, [](const MethodSpec& m, auto& out) { write_format(m, out); }>();
template <std::size_t I>
constexpr auto kKeywords = [] {
  std::array<const char*, kMaxParams + 1> names{};
  for (std::size_t i = 0; i < kMaxParams; ++i) names[i] = kMethods[I].params[i].name;
  return names;
}();

template <std::size_t I>
PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) {
  Args a{kMethods[I]};
  auto& o = a.objects;
  static_assert(kMaxParams == 6, "one output per parameter below");
  // The keyword list is not const before 3.13; it is only read.
  char** keywords = const_cast<char**>(kKeywords<I>.data());
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, kFormat<I>.chars, keywords, &o[0], &o[1], &o[2], &o[3], &o[4],
                                   &o[5])) {
    return nullptr;
  }
  return kMethods[I].body(self, a);
}

template <std::size_t I>
PyObject* call_without_arguments(PyObject* self, PyObject*) {
  return kMethods[I].body(self, Args{kMethods[I]});
}

template <std::size_t I>
PyMethodDef method_def() {
  if (!kMethods[I].params[0].name) {
    return {kMethods[I].name, call_without_arguments<I>, METH_NOARGS, kDoc<I>.chars};
  }
  return {kMethods[I].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call<I>)),
          METH_VARARGS | METH_KEYWORDS, kDoc<I>.chars};
}

template <std::size_t... I>
std::array<PyMethodDef, sizeof...(I) + 2> method_defs(std::index_sequence<I...>) {
  return {{method_def<I>()..., {"__reduce__", m_reduce, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}}};
}

std::array<PyMethodDef, std::size(kMethods) + 2> g_methods =
    method_defs(std::make_index_sequence<std::size(kMethods)>{});

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
    {Py_tp_methods, g_methods.data()},
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

PyObject* with_config(PyObject* engine, PyObject* arg, RunStep step) {
  return read_shared<EngineData>(engine, [&](EngineData& d) { return step(d.config, d.runs, arg); });
}

PyTypeObject* engine_type() { return cached_type(g_engine_type, g_spec); }

}  // namespace vantorel::python
