#pragma once
// Conversions shared by the configuration methods, the reader and the
// callback scorers: a ValueError with a UTF-8 message, the text that `str`
// gives, and a walk over the elements of a sequence.
#include <string>
#include <string_view>

#include "python/py.hpp"

namespace vantorel::python {

// Raises ValueError with a UTF-8 message (the received texts may hold NULs).
inline void raise_value(std::string_view message) {
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

// Text of any object as `str` gives it; an exact str is read directly.
inline bool str_of(PyObject* o, std::string& out) {
  if (PyUnicode_CheckExact(o)) return text_of(o, out);
  Ref s = Ref::steal(PyObject_Str(o));
  return s && text_of(s.get(), out);
}

// Calls `each(i, element)` for elements 0..n-1 of a sequence, n = its length
// taken once (or min(length, limit) for a limit >= 0); `on_length` learns the
// length first. Exact list and tuple are indexed directly; any other sequence
// through the sequence protocol.
template <class Each, class OnLength = void (*)(Py_ssize_t)>
bool for_each_element(PyObject* seq, Py_ssize_t limit, Each&& each, OnLength on_length = [](Py_ssize_t) {}) {
  const bool list = PyList_CheckExact(seq);
  const bool fast = list || PyTuple_CheckExact(seq);
  Py_ssize_t n = list ? PyList_Size(seq) : fast ? PyTuple_Size(seq) : PySequence_Size(seq);
  if (n < 0) return false;
  on_length(n);
  if (limit >= 0 && limit < n) n = limit;
  for (Py_ssize_t i = 0; i < n; ++i) {
    // Borrowed items are held while converted: a conversion may run Python
    // code that changes the list (an index past a shrunk list fails).
    Ref element = fast ? Ref::borrow(list ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i))
                       : Ref::steal(PySequence_GetItem(seq, i));
    if (!element || !each(i, element.get())) return false;
  }
  return true;
}

}  // namespace vantorel::python
