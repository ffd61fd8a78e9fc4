// Engine.run: prepares the core engine of the recorded configuration (or
// takes the one the Engine kept from an earlier run), streams the candidates
// through the reader into it and decides which error, if any, reaches Python.
#include <bit>
#include <cstdint>
#include <optional>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.hpp"
#include "python/convert.hpp"
#include "python/engine.hpp"
#include "python/arrow_reader.hpp"
#include "python/outcome.hpp"
#include "python/reader.hpp"
#include "python/scorers.hpp"
#include "python/types.hpp"

namespace vantorel::python {

namespace {

using CoreEngine = Engine<PyCandidate>;

constexpr const char* kMsgNoAxes = "축이 하나도 없다. Engine.scorer 로 최소 하나를 등록해야 한다";
constexpr const char* kMsgUnknownAxis = "등록되지 않은 축 ";

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

}  // namespace

// What the runs of one configuration share: the validated core engine, what
// the reader must know and its key objects. The callback scorers keep the
// errors of one run: a prepared part with callbacks serves one run and is
// never kept.
struct Prepared {
  CoreEngine engine;
  std::vector<std::shared_ptr<CallbackScorer>> callbacks;
  ReaderConfig reader_config;
  std::optional<ItemConverter> converter;
};

constexpr std::size_t kKeptSlots = std::size_t{1} << 16;

// What an Engine keeps from its runs. A run takes the spare storage whole
// and leaves its own when the slot is empty: runs on several threads, or one
// run inside another, each stage into storage of their own.
struct RunCache {
  std::shared_ptr<const Prepared> prepared;
  std::optional<StageStorage<PyCandidate>> spare;
  bool large_pool = false;  // the last run to finish had a pool of over kKeptSlots
};

namespace {

// nullptr with the error raised when the record makes no valid engine.
std::shared_ptr<Prepared> build(const EngineConfig& cfg) {
  if (cfg.axes.empty()) {
    raise_value(kMsgNoAxes);
    return nullptr;
  }
  auto b = std::make_shared<Prepared>();
  b->engine = base_engine(cfg).checkpoint([] {
    if (PyErr_CheckSignals() < 0) throw RunAborted{};
  });
  if (cfg.admission) b->engine = std::move(b->engine).admission(*cfg.admission);
  const bool tokens = cfg.budget.kind == Budget::Kind::Tokens;
  if (tokens) b->engine = std::move(b->engine).cost([](const PyCandidate& c) { return c.cost; });
  if (cfg.coverage) {
    b->engine = std::move(b->engine).objective(std::make_unique<Coverage<PyCandidate, std::string>>(
        [](const PyCandidate& c) { return c.cover; }));
  }
  add_scorers(cfg, b->engine, b->callbacks);
  if (!add_constraints(cfg, b->engine)) return nullptr;
  if (std::optional<Error> invalid = b->engine.validate()) {
    to_py_err(std::move(*invalid));
    return nullptr;
  }

  ReaderConfig& rc = b->reader_config;
  rc.axes.reserve(cfg.axes.size());
  for (const AxisSpec& axis : cfg.axes) rc.axes.push_back(axis.name);
  rc.group_keys.reserve(cfg.groups.size() + cfg.requirements.size());
  for (const GroupSpec& g : cfg.groups) rc.group_keys.push_back(g.key);
  for (const RequireSpec& r : cfg.requirements) rc.group_keys.push_back(r.key);
  rc.read_cost = tokens;
  rc.read_cover = cfg.coverage;
  b->converter = ItemConverter::make(rc);
  if (!b->converter) return nullptr;
  return b;
}

using KeptPrepared = std::shared_ptr<const Prepared>;

// The prepared part of `cfg`: the one kept, else a new one, then kept unless
// it has callbacks. nullptr with the error raised.
KeptPrepared prepare(const EngineConfig& cfg, KeptRuns& kept) {
  if (!kept) kept = std::make_shared<RunCache>();
  if (kept->prepared) return kept->prepared;
  KeptPrepared made = build(cfg);
  // A part kept meanwhile (by a run that building let in) stays.
  if (made && made->callbacks.empty() && !kept->prepared) kept->prepared = made;
  return made;
}

// The candidates of `candidates`: the rows of Arrow data, else the items of
// an iterable; nullptr with the error raised.
std::unique_ptr<CandidateStream> open_reader(const Prepared& p, PyObject* candidates) {
  std::unique_ptr<CandidateStream> table;
  if (open_arrow(candidates, p.reader_config, table) < 0) return nullptr;
  if (table) return table;
  Ref iterator = Ref::steal(PyObject_GetIter(candidates));
  if (!iterator) return nullptr;
  return std::make_unique<Reader>(std::move(iterator), *p.converter);
}

// A stream as the engine's source: row by row, or a batch at a time.
struct StreamSource {
  CandidateStream& stream;
  std::optional<PyCandidate> operator()() { return stream.next(); }
  bool batches() const { return stream.batches(); }
  bool next_batch(SlotBatch& batch) { return stream.next_batch(batch); }
  std::optional<PyCandidate> row(std::size_t i) { return stream.row(i); }
  CandidateId id(std::size_t i) { return stream.id(i); }
};

// Raises what the run ended with, in this order: the engine's error, the
// stream's first error, the first callback's error; otherwise converts the
// outcome. The error that precedence passes over first stays reachable as
// the context of the raised one. A callback's buffer of the wrong length
// was measured, not read: its length goes into the engine's error.
PyObject* conclude(const Prepared& b, std::expected<Outcome<PyCandidate>, Error>&& result, FirstError stream_error) {
  auto keep_passed_over = [&](FirstError passed_over) {
    for (const auto& callback : b.callbacks) {
      if (!passed_over.empty()) break;
      passed_over = callback->take_error();
    }
    passed_over.become_context();
  };
  if (!result) {
    Error& error = result.error();
    for (const auto& callback : b.callbacks) {
      if (error.kind == ErrorKind::BatchLengthMismatch && error.id == callback->id() && callback->unread_length()) {
        error.first = *callback->unread_length();
      }
    }
    to_py_err(std::move(error));
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
  return build_outcome(std::move(*result));
}

PyObject* run_checked(const EngineConfig& cfg, KeptRuns& kept, PyObject* candidates) {
  KeptPrepared p = prepare(cfg, kept);
  if (!p) return nullptr;
  const KeptRuns runs = kept;
  std::unique_ptr<CandidateStream> reader = open_reader(*p, candidates);
  if (!reader) return nullptr;
  StageStorage<PyCandidate> storage = std::exchange(runs->spare, std::nullopt).value_or(StageStorage<PyCandidate>{});
  auto result = p->engine.finish(p->engine.scan(StreamSource{*reader}, &storage), &storage);
  // Kept for the next run up to a pool of kKeptSlots (some tens of MB), and
  // beyond only when the run before had a pool that large too: an Engine that
  // runs large pools one after another reuses their space, while an idle one
  // does not hold on to what one large run needed.
  const bool large_pool = result && result->pool_size > kKeptSlots;
  if (!runs->spare && (storage.slots.capacity() <= kKeptSlots || (large_pool && runs->large_pool))) {
    runs->spare = std::move(storage);
  }
  runs->large_pool = large_pool;
  return conclude(*p, std::move(result), reader->first_error().take());
}

// ------------------------------------------------- stage 1 per partition
//
// A partial is the result of stage 1 over one part of a stream, as plain
// Python objects, so that it pickles and merges anywhere:
//   (capacity, keep, input_count, counts, scorers, pool, rejected, error)
// capacity is the pool capacity M; keep is None when every rejection is
// kept, else the most kept (0 for "count"); input_count is the number of
// pooled candidates plus the counters; counts holds the six counters in
// reason order; scorers one (calls, missing, elapsed_nanos) row per axis;
// pool the pooled candidates best first as (admission key bits, id,
// candidate, scores, groups, cost, cover, row), all that stage 2 needs of
// them, so that it never reads a candidate object again: scores one float or
// None per axis (the stage-1 score of a cheap axis, the value read for an
// expensive one), groups one text or None per group-key entry, cost the
// token cost, cover the cover items; rejected the kept rejections as
// (candidate, id, reason index, detail, row); error the stream's first error
// or None. A row is the candidate's position in the part's stream.

constexpr Py_ssize_t kPartialFields = 8;
constexpr Py_ssize_t kPoolFields = 8;
constexpr const char* kMsgPartial = "이 엔진의 부분 결과가 아니거나 손상되었다. 맞지 않는 항목: ";

template <class... R>
Ref tuple_of(R&&... items) {
  Ref parts[] = {std::move(items)...};
  for (const Ref& p : parts) {
    if (!p) return {};
  }
  Ref t = Ref::steal(PyTuple_New(sizeof...(items)));
  if (!t) return {};
  Py_ssize_t i = 0;
  for (Ref& p : parts) PyTuple_SetItem(t.get(), i++, p.release());
  return t;
}

// A new list of n items made by make(i); empty Ref with the error raised.
template <class Make>
Ref list_of(std::size_t n, Make&& make) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  for (std::size_t i = 0; list && i < n; ++i) {
    Ref item = make(i);
    if (!item) return {};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

Ref u64_obj(std::uint64_t v) { return Ref::steal(PyLong_FromUnsignedLongLong(v)); }
Ref float_or_none(const std::optional<float>& v) {
  return v ? Ref::steal(PyFloat_FromDouble(static_cast<double>(*v))) : Ref::borrow(Py_None);
}
Ref text_obj(const std::string& s) {
  return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
Ref text_or_none(const std::optional<std::string>& s) { return s ? text_obj(*s) : Ref::borrow(Py_None); }
Ref id_obj(const CandidateId& id) { return id.is_number() ? u64_obj(id.number()) : text_obj(id.text()); }
Ref keep_obj(const Retention& r) {
  if (r.kind == Retention::Kind::Keep) return Ref::borrow(Py_None);
  return u64_obj(r.kind == Retention::Kind::Sample ? r.n : 0);
}

Ref pool_entry(const EngineConfig& cfg, Staged<PyCandidate>& p) {
  PyCandidate& c = p.candidate;
  Ref scores = list_of(p.scores.size(), [&](std::size_t j) {
    return float_or_none(cfg.axes[j].cost == Cost::Cheap ? p.scores[j] : c.scores[j]);
  });
  Ref groups = list_of(c.groups.size(), [&](std::size_t j) { return text_or_none(c.groups[j]); });
  Ref cover = list_of(c.cover.size(), [&](std::size_t j) { return text_obj(c.cover[j]); });
  return tuple_of(u64_obj(std::bit_cast<std::uint32_t>(p.key)), id_obj(p.id()), std::move(c.object), std::move(scores),
                  std::move(groups), u64_obj(c.cost), std::move(cover), u64_obj(c.row));
}

Ref partial_of(const EngineConfig& cfg, Stage1<PyCandidate>&& s, FirstError error) {
  const RunTrace& trace = s.out.trace;
  Ref counts = list_of(kReasonKinds, [&](std::size_t i) { return u64_obj(s.out.rejected_counts.by_kind[i]); });
  Ref scorers = list_of(trace.scorers.size(), [&](std::size_t i) {
    const ScorerTrace& st = trace.scorers[i];
    return tuple_of(u64_obj(st.calls), u64_obj(st.missing), u64_obj(static_cast<std::uint64_t>(st.elapsed_nanos)));
  });
  Ref pool = list_of(s.pool.size(), [&](std::size_t i) { return pool_entry(cfg, s.entry(i)); });
  Ref rejected = list_of(s.out.rejected.size(), [&](std::size_t i) {
    Rejected<PyCandidate>& r = s.out.rejected[i];
    std::optional<std::string> detail = r.reason.detail();
    if (!r.candidate.get()) return Ref();  // a table's row, made now
    return tuple_of(std::move(r.candidate.object), id_obj(r.candidate.id),
                    u64_obj(static_cast<std::uint64_t>(r.reason.kind)), text_or_none(detail),
                    u64_obj(r.candidate.row));
  });
  Ref exception = Ref::borrow(Py_None);
  if (error.restore()) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    exception = Ref::steal(value);
  }
  return tuple_of(u64_obj(trace.pool_capacity), keep_obj(cfg.retention), u64_obj(trace.input_count),
                  std::move(counts), std::move(scorers), std::move(pool), std::move(rejected), std::move(exception));
}

PyObject* scan_checked(const EngineConfig& cfg, KeptRuns& kept, PyObject* candidates) {
  KeptPrepared b = prepare(cfg, kept);
  if (!b) return nullptr;
  std::unique_ptr<CandidateStream> reader = open_reader(*b, candidates);
  if (!reader) return nullptr;
  Stage1<PyCandidate> s = b->engine.scan(StreamSource{*reader});
  return partial_of(cfg, std::move(s), reader->first_error().take()).release();
}

// Raises ValueError naming the field of a partial that is not as it should
// be, unless an error is being raised already.
bool bad_field(const char* field) {
  if (!PyErr_Occurred()) raise_value(std::string(kMsgPartial) + "'" + field + "'");
  return false;
}

// Item i of a list or tuple of exactly n items (any n when n < 0) in
// `field` of a partial; nullptr with ValueError naming the field.
PyObject* part(PyObject* o, Py_ssize_t i, const char* field, Py_ssize_t n = -1) {
  const bool list = o && PyList_Check(o);
  if (list || (o && PyTuple_Check(o))) {
    Py_ssize_t size = list ? PyList_Size(o) : PyTuple_Size(o);
    if ((n < 0 || size == n) && i < size) return list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i);
  }
  bad_field(field);
  return nullptr;
}
Py_ssize_t length(PyObject* o, const char* field) {
  if (o && PyList_Check(o)) return PyList_Size(o);
  bad_field(field);
  return -1;
}
// The items of a partial are exact ints, floats and texts, read without
// running Python code (which could change the lists being read).
bool u64_field(PyObject* o, const char* field, std::uint64_t& out) {
  if (!o || !PyLong_CheckExact(o)) return bad_field(field);
  const unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();  // out of range
    return bad_field(field);
  }
  out = v;
  return true;
}
bool text_field(PyObject* o, const char* field, std::string& out) {
  if (!o || !PyUnicode_Check(o)) return bad_field(field);
  return text_of(o, out);
}

bool id_field(PyObject* id, const char* field, CandidateId& out) {
  if (id && PyUnicode_Check(id)) {
    std::string text;
    if (!text_of(id, text)) return false;
    out = CandidateId(std::move(text));
    return true;
  }
  std::uint64_t n = 0;
  if (!u64_field(id, field, n)) return false;
  out = CandidateId(n);
  return true;
}

bool read_counts_and_rows(PyObject* partial, Outcome<PyCandidate>& out) {
  PyObject* counts = part(partial, 3, "partial", kPartialFields);
  for (std::size_t i = 0; i < kReasonKinds; ++i) {
    if (!counts || !u64_field(part(counts, static_cast<Py_ssize_t>(i), "counts", kReasonKinds), "counts",
                              out.rejected_counts.by_kind[i])) {
      return false;
    }
  }
  PyObject* rows = part(partial, 4, "partial", kPartialFields);
  const auto axes = static_cast<Py_ssize_t>(out.trace.scorers.size());
  for (Py_ssize_t i = 0; i < axes; ++i) {
    PyObject* row = rows ? part(rows, i, "scorers", axes) : nullptr;
    ScorerTrace& st = out.trace.scorers[static_cast<std::size_t>(i)];
    std::uint64_t nanos = 0;
    if (!row || !u64_field(part(row, 0, "scorers", 3), "scorers", st.calls) ||
        !u64_field(part(row, 1, "scorers", 3), "scorers", st.missing) ||
        !u64_field(part(row, 2, "scorers", 3), "scorers", nanos)) {
      return false;
    }
    st.elapsed_nanos = nanos;
  }
  return u64_field(part(partial, 2, "partial", kPartialFields), "input_count", out.trace.input_count);
}

bool read_rejected(PyObject* partial, Outcome<PyCandidate>& out) {
  PyObject* rejected = part(partial, 6, "partial", kPartialFields);
  const Py_ssize_t n = rejected ? length(rejected, "rejected") : -1;
  if (n < 0) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* r = part(rejected, i, "rejected");
    PyObject *object = r ? part(r, 0, "rejected", 5) : nullptr, *id = r ? part(r, 1, "rejected", 5) : nullptr;
    PyObject* detail = r ? part(r, 3, "rejected", 5) : nullptr;
    std::uint64_t kind = 0;
    PyCandidate::Kept kept{Ref::borrow(object), CandidateId{}, 0};
    if (!object || !id || !detail || !u64_field(part(r, 2, "rejected", 5), "rejected", kind) ||
        !u64_field(part(r, 4, "rejected", 5), "rejected", kept.row)) {
      return false;
    }
    if (!id_field(id, "rejected", kept.id)) return false;
    RejectReason reason{static_cast<RejectReason::Kind>(kind), {}};
    const bool named = kind <= static_cast<std::uint64_t>(RejectReason::Kind::SetConstraint);
    if (kind >= kReasonKinds || (named ? !PyUnicode_Check(detail) : detail != Py_None)) return bad_field("rejected");
    if (named && !text_of(detail, reason.payload)) return false;
    out.rejected.push_back(Rejected<PyCandidate>{std::move(reason), std::move(kept), std::nullopt});
  }
  return true;
}

// One pool entry as the candidate stage 1 read, its stage-1 scores and its
// admission key; false with the error raised.
bool read_entry(PyObject* e, const EngineConfig& cfg, std::size_t group_keys, Staged<PyCandidate>& out) {
  auto item = [e](Py_ssize_t k) { return e ? part(e, k, "pool", kPoolFields) : nullptr; };
  PyObject *id = item(1), *object = item(2), *scores = item(3), *groups = item(4), *cover = item(6);
  std::uint64_t bits = 0, cost = 0;
  if (!id || !object || !scores || !groups || !cover || !u64_field(item(0), "pool", bits) ||
      !u64_field(item(5), "pool", cost) || !u64_field(item(7), "pool", out.candidate.row)) {
    return false;
  }
  const std::size_t axes = cfg.axes.size();
  const Py_ssize_t covered = length(cover, "pool");
  if (covered < 0 || bits > 0xFFFFFFFFull || cost > 0xFFFFFFFFull ||
      length(scores, "pool") != static_cast<Py_ssize_t>(axes) ||
      length(groups, "pool") != static_cast<Py_ssize_t>(group_keys)) {
    return bad_field("pool");
  }
  PyCandidate& c = out.candidate;
  c.object = Ref::borrow(object);
  c.cost = static_cast<std::uint32_t>(cost);
  if (!id_field(id, "pool", c.id)) return false;
  out.key = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
  c.scores.assign(axes, std::nullopt);
  out.scores.assign(axes, std::nullopt);
  for (std::size_t j = 0; j < axes; ++j) {
    PyObject* v = PyList_GetItem(scores, static_cast<Py_ssize_t>(j));
    if (v == Py_None) continue;
    if (!PyFloat_CheckExact(v)) return bad_field("pool");
    (cfg.axes[j].cost == Cost::Cheap ? out.scores[j] : c.scores[j]) = static_cast<float>(PyFloat_AsDouble(v));
  }
  c.groups.resize(group_keys);
  for (std::size_t j = 0; j < group_keys; ++j) {
    PyObject* g = PyList_GetItem(groups, static_cast<Py_ssize_t>(j));
    if (g != Py_None && !text_field(g, "pool", c.groups[j].emplace())) return false;
  }
  c.cover.resize(static_cast<std::size_t>(covered));
  for (Py_ssize_t j = 0; j < covered; ++j) {
    if (!text_field(PyList_GetItem(cover, j), "pool", c.cover[static_cast<std::size_t>(j)])) return false;
  }
  return true;
}

// The pool: at most `capacity` entries, best first.
bool read_pool(PyObject* partial, const EngineConfig& cfg, Stage1<PyCandidate>& s, std::uint64_t capacity) {
  PyObject* entries = part(partial, 5, "partial", kPartialFields);
  const Py_ssize_t n = entries ? length(entries, "pool") : -1;
  if (n < 0) return false;
  if (static_cast<std::uint64_t>(n) > capacity) return bad_field("pool");
  const std::size_t group_keys = cfg.groups.size() + cfg.requirements.size();
  s.pool.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Staged<PyCandidate> e{PyCandidate{}, {}, 0.0f};
    if (!read_entry(part(entries, i, "pool"), cfg, group_keys, e)) return false;
    if (!s.pool.empty()) {
      const Staged<PyCandidate>& last = s.entry(s.pool.size() - 1);
      if (score_before(e.key, e.id(), last.key, last.id())) return bad_field("pool");
    }
    s.pool.push_back(s.staged.size());
    s.staged.emplace_back(std::move(e));
  }
  return true;
}

