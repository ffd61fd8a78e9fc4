#pragma once
// The Python result objects of a run: Outcome, Ranked and Rejected.

#include "evidence/outcome.hpp"
#include "python/candidate.hpp"
#include "python/py.hpp"

namespace vantorel::python {

// Converts a run's result, consuming it, into a new vantorel.Outcome object.
// Returns a new reference, or nullptr with the first error met while making
// Python objects (everything made so far is released).
PyObject* build_outcome(Outcome<PyCandidate>&& outcome);

}  // namespace vantorel::python
