// The candidate reader. Stage 1 runs through here once per item, so lookups
// use key objects made once per run and exact dict, list, tuple, float, int
// and str take fast paths before the general protocols.
#include "python/reader.hpp"

#include <cstdint>
#include <utility>

#include "error/error.hpp"
#include "python/buffer.hpp"
#include "python/convert.hpp"

namespace vantorel::python {

namespace {

constexpr const char* kMsgNotDict = "후보는 사전(dict)이어야 한다. 'id' 와 'scores' 가 필요하다";
constexpr const char* kMsgNoId = "후보에 'id' 가 없다";
constexpr const char* kMsgScores = "'scores' 는 사전이거나 순서열이어야 한다";
constexpr const char* kMsgGroups = "'groups' 는 사전이어야 한다";
constexpr const char* kMsgCover = "'cover' 는 순서열이어야 한다";

PyObject* g_sequence_abc = nullptr;

// Interned, so that the literal keys of the candidates' dicts match by identity.
Ref make_key(const std::string& text) {
  PyObject* key = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (key) PyUnicode_InternInPlace(&key);
  return Ref::steal(key);
}

// An unsigned 64-bit number by the host's integer conversion, else the text
// that `str` gives.
bool id_of(PyObject* o, CandidateId& out) {
  if (PyLong_CheckExact(o)) {
    unsigned long long n = PyLong_AsUnsignedLongLong(o);
    if (!(n == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      out = CandidateId(static_cast<std::uint64_t>(n));
      return true;
    }
    PyErr_Clear();
  } else if (!PyUnicode_CheckExact(o)) {
    std::uint64_t n = 0;
    if (u64_of(o, n)) {
      out = CandidateId(n);
      return true;
    }
    // Not a number: the text form is used, unless the run is being stopped.
    if (aborting_error()) return false;
    PyErr_Clear();
  }
  std::string text;
  if (!str_of(o, text)) return false;
  out = CandidateId(std::move(text));
  return true;
}

}  // namespace

PyObject* sequence_abc() {
  if (g_sequence_abc) return g_sequence_abc;
  Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
  if (!module) return nullptr;
  Ref abc = Ref::steal(PyObject_GetAttrString(module.get(), "Sequence"));
  if (!abc) return nullptr;
  // The import may have let another thread fill the slot first.
  if (!g_sequence_abc) g_sequence_abc = abc.release();
  return g_sequence_abc;
}

int is_sequence(PyObject* o) {
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return 1;
  PyObject* abc = sequence_abc();
  if (!abc) return -1;
  return PyObject_IsInstance(o, abc);
}

bool score_of(PyObject* o, float& out) {
  double d;
  if (PyFloat_CheckExact(o)) {
    d = PyFloat_AsDouble(o);
  } else if (PyLong_CheckExact(o)) {
    d = PyLong_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return false;
  } else {
    d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return false;
  }
  out = static_cast<float>(d);
  return true;
}

std::optional<ItemConverter> ItemConverter::make(const ReaderConfig& config) {
  ItemConverter r;
  r.read_cost_ = config.read_cost;
  r.read_cover_ = config.read_cover;
  r.axis_keys_.reserve(config.axes.size());
  for (const std::string& name : config.axes) {
    r.axis_keys_.push_back(make_key(name));
    if (!r.axis_keys_.back()) return std::nullopt;
  }
  r.group_keys_.reserve(config.group_keys.size());
  for (const std::string& key : config.group_keys) {
    r.group_keys_.push_back(make_key(key));
    if (!r.group_keys_.back()) return std::nullopt;
  }
  r.key_id_ = interned("id");
  r.key_scores_ = interned("scores");
  r.key_groups_ = interned("groups");
  r.key_cost_ = interned("cost");
  r.key_cover_ = interned("cover");
  if (!r.key_id_ || !r.key_scores_ || !r.key_groups_ || !r.key_cost_ || !r.key_cover_) return std::nullopt;
  return r;
}

std::optional<PyCandidate> Reader::next() {
  constexpr std::uint64_t kCheckEvery = 4096;
  // Built in place and returned as is (every return names it): the record
  // is neither copied nor zero-filled first.
  std::optional<PyCandidate> candidate(std::in_place);
  while (!done_) {
    ++pulls_;
    PyObject* raw = PyIter_Next(iterator_.get());
    if (!raw) {
      // End of the stream, or the iterator raised: either way nothing more
      // is pulled from it.
      if (aborting_error()) abort();
      if (PyErr_Occurred()) first_error_.keep_current();
      done_ = true;
      iterator_.reset();
      break;
    }
    Ref item = Ref::steal(raw);
    bool id_read = false;
    if (converter_.convert(item.get(), *candidate, id_read)) {
      candidate->object = std::move(item);
      candidate->row = pulls_ - 1;
      return candidate;
    }
    if (aborting_error()) abort();
    keep_item_error(pulls_ - 1, *candidate, id_read);
    // A long in-memory stream runs no Python code: the engine looks for
    // pending signals (Ctrl-C) now and then among the candidates it receives,
    // the reader among the items it skips.
    if (++skipped_ % kCheckEvery == 0 && PyErr_CheckSignals() < 0) abort();
    candidate.emplace();  // the partly built record goes; a fresh one for the next item
  }
  candidate.reset();
  return candidate;
}

void CandidateStream::keep_item_error(std::uint64_t index, const PyCandidate& partial, bool id_read) {
  if (first_error_.empty()) {
    // Made with the interpreter's own formatting: nothing here may throw.
    add_note([&]() -> PyObject* {
      const auto n = static_cast<unsigned long long>(index);
      if (!id_read) return PyUnicode_FromFormat("%s %llu %s", "스트림 색인", n, "의 항목을 읽다가 났다");
      const CandidateId& id = partial.id;
      Ref text = Ref::steal(
          id.is_number()
              ? PyUnicode_FromFormat("%llu", static_cast<unsigned long long>(id.number()))
              : PyUnicode_FromStringAndSize(id.text().data(), static_cast<Py_ssize_t>(id.text().size())));
      if (!text) return nullptr;
      return PyUnicode_FromFormat("%s %llu %s '%U' %s", "스트림 색인", n, "의 후보", text.get(), "를 읽다가 났다");
    });
  }
  first_error_.keep_current();
}

bool ItemConverter::convert(PyObject* item, PyCandidate& out, bool& id_read) const {
  if (!PyDict_CheckExact(item) && !PyDict_Check(item)) {
    PyErr_SetString(PyExc_ValueError, kMsgNotDict);
    return false;
  }
  {
    Ref id = Ref::borrow(PyDict_GetItemWithError(item, key_id_.get()));
    if (!id) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, kMsgNoId);
      return false;
    }
    if (!id_of(id.get(), out.id)) return false;
    id_read = true;
  }
  if (!read_scores(item, out)) return false;
  if (!group_keys_.empty() && !read_groups(item, out)) return false;
  if (read_cost_ && !read_cost(item, out)) return false;
  if (read_cover_ && !read_cover(item, out)) return false;
  return true;
}