// Every candidate read is pooled or counted once: the input count is the
// pool's size plus the counters, without wrapping.
bool counts_add_up(const Stage1<PyCandidate>& s) {
  std::uint64_t total = s.pool.size();
  for (std::uint64_t count : s.out.rejected_counts.by_kind) {
    if (count > UINT64_MAX - total) return false;
    total += count;
  }
  return total == s.out.trace.input_count;
}

PyObject* finish_checked(const EngineConfig& cfg, KeptRuns& kept, PyObject* partial) {
  KeptPrepared b = prepare(cfg, kept);
  if (!b) return nullptr;
  if (!PyTuple_Check(partial)) {
    bad_field("partial");
    return nullptr;
  }
  Stage1<PyCandidate> s{{}, {}, b->engine.empty_outcome()};
  std::uint64_t capacity = 0;
  PyObject* keep = part(partial, 1, "partial", kPartialFields);
  Ref expected_keep = keep_obj(cfg.retention);
  if (!keep || !expected_keep || !u64_field(part(partial, 0, "partial", kPartialFields), "capacity", capacity)) {
    return nullptr;
  }
  if (capacity != s.out.trace.pool_capacity) {
    bad_field("capacity");
    return nullptr;
  }
  if (PyObject_RichCompareBool(keep, expected_keep.get(), Py_EQ) != 1) {
    bad_field("keep");
    return nullptr;
  }
  PyObject* error = part(partial, 7, "partial", kPartialFields);
  if (!error) return nullptr;
  if (error != Py_None && !PyExceptionInstance_Check(error)) {
    bad_field("error");
    return nullptr;
  }
  if (!read_counts_and_rows(partial, s.out) || !read_rejected(partial, s.out) ||
      !read_pool(partial, cfg, s, capacity)) {
    return nullptr;
  }
  if (!counts_add_up(s)) {
    bad_field("input_count");
    return nullptr;
  }
  FirstError stream_error;
  if (error != Py_None) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    stream_error.keep_current();
  }
  return conclude(*b, b->engine.finish(std::move(s)), std::move(stream_error));
}

