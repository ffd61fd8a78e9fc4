// The result objects of a run (Outcome, Ranked, Rejected) and their building.
//
// The objects are read-only snapshots made by build_outcome. Some parts are
// made when first asked for, from the run's own records, and then kept: the
// dicts and the JSON text of a Ranked, and the Ranked and Rejected objects of
// an Outcome. Each holds strong references to Python objects (its candidate
// or its records' candidates, its dicts, the Ranked and Rejected objects of
// an Outcome); traverse reports all of them and clear releases all of them,
// so that a cycle running through a result (a candidate dict that refers back
// to the Outcome, say) is reclaimed by the collector.
#include "python/outcome.hpp"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/float_text.hpp"
#include "error/error.hpp"
#include "evidence/json.hpp"
#include "python/instance.hpp"
#include "python/types.hpp"

namespace vantorel::python {

namespace {

// ---------------------------------------------------------------- contents

struct RankedData {
  Ranked<PyCandidate> record;  // the candidate's object and id, scores, fusion, constraints
  // The names of the record's axes; none for a restored Ranked, whose dicts
  // and text come made.
  AxisNames axes;
  // Made on first use.
  mutable std::optional<std::string> json;
  mutable Ref scores;
  mutable Ref fusion;

  template <class Visit>
  int traverse(Visit&& visit) const {
    if (int r = visit(scores.get())) return r;
    if (int r = visit(fusion.get())) return r;
    return visit(record.candidate.object.get());
  }
  void clear() {
    scores.reset();
    fusion.reset();
    record.candidate.object.reset();
  }
};

// A Rejected object holds the run's record itself.
struct RejectedData {
  Rejected<PyCandidate> record;

  template <class Visit>
  int traverse(Visit&& visit) const {
    return visit(record.candidate.object.get());
  }
  void clear() { record.candidate.drop(); }
};

// The selection properties of a run.
struct Selection {
  bool exact = false;
  std::optional<float> guarantee;
  std::uint32_t pool_size = 0;
  bool pool_exhausted = false;
  std::optional<float> cut_margin;
};

// Holds the collector off while objects are made from records: making them
// allocates one collectable object per record and runs no Python code, and
// the collector would otherwise walk the growing list again and again (with
// a million rejections kept, that walking costs more than the whole run).
struct CollectorPause {
  int was_enabled = PyGC_Disable();
  ~CollectorPause() {
    if (was_enabled) PyGC_Enable();
  }
};

// Records of a run that become Python objects when first read, all of them
// at once, and are then kept as those objects: every read gives the same
// ones. Should making one fail, those made so far stay (their records
// emptied) and a later read goes on from there.
template <class Records>
struct MadeOnRead {
  Records records;
  std::vector<Ref> objects;

  std::size_t size() const { return records.empty() ? objects.size() : records.size(); }
  // Record i, read from its object once that is made.
  template <class Data>
  const auto& record(std::size_t i) const {
    return i < objects.size() ? as<Data>(objects[i].get())->data.record : records[i];
  }
  // `make(record)` makes the object of a record, taking its contents.
  template <class Make>
  bool make_objects(Make&& make) {
    if (records.empty()) return true;
    CollectorPause pause;
    try {
      objects.reserve(records.size());
      for (std::size_t i = objects.size(); i < records.size(); ++i) {
        Ref obj = make(records[i]);
        if (!obj) return false;
        objects.push_back(std::move(obj));
      }
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    }
    records.clear();
    return true;
  }
  template <class Visit>
  int traverse(Visit&& visit) const {
    for (const Ref& r : objects) {
      if (int e = visit(r.get())) return e;
    }
    for (const auto& r : records) {
      if (int e = visit(r.candidate.object.get())) return e;
    }
    return 0;
  }
  // Moves the contents out, leaving this empty.
  MadeOnRead take() {
    MadeOnRead gone{std::move(records), std::move(objects)};
    records.clear();
    objects.clear();
    return gone;
  }
};

struct OutcomeData {
  // The chosen, in rank order, and the kept rejections.
  mutable MadeOnRead<std::vector<Ranked<PyCandidate>>> ranked;
  mutable MadeOnRead<BlockList<Rejected<PyCandidate>>> rejected;
  AxisNames axes;  // the run's axis names, in order
  // The run's records behind the three dicts, which are made on first use.
  RejectCounts counts;
  Selection properties;
  RunTrace run_trace;
  bool cleared = false;
  mutable Ref rejected_counts;
  mutable Ref selection;
  mutable Ref trace;

