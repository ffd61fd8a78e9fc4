// The Python-backed scorers.
#include "python/scorers.hpp"

#include <algorithm>
#include <system_error>

#include "error/error.hpp"
#include "python/buffer.hpp"
#include "python/convert.hpp"
#include "python/reader.hpp"

namespace vantorel::python {

namespace {

// Locks an error slot; a lock that cannot be taken is an internal fault.
std::unique_lock<std::mutex> lock_slot(std::mutex& m) {
  try {
    return std::unique_lock<std::mutex>(m);
  } catch (const std::system_error&) {
    internal_fault(kInvLock);
  }
}

}  // namespace

Values IndexScorer::score_batch(const std::vector<const PyCandidate*>& batch) const {
  Values out;
  out.reserve(batch.size());
  for (const PyCandidate* c : batch) out.push_back(score(*c));
  return out;
}

// The run holds the interpreter lock throughout, so the call needs no lock of
// its own.
Values CallbackScorer::call(const std::vector<const PyCandidate*>& batch) {
  Values out;
  if (try_call(batch, out)) return out;
  if (aborting_error()) throw RunAborted{};
  keep_error();
  return Values(batch.size(), std::nullopt);
}

bool CallbackScorer::try_call(const std::vector<const PyCandidate*>& batch, Values& out) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(batch.size())));
  if (!list) return false;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    // PyList_SetItem steals the new reference.
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), batch[i]->object.new_ref());
  }
  Ref result = Ref::steal(PyObject_CallFunctionObjArgs(callable_.get(), list.get(), nullptr));
  if (!result) return false;
  list.reset();

  PyObject* r = result.get();
  const bool exact_list = PyList_CheckExact(r);
  if (!exact_list && !PyTuple_CheckExact(r)) {
    NumberBuffer numbers;
    int has_numbers = numbers.open(r);
    if (has_numbers < 0) return false;
    if (has_numbers == 1) {
      // A buffer of another length fails the run whatever it holds: it is
      // measured, not read (it may claim any length, a zero stride costing
      // nothing), and the result handed back only has to differ in length.
      const auto length = static_cast<std::uint64_t>(numbers.size());
      if (length != batch.size()) {
        unread_length_ = length;
        out.assign(batch.empty() ? 1 : 0, std::nullopt);
        return true;
      }
      // Every slot holds a value: filled first, then overwritten in place.
      out.assign(batch.size(), 0.0f);
      std::optional<float>* slot = out.data();
      numbers.each(-1, [slot](Py_ssize_t i, float f) {
        *slot[i] = f;
        return true;
      });
      if (normalizer_) {
        for (std::optional<float>& v : out) v = normalize(normalizer_, v);
      }
      return true;
    }
    int seq = is_sequence(r);
    if (seq < 0) return false;
    if (seq == 0) {
      raise_value("채점기 '" + id_ + "' 의 콜백이 목록이 아닌 것을 돌려줬다");
      return false;
    }
  }
  const bool fast = exact_list || PyTuple_CheckExact(r);
  auto read = [this, &out](Py_ssize_t, PyObject* element) {
    if (element == Py_None) {
      out.push_back(std::nullopt);
      return true;
    }
    float f = 0.0f;
    if (!score_of(element, f)) return false;
    out.push_back(normalize(normalizer_, f));
    return true;
  };
  // A sequence may claim any length; room beyond the batch is never needed,
  // since a result of another length fails the run anyway. (A list or tuple
  // holds its length in memory already.)
  auto reserve = [&](Py_ssize_t m) {
    out.reserve(fast ? static_cast<std::size_t>(m) : std::min(static_cast<std::size_t>(m), batch.size()));
  };
  return for_each_element(r, -1, read, reserve);
}

void CallbackScorer::keep_error() {
  auto lock = lock_slot(error_mutex_);
  error_.keep_current();
}

FirstError CallbackScorer::take_error() {
  auto lock = lock_slot(error_mutex_);
  return error_.take();
}

std::optional<float> SharedCallback::score(const PyCandidate& c) const {
  Values v = inner_->call({&c});
  if (v.empty()) return std::nullopt;
  return v.front();
}

}  // namespace vantorel::python
