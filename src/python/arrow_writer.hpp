#pragma once
// The private functions of vantorel._core behind vantorel.arrow.
#include "python/py.hpp"

namespace vantorel::python {

// _arrow_schema(outcome, part): a capsule "arrow_schema" holding the schema
// of the part ("ranked" or "rejected") of an Outcome.
PyObject* arrow_schema(PyObject* module, PyObject* args);
// _arrow_stream(outcome, part, batch_rows): a capsule "arrow_array_stream"
// of that part's rows, batch_rows to a batch.
PyObject* arrow_stream(PyObject* module, PyObject* args);
// _arrow_live(): how many exported Arrow structures are not yet released.
PyObject* arrow_live(PyObject* module, PyObject* unused);

}  // namespace vantorel::python
