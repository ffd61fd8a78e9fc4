#pragma once
// Type objects and exception types of the module, created once per process on
// first request. Each function returns a borrowed reference, or nullptr with
// an exception set.
#include "error/error.hpp"
#include "python/py.hpp"

namespace vantorel::python {

PyObject* engine_error_type();    // vantorel.EngineError (Exception)
PyObject* internal_fault_type();  // derived directly from BaseException
PyTypeObject* engine_type();      // vantorel.Engine (PyEngine)
PyTypeObject* ranked_type();      // vantorel.Ranked (PyRanked)
PyTypeObject* rejected_type();    // vantorel.Rejected (PyRejected)
PyTypeObject* outcome_type();     // vantorel.Outcome (PyOutcome)

// Raises the Python exception for an engine error: the first nine kinds as
// ValueError, the last two as EngineError, with the message as only argument.
void to_py_err(Error error);

// The private functions of vantorel._core that rebuild pickled objects; each
// type's __reduce__ names one (fetched with private_function).
PyObject* restore_engine(PyObject* module, PyObject* calls);
PyObject* restore_ranked(PyObject* module, PyObject* args);
PyObject* restore_rejected(PyObject* module, PyObject* args);
PyObject* restore_outcome(PyObject* module, PyObject* args);
Ref private_function(const char* name);

// Raises the internal-fault exception with `text`.
void raise_internal_fault(const char* text);

}  // namespace vantorel::python