  template <class Visit>
  int traverse(Visit&& visit) const {
    if (int e = ranked.traverse(visit)) return e;
    if (int e = rejected.traverse(visit)) return e;
    if (int e = visit(rejected_counts.get())) return e;
    if (int e = visit(selection.get())) return e;
    return visit(trace.get());
  }
  void clear() {
    // Moved out first: releasing an object may run Python code that reads
    // this instance again, and it must then find it already empty.
    auto gone_ranked = ranked.take();
    auto gone_rejected = rejected.take();
    cleared = true;
    rejected_counts.reset();
    selection.reset();
    trace.reset();
  }
};

using PyRanked = Instance<RankedData>;
using PyRejected = Instance<RejectedData>;
using PyOutcome = Instance<OutcomeData>;

// ---------------------------------------------------------------- values

Ref text(const std::string& s) {
  return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
// The display text of an identifier, made without a C++ allocation.
Ref id_text(const CandidateId& id) {
  if (!id.is_number()) return text(id.text());
  return Ref::steal(PyUnicode_FromFormat("%llu", static_cast<unsigned long long>(id.number())));
}
Ref none() { return Ref::borrow(Py_None); }
Ref boolean(bool b) { return Ref::steal(PyBool_FromLong(b ? 1 : 0)); }
Ref f32(float x) { return Ref::steal(PyFloat_FromDouble(static_cast<double>(x))); }
Ref f32_or_none(const std::optional<float>& x) { return x ? f32(*x) : none(); }
Ref u64(std::uint64_t v) { return Ref::steal(PyLong_FromUnsignedLongLong(v)); }
// An identifier as the candidate gave it: a number or a text.
Ref id_value(const CandidateId& id) { return id.is_number() ? u64(id.number()) : text(id.text()); }

Ref u128(Nanos128 v) {
  const auto lo = static_cast<std::uint64_t>(v);
  const auto hi = static_cast<std::uint64_t>(v >> 64);
  if (hi == 0) return u64(lo);
  Ref high = u64(hi);
  if (!high) return {};
  Ref shift = u64(64);
  if (!shift) return {};
  Ref shifted = Ref::steal(PyNumber_Lshift(high.get(), shift.get()));
  if (!shifted) return {};
  Ref low = u64(lo);
  if (!low) return {};
  return Ref::steal(PyNumber_Or(shifted.get(), low.get()));
}

Ref new_dict() { return Ref::steal(PyDict_New()); }

bool put(PyObject* dict, const char* key, Ref value) {
  Ref k = interned(key);
  return k && value && PyDict_SetItem(dict, k.get(), value.get()) == 0;
}

bool append(PyObject* list, Ref value) { return value && PyList_Append(list, value.get()) == 0; }

// ---------------------------------------------------------------- dicts

// The scores of a Ranked by axis, named by `axes`.
Ref scores_dict(const Scores& scores, const std::vector<ScorerId>& axes) {
  Ref d = new_dict();
  if (!d) return {};
  for (std::size_t i = 0; i < scores.size(); ++i) {
    Ref key = text(axes[i]);
    Ref v = f32_or_none(scores[i]);
    if (!key || !v || PyDict_SetItem(d.get(), key.get(), v.get()) != 0) return {};
  }
  return d;
}

Ref term_dict(const ScorerId& scorer, const FusionTerm& term) {
  Ref d = new_dict();
  if (!d) return {};
  Ref value;
  switch (term.input.kind) {
    case TermInput::Kind::Value:
    case TermInput::Kind::Imputed:
      value = f32(term.input.value);
      break;
    case TermInput::Kind::Rank:
      value = Ref::steal(PyFloat_FromDouble(static_cast<double>(term.input.rank)));
      break;
    case TermInput::Kind::Skipped:
      value = none();
      break;
  }
  if (!put(d.get(), "scorer", text(scorer)) || !put(d.get(), "input", interned(input_name(term.input.kind))) ||
      !put(d.get(), "value", std::move(value)) || !put(d.get(), "weight", f32(term.weight)) ||
      !put(d.get(), "contribution", f32(term.contribution))) {
    return {};
  }
  return d;
}

Ref fusion_dict(const FusionTrace& fusion, const std::vector<ScorerId>& axes) {
  Ref d = new_dict();
  if (!d) return {};
  if (!put(d.get(), "method", interned(fusion_name(fusion.method)))) return {};
  if (fusion.k && !put(d.get(), "k", f32(*fusion.k))) return {};
  if (!put(d.get(), "missing_policy", interned(missing_name(fusion.missing.kind)))) return {};
  Ref terms = Ref::steal(PyList_New(static_cast<Py_ssize_t>(fusion.terms.size())));
  if (!terms) return {};
  for (std::size_t i = 0; i < fusion.terms.size(); ++i) {
    Ref t = term_dict(axes[i], fusion.terms[i]);
    if (!t) return {};
    PyList_SetItem(terms.get(), static_cast<Py_ssize_t>(i), t.release());  // steals
  }
  if (!put(d.get(), "terms", std::move(terms))) return {};
  return d;
}

Ref counts_dict(const RejectCounts& counts) {
  Ref d = new_dict();
  if (!d) return {};
  for (std::size_t i = 0; i < kReasonKinds; ++i) {
    const auto kind = static_cast<RejectReason::Kind>(i);
    if (!put(d.get(), RejectReason::reason_name(kind), u64(counts[kind]))) return {};
  }
  return d;
}

Ref selection_dict(const Selection& o) {
  Ref d = new_dict();
  if (!d) return {};
  if (!put(d.get(), "exact", boolean(o.exact)) || !put(d.get(), "guarantee", f32_or_none(o.guarantee)) ||
      !put(d.get(), "pool_size", u64(o.pool_size)) || !put(d.get(), "pool_exhausted", boolean(o.pool_exhausted)) ||
      !put(d.get(), "cut_margin", f32_or_none(o.cut_margin))) {
    return {};
  }
  return d;
}

Ref budget_dict(const std::optional<BudgetTrace>& budget) {
  if (!budget) return none();
  Ref d = new_dict();
  if (!d) return {};
  Ref reason = budget->reason ? interned(fallback_name(*budget->reason)) : none();
  if (!put(d.get(), "s", f32(budget->s)) || !put(d.get(), "fit_quality", f32(budget->fit_quality)) ||
      !put(d.get(), "fallback", boolean(budget->fallback)) || !put(d.get(), "reason", std::move(reason)) ||
      !put(d.get(), "derived_k", u64(budget->derived_k))) {
    return {};
  }
  return d;
}

Ref trace_dict(const RunTrace& trace) {
  Ref d = new_dict();
  if (!d) return {};
  Ref admission = trace.admission_scorer ? text(*trace.admission_scorer) : none();
  if (!put(d.get(), "input_count", u64(trace.input_count)) ||
      !put(d.get(), "pool_capacity", u64(trace.pool_capacity)) ||
      !put(d.get(), "admission_scorer", std::move(admission))) {
    return {};
  }
  Ref scorers = Ref::steal(PyList_New(0));
  if (!scorers) return {};
  for (const ScorerTrace& row : trace.scorers) {
    Ref r = new_dict();
    if (!r) return {};
    if (!put(r.get(), "scorer", text(row.scorer)) || !put(r.get(), "calls", u64(row.calls)) ||
        !put(r.get(), "missing", u64(row.missing)) || !put(r.get(), "elapsed_nanos", u128(row.elapsed_nanos)) ||
        !put(r.get(), "cost", interned(cost_name(row.cost))) || !append(scorers.get(), std::move(r))) {
      return {};
    }
  }
  if (!put(d.get(), "scorers", std::move(scorers)) || !put(d.get(), "budget", budget_dict(trace.budget))) return {};
  return d;
}

// ---------------------------------------------------------------- Ranked

PyObject* ranked_get_id(PyObject* o, void*) {
  return read_shared<RankedData>(o, [](const RankedData& d) { return id_text(d.record.candidate.id).release(); });
}

PyObject* ranked_get_rank(PyObject* o, void*) {
  return read_shared<RankedData>(o, [](const RankedData& d) { return PyLong_FromUnsignedLong(d.record.rank); });
}

PyObject* ranked_get_fused(PyObject* o, void*) {
  return read_shared<RankedData>(o, [](const RankedData& d) { return f32(d.record.fused).release(); });
}

// A held object, or None once the instance has been cleared.
PyObject* held(const Ref& r) { return r ? r.new_ref() : none().release(); }

// Pickling: an instance reduces to the private function `restorer` of the
// module, called with what the instance's own getters serve, in order.
PyObject* reduce_with(PyObject* o, const char* restorer, std::initializer_list<getter> getters) {
  Ref fn = private_function(restorer);
  Ref args = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(getters.size())));
  if (!fn || !args) return nullptr;
  Py_ssize_t i = 0;
  for (getter get : getters) {
    PyObject* value = get(o, nullptr);
    if (!value) return nullptr;
    PyTuple_SetItem(args.get(), i++, value);  // steals
  }
  return PyTuple_Pack(2, fn.get(), args.get());
}

// The object in `slot`, made by `make` on first use and kept; None once the
// instance has been cleared (`alive` false). Empty with an exception set
// when it cannot be made.
template <class Make>
Ref lazily(bool alive, Ref& slot, Make&& make) {
  if (!slot && alive) {
    Ref m = make();
    if (!m) return {};
    if (!slot) slot = std::move(m);  // making it may have run code that made it first
  }
  return slot ? Ref::borrow(slot.get()) : none();
}

// A Ranked is cleared when its candidate is gone.
PyObject* ranked_get_scores(PyObject* o, void*) {
  return read_shared<RankedData>(o, [](const RankedData& d) {
    return lazily(bool(d.record.candidate.object), d.scores, [&] { return scores_dict(d.record.scores, *d.axes); }).release();
  });
}

PyObject* ranked_get_fusion(PyObject* o, void*) {
  return read_shared<RankedData>(o, [](const RankedData& d) {
    return lazily(bool(d.record.candidate.object), d.fusion, [&] { return fusion_dict(d.record.fusion, *d.axes); }).release();
  });
}

PyObject* ranked_get_constraints(PyObject* o, void*) {
  auto* self = as<RankedData>(o);
  auto g = SharedGuard::take(self->flag);
  if (!g) return nullptr;
  const auto& names = self->data.record.constraints;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    Ref name = text(names[i]);
    if (!name) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), name.release());  // steals
  }
  return list.release();
}

