#pragma once
// The engine's candidate, converted from one Python dict by the reader.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/candidate_id.hpp"
#include "python/py.hpp"
#include "score/score.hpp"

namespace vantorel::python {

struct PyCandidate;

// Rows kept for later: the object of any of them made on demand.
class HeldRows {
 public:
  virtual ~HeldRows() = default;
  // The object of row `row`; empty with the error raised.
  virtual Ref make(std::int64_t row) const = 0;
};

// Makes the Python object of a candidate that came without one (a row of a
// table), when the candidate first needs it, or holds its rows so that it
// can be made later.
class RowSource {
 public:
  virtual void make_object(PyCandidate& c) = 0;
  virtual std::shared_ptr<const HeldRows> hold() = 0;

 protected:
  ~RowSource() = default;
};

struct PyCandidate {
  // Made once per item read: a user-provided constructor, so that making one
  // initialises each member instead of zero-filling the whole record first.
  PyCandidate() {}

  // What a result keeps of a candidate: its object, its identifier and its
  // position in the input. A kept row of a table holds its rows instead, and
  // its object is made when first asked for.
  struct Kept {
    mutable Ref object;
    CandidateId id;
    std::uint64_t row = 0;
    mutable std::shared_ptr<const HeldRows> rows;
    std::int64_t held_row = 0;

    // The object, made now if it was deferred; null with the error raised
    // when it cannot be made, or when it has been dropped (`drop`).
    PyObject* get() const {
      if (!object && rows) {
        std::shared_ptr<const HeldRows> alive = rows;  // kept while the object is made
        Ref made = alive->make(held_row);
        if (!made) return nullptr;
        if (!object) object = std::move(made);  // (made meanwhile by another thread: that one stays)
        rows.reset();
      }
      return object.get();
    }
    void drop() {
      object.reset();
      rows.reset();
    }
  };
  Kept kept() && {
    if (!source) return {std::move(object), std::move(id), row, nullptr, 0};
    // A row rejected and kept: its rows are held, its dict made on demand.
    Kept k{{}, std::move(id), row, source->hold(), batch_row};
    source = nullptr;
    return k;
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
  std::int64_t batch_row = 0;                      // the row in `source` it is made from
  std::uint64_t batch = 0;                         // ... and that row's batch
  std::uint64_t row = 0;                           // position in the input stream, from 0
  CandidateId id;
  std::uint32_t cost = 0;                          // token cost (token budget)
};

}  // namespace vantorel::python