bool ItemConverter::read_scores(PyObject* item, PyCandidate& out) const {
  out.scores.assign(axis_keys_.size(), std::nullopt);
  Ref scores = Ref::borrow(PyDict_GetItemWithError(item, key_scores_.get()));
  if (!scores) return !PyErr_Occurred();
  PyObject* s = scores.get();
  if (PyDict_Check(s)) {
    for (std::size_t i = 0; i < axis_keys_.size(); ++i) {
      PyObject* v = PyDict_GetItemWithError(s, axis_keys_[i].get());
      if (!v) {
        if (PyErr_Occurred()) return false;
        continue;
      }
      if (v == Py_None) continue;
      float f = 0.0f;
      if (PyFloat_CheckExact(v) || PyLong_CheckExact(v)) {
        if (!score_of(v, f)) return false;
      } else {
        Ref held = Ref::borrow(v);  // __float__ may change the dict
        if (!score_of(held.get(), f)) return false;
      }
      out.scores[i] = f;
    }
    return true;
  }
  if (!PyList_CheckExact(s) && !PyTuple_CheckExact(s)) {
    NumberBuffer numbers;
    int has_numbers = numbers.open(s);
    if (has_numbers < 0) return false;
    if (has_numbers == 1) {
      return numbers.each(static_cast<Py_ssize_t>(axis_keys_.size()), [&](Py_ssize_t i, float f) {
        out.scores[static_cast<std::size_t>(i)] = f;
        return true;
      });
    }
  }
  int seq = is_sequence(s);
  if (seq < 0) return false;
  if (seq == 0) {
    PyErr_SetString(PyExc_ValueError, kMsgScores);
    return false;
  }
  return for_each_element(s, static_cast<Py_ssize_t>(axis_keys_.size()), [&](Py_ssize_t i, PyObject* v) {
    if (v == Py_None) return true;
    float f = 0.0f;
    if (!score_of(v, f)) return false;
    out.scores[static_cast<std::size_t>(i)] = f;
    return true;
  });
}

bool ItemConverter::read_groups(PyObject* item, PyCandidate& out) const {
  out.groups.assign(group_keys_.size(), std::nullopt);
  Ref groups = Ref::borrow(PyDict_GetItemWithError(item, key_groups_.get()));
  if (!groups) return !PyErr_Occurred();
  if (!PyDict_Check(groups.get())) {
    PyErr_SetString(PyExc_ValueError, kMsgGroups);
    return false;
  }
  for (std::size_t i = 0; i < group_keys_.size(); ++i) {
    Ref v = Ref::borrow(PyDict_GetItemWithError(groups.get(), group_keys_[i].get()));
    if (!v) {
      if (PyErr_Occurred()) return false;
      continue;
    }
    if (v.get() == Py_None) continue;
    std::string text;
    if (!str_of(v.get(), text)) return false;
    out.groups[i] = std::move(text);
  }
  return true;
}

bool ItemConverter::read_cost(PyObject* item, PyCandidate& out) const {
  Ref cost = Ref::borrow(PyDict_GetItemWithError(item, key_cost_.get()));
  if (!cost) return !PyErr_Occurred();
  if (cost.get() == Py_None) return true;
  return u32_of(cost.get(), out.cost);
}

bool ItemConverter::read_cover(PyObject* item, PyCandidate& out) const {
  Ref cover = Ref::borrow(PyDict_GetItemWithError(item, key_cover_.get()));
  if (!cover) return !PyErr_Occurred();
  if (cover.get() == Py_None) return true;
  int seq = is_sequence(cover.get());
  if (seq < 0) return false;
  if (seq == 0) {
    PyErr_SetString(PyExc_ValueError, kMsgCover);
    return false;
  }
  return for_each_element(cover.get(), -1, [&](Py_ssize_t, PyObject* v) {
    std::string text;
    if (!str_of(v, text)) return false;
    out.cover.push_back(std::move(text));
    return true;
  });
}

}  // namespace vantorel::python
