#pragma once
// The Python result objects of a run: Outcome, Ranked and Rejected.

#include <string>
#include <vector>

#include "evidence/outcome.hpp"
#include "python/candidate.hpp"
#include "python/py.hpp"

namespace vantorel::python {

// The records an export reads of a vantorel.Outcome: the axis names, the
// ranked and the kept rejections in order. The pointers hold until Python
// code next runs.
struct OutcomeRecords {
  std::vector<std::string> axes;
  std::vector<const Ranked<PyCandidate>*> ranked;
  std::vector<const Rejected<PyCandidate>*> rejected;
};
// False with TypeError when `o` is no Outcome (or with the borrow error).
bool outcome_records(PyObject* o, OutcomeRecords& out);

// Converts a run's result, consuming it, into a new vantorel.Outcome object.
// Returns a new reference, or nullptr with the first error met while making
// Python objects (everything made so far is released).
PyObject* build_outcome(Outcome<PyCandidate>&& outcome);

}  // namespace vantorel::python
