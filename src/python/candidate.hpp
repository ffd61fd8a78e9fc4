#pragma once
// The engine's candidate, converted from one Python dict by the reader.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/candidate_id.hpp"
#include "python/py.hpp"
#include "score/score.hpp"

namespace vantorel::python {

struct PyCandidate;

// Makes the Python object of a candidate that came without one (a row of a
// table), when the candidate first needs it.
class RowSource {
 public:
  virtual void make_object(PyCandidate& c) = 0;

 protected:
  ~RowSource() = default;
};

struct PyCandidate {
  // Made once per item read: a user-provided constructor, so that making one
  // initialises each member instead of zero-filling the whole record first.
  PyCandidate() {}

  // What a result keeps of a candidate: its object and its identifier.
  struct Kept {
    Ref object;
    CandidateId id;
  };
  Kept kept() && {
    make_object();
    return {std::move(object), std::move(id)};
  }
  // Entering the pool: the object is made now, while the row's data is at hand.
  void enter_pool() { make_object(); }
  void make_object() {
    if (source) source->make_object(*this);
  }

  Scores scores;                                   // one slot per registered axis
  std::vector<std::optional<std::string>> groups;  // one slot per group-key entry
  std::vector<std::string> cover;                  // cover items (coverage objective)
  Ref object;                                      // the item as the iterator yielded it
  RowSource* source = nullptr;                     // set while the object is still to be made
  std::int64_t row = 0;                            // the row in `source` it is made from
  std::uint64_t batch = 0;                         // ... and that row's batch
  CandidateId id;
  std::uint32_t cost = 0;                          // token cost (token budget)
};

}  // namespace vantorel::python