// Runs `body` and turns what the core may throw into the Python error.
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (const RunAborted&) {
    // The exception that stopped the run is still being raised.
    if (!PyErr_Occurred()) raise_internal_fault("중단된 실행에 예외가 없다");
    return nullptr;
  } catch (const InternalFault& fault) {
    raise_internal_fault(fault.text);
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* guarded_scan(const EngineConfig& cfg, KeptRuns& kept, PyObject* candidates) {
  return guarded([&] { return scan_checked(cfg, kept, candidates); });
}

PyObject* guarded_finish(const EngineConfig& cfg, KeptRuns& kept, PyObject* partial) {
  return guarded([&] { return finish_checked(cfg, kept, partial); });
}

// _scan(engine, candidates) and _finish(engine, partial), under shared
// access to the engine as Engine.run takes it.
PyObject* with_engine(PyObject* args, const char* format, RunStep step) {
  PyObject *self = nullptr, *arg = nullptr;
  if (!PyArg_ParseTuple(args, format, engine_type(), &self, &arg)) return nullptr;
  return with_config(self, arg, step);
}

}  // namespace

PyObject* build_and_run(const EngineConfig& config, KeptRuns& kept, PyObject* candidates) {
  return guarded([&] { return run_checked(config, kept, candidates); });
}

PyObject* scan_partial(PyObject*, PyObject* args) { return with_engine(args, "O!O:_scan", guarded_scan); }

PyObject* finish_partial(PyObject*, PyObject* args) { return with_engine(args, "O!O:_finish", guarded_finish); }

}  // namespace vantorel::python
