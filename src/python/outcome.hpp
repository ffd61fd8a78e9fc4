#pragma once
// The Python result objects of a run: Outcome, Ranked and Rejected.
#include <vector>

#include "evidence/outcome.hpp"
#include "python/candidate.hpp"
#include "python/py.hpp"
#include "score/score.hpp"

namespace vantorel::python {

// Converts a run's result, consuming it, into a new vantorel.Outcome object.
// `declared_costs` holds the cost class declared for each axis, in
// registration order; it is paired with the run's scorer trace rows.
// Returns a new reference, or nullptr with the first error met while making
// Python objects (everything made so far is released).
PyObject* build_outcome(Outcome<PyCandidate>&& outcome, const std::vector<Cost>& declared_costs);

}  // namespace vantorel::python
