#pragma once
// The candidate reader: pulls one item at a time from a Python iterator and
// converts it into a PyCandidate. It never raises in the middle of a run: the
// first error is kept, the item is skipped, and the run entry raises the kept
// error once the run has finished.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "python/candidate.hpp"
#include "python/py.hpp"

namespace vantorel::python {

// collections.abc.Sequence, imported on first use and kept for the life of
// the process. Borrowed; nullptr with an exception set when the import fails.
PyObject* sequence_abc();

// 1 when `o` is a list, a tuple or an instance of collections.abc.Sequence,
// 0 when it is not, -1 with an exception set.
int is_sequence(PyObject* o);

// What the reader needs to know of the configuration.
struct ReaderConfig {
  std::vector<std::string> axes;        // axis names, registration order
  std::vector<std::string> group_keys;  // the group-key list
  bool read_cost = false;               // a token budget is set
  bool read_cover = false;              // the coverage objective is on
};

class Reader {
 public:
  // Makes the key objects used for every item. nullopt with an exception
  // set when they cannot be made.
  static std::optional<Reader> make(Ref iterator, const ReaderConfig& config);

  // The next candidate of the stream, or nullopt at its end. Items that fail
  // to convert are skipped (the first error is kept); an exception raised by
  // the iterator itself ends the stream and is kept the same way.
  std::optional<PyCandidate> next();

  FirstError& first_error() { return first_error_; }

 private:
  Reader() = default;

  // `id_read` tells, on failure, whether the item's id had been read.
  bool convert(PyObject* item, PyCandidate& out, bool& id_read) const;
  // Keeps the error of the item at `index` that failed to convert, noting
  // where in the stream it was met.
  void keep_item_error(std::uint64_t index, const PyCandidate& partial, bool id_read);
  bool read_scores(PyObject* item, PyCandidate& out) const;
  bool read_groups(PyObject* item, PyCandidate& out) const;
  bool read_cost(PyObject* item, PyCandidate& out) const;
  bool read_cover(PyObject* item, PyCandidate& out) const;
  // Ends the stream and aborts the run, the exception left being raised.
  [[noreturn]] void abort();

  Ref iterator_;
  std::vector<Ref> axis_keys_;
  std::vector<Ref> group_keys_;
  Ref key_id_, key_scores_, key_groups_, key_cost_, key_cover_;
  bool read_cost_ = false;
  bool read_cover_ = false;
  bool done_ = false;
  std::uint64_t pulls_ = 0;
  std::uint64_t skipped_ = 0;
  FirstError first_error_;
};

// A Python number converted by the host's float conversion and rounded to 32
// bits; fast paths for exact float and int. False with an exception set.
bool score_of(PyObject* o, float& out);

}  // namespace vantorel::python