PyObject* ranked_get_candidate(PyObject* o, void*) {
  return read_shared<RankedData>(o, [](const RankedData& d) { return held(d.record.candidate.object); });
}

PyObject* ranked_to_json(PyObject* o, PyObject*) {
  return read_shared<RankedData>(o, [](const RankedData& d) -> PyObject* {
    try {
      if (!d.json) d.json = to_json(d.record, d.record.candidate.id, *d.axes);
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    }
    return text(*d.json).release();
  });
}

PyObject* ranked_repr(PyObject* o) {
  auto* self = as<RankedData>(o);
  auto g = SharedGuard::take(self->flag);
  if (!g) return nullptr;
  try {
    const auto& r = self->data.record;
    const std::string s = "Ranked(rank=" + std::to_string(r.rank) + ", id=" + r.candidate.id.display() +
                          ", fused=" + f32_plain(r.fused) + ")";
    return text(s).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyGetSetDef ranked_getset[] = {
    {"id", ranked_get_id, nullptr, "후보 식별자.", nullptr},
    {"rank", ranked_get_rank, nullptr, "1 부터 시작하는 순위.", nullptr},
    {"fused", ranked_get_fused, nullptr, "융합 점수.", nullptr},
    {"scores", ranked_get_scores, nullptr, "융합 전 원본 점수. 값이 없던 축은 `None` 이다.", nullptr},
    {"fusion", ranked_get_fusion, nullptr, "어떻게 합쳤는가.", nullptr},
    {"constraints", ranked_get_constraints, nullptr, "이 후보가 통과한 집합 제약들.", nullptr},
    {"candidate", ranked_get_candidate, nullptr, "넘겼던 파이썬 객체 그대로.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled besides what the getters serve: the identifier as the candidate
// gave it (a number or a text) and the row.
template <class Data>
PyObject* get_id_value(PyObject* o, void*) {
  return read_shared<Data>(o, [](const Data& d) { return id_value(d.record.candidate.id).release(); });
}
template <class Data>
PyObject* get_row(PyObject* o, void*) {
  return read_shared<Data>(o, [](const Data& d) { return u64(d.record.candidate.row).release(); });
}

PyObject* ranked_reduce(PyObject* o, PyObject*) {
  return reduce_with(o, "_ranked",
                     {get_id_value<RankedData>, ranked_get_rank, ranked_get_fused, ranked_get_scores,
                      ranked_get_fusion, ranked_get_constraints, ranked_get_candidate,
                      [](PyObject* self, void*) { return ranked_to_json(self, nullptr); }, get_row<RankedData>});
}

PyMethodDef ranked_methods[] = {
    {"to_json", ranked_to_json, METH_NOARGS, "to_json($self)\n--\n\n감사 출력용 JSON 한 덩어리."},
    {"__reduce__", ranked_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ranked_slots[] = {
    {Py_tp_doc, const_cast<char*>("골라진 후보 하나.")},
    {Py_tp_repr, reinterpret_cast<void*>(ranked_repr)},
    {Py_tp_getset, ranked_getset},
    {Py_tp_methods, ranked_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(tp_traverse<RankedData>)},
    {Py_tp_clear, reinterpret_cast<void*>(tp_clear<RankedData>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc<RankedData>)},
    {0, nullptr},
};

// ---------------------------------------------------------------- Rejected

PyObject* rejected_get_id(PyObject* o, void*) {
  return read_shared<RejectedData>(o, [](const RejectedData& d) { return id_text(d.record.candidate.id).release(); });
}

PyObject* rejected_get_reason(PyObject* o, void*) {
  return read_shared<RejectedData>(
      o, [](const RejectedData& d) { return interned(d.record.reason.name()).release(); });
}

PyObject* rejected_get_detail(PyObject* o, void*) {
  return read_shared<RejectedData>(
      o, [](const RejectedData& d) {
        return d.record.reason.kind <= RejectReason::Kind::SetConstraint ? text(d.record.reason.payload).release()
                                                                         : none().release();
      });
}

PyObject* rejected_get_fused(PyObject* o, void*) {
  return read_shared<RejectedData>(o, [](const RejectedData& d) { return f32_or_none(d.record.fused).release(); });
}

PyObject* rejected_get_candidate(PyObject* o, void*) {
  return read_shared<RejectedData>(o, [](const RejectedData& d) -> PyObject* {
    // A table's row is made into its dict on first read.
    if (!d.record.candidate.object && d.record.candidate.rows && !d.record.candidate.get()) return nullptr;
    return held(d.record.candidate.object);
  });
}

PyObject* rejected_repr(PyObject* o) {
  auto* self = as<RejectedData>(o);
  auto g = SharedGuard::take(self->flag);
  if (!g) return nullptr;
  try {
    const auto& r = self->data.record;
    const std::string s = "Rejected(id=" + r.candidate.id.display() + ", reason=" + r.reason.name() + ")";
    return text(s).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyGetSetDef rejected_getset[] = {
    {"id", rejected_get_id, nullptr, "후보 식별자.", nullptr},
    {"reason", rejected_get_reason, nullptr,
     "사유의 종류. `not_scored`, `unary_constraint`, `set_constraint`,\n"
     "`below_threshold`, `outranked`, `out_of_pool` 중 하나.",
     nullptr},
    {"detail", rejected_get_detail, nullptr, "사유가 가리키는 축이나 제약의 이름. 없으면 `None`.", nullptr},
    {"fused", rejected_get_fused, nullptr, "융합까지 갔다면 그 점수.", nullptr},
    {"candidate", rejected_get_candidate, nullptr, "넘겼던 파이썬 객체 그대로.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* rejected_reduce(PyObject* o, PyObject*) {
  return reduce_with(o, "_rejected",
                     {get_id_value<RejectedData>, rejected_get_reason, rejected_get_detail, rejected_get_fused,
                      rejected_get_candidate, get_row<RejectedData>});
}

PyMethodDef rejected_methods[] = {
    {"__reduce__", rejected_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot rejected_slots[] = {
    {Py_tp_doc, const_cast<char*>("떨어진 후보 하나.")},
    {Py_tp_repr, reinterpret_cast<void*>(rejected_repr)},
    {Py_tp_getset, rejected_getset},
    {Py_tp_methods, rejected_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(tp_traverse<RejectedData>)},
    {Py_tp_clear, reinterpret_cast<void*>(tp_clear<RejectedData>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc<RejectedData>)},
    {0, nullptr},
};

// ---------------------------------------------------------------- Outcome

PyObject* list_of(const std::vector<Ref>& items) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), items[i].new_ref());  // steals
  }
  return list.release();
}

// A Ranked whose candidate is gone counts as cleared: a record without an
// object (a table's row never made into its dict) holds None instead.
Ref make_ranked(Ranked<PyCandidate>& r, const AxisNames& axes) {
  if (!r.candidate.object) r.candidate.object = none();
  return make_instance<RankedData>(ranked_type(), std::move(r), axes);
}

Ref make_rejected(Rejected<PyCandidate>& r) { return make_instance<RejectedData>(rejected_type(), std::move(r)); }

PyObject* outcome_get_ranked(PyObject* o, void*) {
  return read_shared<OutcomeData>(o, [](const OutcomeData& d) {
    auto make = [&](Ranked<PyCandidate>& r) { return make_ranked(r, d.axes); };
    return d.ranked.make_objects(make) ? list_of(d.ranked.objects) : nullptr;
  });
}

PyObject* outcome_get_rejected(PyObject* o, void*) {
  return read_shared<OutcomeData>(o, [](const OutcomeData& d) {
    return d.rejected.make_objects(make_rejected) ? list_of(d.rejected.objects) : nullptr;
  });
}

Ref counts_of(const OutcomeData& d) {
  return lazily(!d.cleared, d.rejected_counts, [&] { return counts_dict(d.counts); });
}
Ref selection_of(const OutcomeData& d) {
  return lazily(!d.cleared, d.selection, [&] { return selection_dict(d.properties); });
}
Ref trace_of(const OutcomeData& d) {
  return lazily(!d.cleared, d.trace, [&] { return trace_dict(d.run_trace); });
}

PyObject* outcome_get_rejected_counts(PyObject* o, void*) {
  return read_shared<OutcomeData>(o, [](const OutcomeData& d) { return counts_of(d).release(); });
}

PyObject* outcome_get_selection(PyObject* o, void*) {
  return read_shared<OutcomeData>(o, [](const OutcomeData& d) { return selection_of(d).release(); });
}

PyObject* outcome_get_trace(PyObject* o, void*) {
  return read_shared<OutcomeData>(o, [](const OutcomeData& d) { return trace_of(d).release(); });
}

// The value under `key` in `dict` (a new reference), or an empty Ref: with an
// exception set when the lookup failed, without one when the key is absent.
Ref lookup(const Ref& dict, const char* key) {
  if (!dict || !PyDict_Check(dict.get())) return {};
  Ref k = interned(key);
  if (!k) return {};
  return Ref::borrow(PyDict_GetItemWithError(dict.get(), k.get()));
}

PyObject* outcome_repr(PyObject* o) {
  auto* self = as<OutcomeData>(o);
  auto g = SharedGuard::take(self->flag);
  if (!g) return nullptr;
  // Whatever the dict now holds, the repr shows something: a missing or
  // non-boolean "exact" shows as None.
  Ref selection = selection_of(self->data);
  if (!selection) return nullptr;
  Ref exact = lookup(selection, "exact");
  if (!exact && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
    PyErr_Clear();
  }
  const char* shown = "None";
  if (exact.get() == Py_True) shown = "Some(true)";
  if (exact.get() == Py_False) shown = "Some(false)";
  try {
    const std::string s = "Outcome(ranked=" + std::to_string(self->data.ranked.size()) +
                          ", rejected=" + std::to_string(self->data.rejected.size()) + ", exact=" + shown + ")";
    return text(s).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* outcome_is_complete(PyObject* o, PyObject*) {
  auto* self = as<OutcomeData>(o);
  auto g = SharedGuard::take(self->flag);
  if (!g) return nullptr;
  // Counted in 128 bits so that no sum of 64-bit counts wraps around.
  Nanos128 rejected = 0;
  Ref counts = counts_of(self->data);
  if (!counts) return nullptr;
  if (counts.get() != Py_None) {
    // A snapshot of the values: converting one may run Python code that
    // changes the dict.
    Ref values = Ref::steal(PyDict_Values(counts.get()));
    if (!values) return nullptr;
    const Py_ssize_t n = PyList_Size(values.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
      Ref item = Ref::borrow(PyList_GetItem(values.get(), i));
      std::uint64_t v = 0;
      if (!u64_of(item.get(), v)) return nullptr;
      rejected += v;
    }
  }
  Ref trace = trace_of(self->data);
  if (!trace) return nullptr;
  Ref input = lookup(trace, "input_count");
  if (!input) {
    if (PyErr_Occurred()) return nullptr;
    PyObject* type = engine_error_type();
    if (type) PyErr_SetString(type, "기록에 input_count 가 없다");
    return nullptr;
  }
  std::uint64_t input_count = 0;
  if (!u64_of(input.get(), input_count)) return nullptr;
  const Nanos128 held_count = static_cast<Nanos128>(self->data.ranked.size()) + rejected;
  return PyBool_FromLong(held_count == static_cast<Nanos128>(input_count) ? 1 : 0);
}

PyGetSetDef outcome_getset[] = {
    {"ranked", outcome_get_ranked, nullptr, "골라진 것들. 순위 오름차순이다.", nullptr},
    {"rejected", outcome_get_rejected, nullptr, "떨어진 것들. 보관 정책이 정한 만큼만 들어 있다.", nullptr},
    {"rejected_counts", outcome_get_rejected_counts, nullptr,
     "사유별 탈락 개수. 보관 정책과 무관하게 언제나 정확하다.", nullptr},
    {"selection", outcome_get_selection, nullptr,
     "선택의 성질. `exact`, `guarantee`, `pool_size`, `pool_exhausted`, `cut_margin`.", nullptr},
    {"trace", outcome_get_trace, nullptr,
     "실행 기록. 입력 수, 풀 크기, 승인 채점기, 채점기별 호출 횟수, 예산 근거.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled besides what the getters serve: the axis names.
PyObject* outcome_get_axes(PyObject* o, void*) {
  return read_shared<OutcomeData>(o, [](const OutcomeData& d) -> PyObject* {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(d.axes->size())));
    for (std::size_t i = 0; list && i < d.axes->size(); ++i) {
      Ref name = text((*d.axes)[i]);
      if (!name) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), name.release());  // steals
    }
    return list.release();
  });
}

PyObject* outcome_reduce(PyObject* o, PyObject*) {
  return reduce_with(o, "_outcome",
                     {outcome_get_ranked, outcome_get_rejected, outcome_get_rejected_counts, outcome_get_selection,
                      outcome_get_trace, outcome_get_axes});
}

PyMethodDef outcome_methods[] = {
    {"is_complete", outcome_is_complete, METH_NOARGS,
     "is_complete($self)\n--\n\n완전성 불변식. 결과 수와 탈락 수의 합이 입력 수와 같은가."},
    {"__reduce__", outcome_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot outcome_slots[] = {
    {Py_tp_doc, const_cast<char*>("실행 결과 전부.")},
    {Py_tp_repr, reinterpret_cast<void*>(outcome_repr)},
    {Py_tp_getset, outcome_getset},
    {Py_tp_methods, outcome_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(tp_traverse<OutcomeData>)},
    {Py_tp_clear, reinterpret_cast<void*>(tp_clear<OutcomeData>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc<OutcomeData>)},
    {0, nullptr},
};

// ---------------------------------------------------------------- types

constexpr unsigned kFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

PyType_Spec ranked_spec = {"vantorel.Ranked", static_cast<int>(sizeof(PyRanked)), 0, kFlags, ranked_slots};
PyType_Spec rejected_spec = {"vantorel.Rejected", static_cast<int>(sizeof(PyRejected)), 0, kFlags, rejected_slots};
PyType_Spec outcome_spec = {"vantorel.Outcome", static_cast<int>(sizeof(PyOutcome)), 0, kFlags, outcome_slots};

PyTypeObject* g_ranked = nullptr;
PyTypeObject* g_rejected = nullptr;
PyTypeObject* g_outcome = nullptr;

// ---------------------------------------------------------------- build

Ref build(Outcome<PyCandidate>& outcome) {
  OutcomeData data;
  data.ranked.records = std::move(outcome.ranked);
  data.rejected.records = std::move(outcome.rejected);
  data.axes = std::move(outcome.axes);
  data.counts = outcome.rejected_counts;
  data.properties = Selection{outcome.exact, outcome.guarantee, outcome.pool_size, outcome.pool_exhausted,
                              outcome.cut_margin};
  data.run_trace = std::move(outcome.trace);
  return make_instance<OutcomeData>(outcome_type(), std::move(data));
}

// The objects of a pickled result's list, each checked to be of `type`.
bool instances_of(PyObject* list, PyTypeObject* type, const char* name, std::vector<Ref>& out) {
  if (!type) return false;
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    Ref item = Ref::borrow(PyList_GetItem(list, i));
    if (Py_TYPE(item.get()) != type) {
      raise_not_convertible(item.get(), name);
      return false;
    }
    out.push_back(std::move(item));
  }
  return true;
}

// None, or what `convert` makes of `o`.
template <class T, class Convert>
bool optional_of(PyObject* o, std::optional<T>& out, Convert convert) {
  if (o == Py_None) return true;
  T value{};
  if (!convert(o, value)) return false;
  out = std::move(value);
  return true;
}

// An identifier as pickled: a number or a text.
bool id_of_value(PyObject* o, CandidateId& out) {
  if (PyUnicode_Check(o)) {
    std::string t;
    if (!text_of(o, t)) return false;
    out = CandidateId(std::move(t));
    return true;
  }
  std::uint64_t n = 0;
  if (!u64_of(o, n)) return false;
  out = CandidateId(n);
  return true;
}

// The axis values of a pickled scores dict, in its order (None: none).
// The values of a scores dict, in its order (the axis order it was made in).
bool scores_of(PyObject* o, Scores& out) {
  if (o == Py_None) return true;
  if (!PyDict_Check(o)) {
    raise_not_convertible(o, "dict");
    return false;
  }
  Ref values = Ref::steal(PyDict_Values(o));  // a snapshot: converting a value may run Python code
  if (!values) return false;
  out.assign(static_cast<std::size_t>(PyList_Size(values.get())), std::nullopt);
  for (Py_ssize_t i = 0; i < PyList_Size(values.get()); ++i) {
    if (!optional_of(PyList_GetItem(values.get(), i), out[static_cast<std::size_t>(i)], f32_of)) return false;
  }
  return true;
}

template <class Make>
PyObject* restore(Make&& make) {
  try {
    return make().release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace

// A restored result carries its dicts and audit text as pickled: nothing is
// made again from records, which a pickle does not hold. (A Ranked's axis
// values are read back from its scores dict, for the Arrow columns.)
PyObject* restore_ranked(PyObject*, PyObject* args) {
  PyObject *id, *rank, *fused, *scores, *fusion, *constraints, *candidate, *json, *row;
  if (!PyArg_ParseTuple(args, "OOOOOO!OOO:_ranked", &id, &rank, &fused, &scores, &fusion, &PyList_Type, &constraints,
                        &candidate, &json, &row)) {
    return nullptr;
  }
  return restore([&]() -> Ref {
    RankedData d;
    std::string json_value;
    if (!id_of_value(id, d.record.candidate.id) || !u32_of(rank, d.record.rank) || !f32_of(fused, d.record.fused) ||
        !text_of(json, json_value) || !u64_of(row, d.record.candidate.row) ||
        !scores_of(scores, d.record.scores)) {
      return {};
    }
    for (Py_ssize_t i = 0; i < PyList_Size(constraints); ++i) {
      Ref name = Ref::borrow(PyList_GetItem(constraints, i));
      if (!text_of(name.get(), d.record.constraints.emplace_back())) return {};
    }
    d.record.candidate.object = Ref::borrow(candidate);
    d.json = std::move(json_value);
    d.scores = Ref::borrow(scores);
    d.fusion = Ref::borrow(fusion);
    return make_instance<RankedData>(ranked_type(), std::move(d));
  });
}

PyObject* restore_rejected(PyObject*, PyObject* args) {
  PyObject *id, *reason, *detail, *fused, *candidate, *row;
  if (!PyArg_ParseTuple(args, "OOOOOO:_rejected", &id, &reason, &detail, &fused, &candidate, &row)) return nullptr;
  return restore([&]() -> Ref {
    RejectedData d;
    std::string reason_text;
    std::optional<std::string> detail_value;
    if (!id_of_value(id, d.record.candidate.id) || !text_of(reason, reason_text) ||
        !optional_of(detail, detail_value, text_of) || !optional_of(fused, d.record.fused, f32_of) ||
        !u64_of(row, d.record.candidate.row)) {
      return {};
    }
    std::size_t kind = 0;
    while (kind < kReasonKinds && reason_text != RejectReason::reason_name(static_cast<RejectReason::Kind>(kind))) {
      ++kind;
    }
    if (kind == kReasonKinds) {
      PyErr_Format(PyExc_ValueError, "unknown rejection reason '%U'", reason);
      return {};
    }
    d.record.reason.kind = static_cast<RejectReason::Kind>(kind);
    if (detail_value) d.record.reason.payload = std::move(*detail_value);
    d.record.candidate.object = Ref::borrow(candidate);
    return make_instance<RejectedData>(rejected_type(), std::move(d));
  });
}

PyObject* restore_outcome(PyObject*, PyObject* args) {
  PyObject *ranked, *rejected, *counts, *selection, *trace, *axes;
  if (!PyArg_ParseTuple(args, "O!O!O!O!O!O!:_outcome", &PyList_Type, &ranked, &PyList_Type, &rejected, &PyDict_Type,
                        &counts, &PyDict_Type, &selection, &PyDict_Type, &trace, &PyList_Type, &axes)) {
    return nullptr;
  }
  return restore([&]() -> Ref {
    OutcomeData d;
    if (!instances_of(ranked, ranked_type(), "vantorel.Ranked", d.ranked.objects) ||
        !instances_of(rejected, rejected_type(), "vantorel.Rejected", d.rejected.objects)) {
      return {};
    }
    auto names = std::make_shared<std::vector<ScorerId>>();
    for (Py_ssize_t i = 0; i < PyList_Size(axes); ++i) {
      if (!text_of(PyList_GetItem(axes, i), names->emplace_back())) return {};
    }
    d.axes = std::move(names);
    d.rejected_counts = Ref::borrow(counts);
    d.selection = Ref::borrow(selection);
    d.trace = Ref::borrow(trace);
    return make_instance<OutcomeData>(outcome_type(), std::move(d));
  });
}

bool outcome_records(PyObject* o, OutcomeRecords& out) {
  PyTypeObject* type = outcome_type();
  if (!type) return false;
  if (Py_TYPE(o) != type) {
    raise_not_convertible(o, "vantorel.Outcome");
    return false;
  }
  auto* self = as<OutcomeData>(o);
  auto g = SharedGuard::take(self->flag);
  if (!g) return false;
  const OutcomeData& d = self->data;
  out.axes = *d.axes;
  out.ranked.reserve(d.ranked.size());
  for (std::size_t i = 0; i < d.ranked.size(); ++i) out.ranked.push_back(&d.ranked.record<RankedData>(i));
  out.rejected.reserve(d.rejected.size());
  for (std::size_t i = 0; i < d.rejected.size(); ++i) out.rejected.push_back(&d.rejected.record<RejectedData>(i));
  return true;
}

PyTypeObject* ranked_type() { return cached_type(g_ranked, ranked_spec); }
PyTypeObject* rejected_type() { return cached_type(g_rejected, rejected_spec); }
PyTypeObject* outcome_type() { return cached_type(g_outcome, outcome_spec); }

PyObject* build_outcome(Outcome<PyCandidate>&& outcome) {
  // Consumed here: whatever the Python objects do not take is released on return.
  Outcome<PyCandidate> owned = std::move(outcome);
  try {
    return build(owned).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const InternalFault& fault) {
    raise_internal_fault(fault.text);
    return nullptr;
  }
}

}  // namespace vantorel::python
