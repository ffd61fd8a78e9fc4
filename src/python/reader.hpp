#pragma once
// The candidate reader: pulls one item at a time from a Python iterator and
// converts it into a PyCandidate. It never raises in the middle of a run: the
// first error is kept, the item is skipped, and the run entry raises the kept
// error once the run has finished.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/slot_batch.hpp"
#include "error/error.hpp"
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

// Converts one candidate dict into a PyCandidate by the rules of the dict
// format, with key objects made once.
class ItemConverter {
 public:
  // nullopt with an exception set when the key objects cannot be made.
  static std::optional<ItemConverter> make(const ReaderConfig& config);

  // False with an exception set; `id_read` tells whether the id had been read.
  bool convert(PyObject* item, PyCandidate& out, bool& id_read) const;

 private:
  ItemConverter() = default;
  bool read_scores(PyObject* item, PyCandidate& out) const;
  bool read_groups(PyObject* item, PyCandidate& out) const;
  bool read_cost(PyObject* item, PyCandidate& out) const;
  bool read_cover(PyObject* item, PyCandidate& out) const;

  std::vector<Ref> axis_keys_;
  std::vector<Ref> group_keys_;
  Ref key_id_, key_scores_, key_groups_, key_cost_, key_cover_;
  bool read_cost_ = false;
  bool read_cover_ = false;
};

// Where the engine's candidates come from: a stream that never raises in the
// middle of a run. Items that fail to convert are skipped, the first error
// kept; an error of the source itself ends the stream and is kept the same
// way. An error that must stop the run at once (KeyboardInterrupt,
// MemoryError) aborts it with RunAborted, the exception left being raised.
class CandidateStream {
 public:
  virtual ~CandidateStream() = default;
  // The next candidate of the stream, or nullopt at its end.
  virtual std::optional<PyCandidate> next() = 0;
  // A stream that can also give its rows a batch at a time as slot columns
  // (see SlotBatch) says so, and makes the candidate of row i of the
  // current batch on demand (nullopt when the row is skipped), and that
  // row's identifier.
  virtual bool batches() const { return false; }
  virtual bool next_batch(SlotBatch&) { return false; }
  virtual std::optional<PyCandidate> row(std::size_t) { return std::nullopt; }
  virtual CandidateId id(std::size_t) { return {}; }
  FirstError& first_error() { return first_error_; }

 protected:
  // Keeps the error being raised, met while converting the item at `index`
  // of the stream, with a note naming where it was met.
  void keep_item_error(std::uint64_t index, const PyCandidate& partial, bool id_read);
  // Ends the stream and the run, the exception that stops it being raised.
  [[noreturn]] void abort() {
    done_ = true;
    throw RunAborted{};
  }

  FirstError first_error_;
  bool done_ = false;  // nothing more is pulled
};

// The candidates of a Python iterator, one item per pull, converted by
// `converter`, which outlives the reader.
class Reader final : public CandidateStream {
 public:
  Reader(Ref iterator, const ItemConverter& converter) : iterator_(std::move(iterator)), converter_(converter) {}
  std::optional<PyCandidate> next() override;

 private:
  Ref iterator_;
  const ItemConverter& converter_;
  bool done_ = false;
  std::uint64_t pulls_ = 0;
  std::uint64_t skipped_ = 0;
};

// A Python number converted by the host's float conversion and rounded to 32
// bits; fast paths for exact float and int. False with an exception set.
bool score_of(PyObject* o, float& out);

}  // namespace vantorel::python
