// An outcome's ranked candidates and kept rejections as Arrow record
// batches, built straight from the run's records (no Ranked or Rejected
// object, no candidate dict is made) and handed over in PyCapsules named
// as the Arrow PyCapsule interface names them.
#include "python/arrow_writer.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrow/export.hpp"
#include "python/outcome.hpp"

namespace vantorel::python {

namespace {

using arrow::Array;
using arrow::Field;

constexpr const char* kMsgPart = "내보낼 부분은 'ranked' 나 'rejected' 여야 한다";
constexpr const char* kMsgTooLong = "한 묶음의 글자가 utf8 열 하나에 담을 수 있는 2 GiB 를 넘는다";

// Raised when the texts of one batch outgrow a utf8 column.
struct TooLong {};
// Raised when a text id is met by columns built for numbers.
struct TextId {};

template <class Record>
bool all_numbers(const std::vector<const Record*>& records) {
  return std::all_of(records.begin(), records.end(), [](const Record* r) { return r->candidate.id.is_number(); });
}

Array texts(arrow::TextColumn&& column) {
  std::optional<Array> a = std::move(column).finish();
  if (!a) throw TooLong{};
  return std::move(*a);
}

// The id column: numbers, or the display texts.
class IdColumn {
 public:
  IdColumn(bool numeric, std::int64_t n) {
    if (numeric) {
      numbers_.emplace(n);
    } else {
      texts_.emplace(n);
    }
  }
  void set(std::int64_t i, const CandidateId& id) {
    if (numbers_) {
      if (!id.is_number()) throw TextId{};
      return numbers_->set(i, id.number());
    }
    if (!id.is_number()) return texts_->set(i, id.text());
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, id.number()).ptr;
    texts_->set(i, std::string_view(digits, static_cast<std::size_t>(end - digits)));
  }
  Array finish() && { return numbers_ ? std::move(*numbers_).finish() : texts(std::move(*texts_)); }

 private:
  std::optional<arrow::FixedColumn<std::uint64_t>> numbers_;
  std::optional<arrow::TextColumn> texts_;
};

Field column(const char* format, std::string name, bool nullable = false) {
  return Field{format, std::move(name), nullable, {}, nullptr};
}

// ranked: id, rank, fused, one column per axis, constraints, row.
Field ranked_schema(const OutcomeRecords& r, bool numeric) {
  std::vector<Field> f{column(numeric ? "L" : "u", "id"), column("I", "rank"), column("f", "fused")};
  for (const std::string& axis : r.axes) f.push_back(column("f", axis, true));
  f.push_back(Field{"+l", "constraints", false, {column("u", "item", true)}, nullptr});
  f.push_back(column("L", "row"));
  return arrow::struct_field(std::move(f));
}

// The value of axis j in a record's scores (by axis; a restored record's in
// the order of its scores dict, which is the axis order).
std::optional<float> axis_value(const Scores& scores, std::size_t j) {
  return j < scores.size() ? scores[j] : std::nullopt;
}

Array ranked_batch(const OutcomeRecords& r, bool numeric, std::size_t first, std::int64_t n) {
  const auto* records = r.ranked.data() + first;
  std::int64_t items = 0;
  for (std::int64_t i = 0; i < n; ++i) items += static_cast<std::int64_t>(records[i]->constraints.size());
  IdColumn id(numeric, n);
  arrow::FixedColumn<std::uint32_t> rank(n);
  arrow::FixedColumn<float> fused(n);
  std::vector<arrow::OptionalColumn<float>> axes;
  for (std::size_t j = 0; j < r.axes.size(); ++j) axes.emplace_back(n);
  arrow::ListColumn constraints(n);
  arrow::TextColumn names(items);
  arrow::FixedColumn<std::uint64_t> row(n);
  std::int64_t k = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    const Ranked<PyCandidate>& rec = *records[i];
    id.set(i, rec.candidate.id);
    rank.set(i, rec.rank);
    fused.set(i, rec.fused);
    for (std::size_t j = 0; j < axes.size(); ++j) axes[j].set(i, axis_value(rec.scores, j));
    constraints.set(i, rec.constraints.size());
    for (const std::string& name : rec.constraints) names.set(k++, name);
    row.set(i, rec.candidate.row);
  }
  std::vector<Array> c;
  c.push_back(std::move(id).finish());
  c.push_back(std::move(rank).finish());
  c.push_back(std::move(fused).finish());
  for (auto& axis : axes) c.push_back(std::move(axis).finish());
  c.push_back(std::move(constraints).finish(texts(std::move(names))));
  c.push_back(std::move(row).finish());
  return arrow::struct_array(n, std::move(c));
}

// rejected: id, reason (int8 indices into the six reason names), detail,
// fused, row.
Field rejected_schema(const OutcomeRecords&, bool numeric) {
  Field reason = column("c", "reason");
  reason.dictionary = std::make_shared<const Field>(column("u", ""));
  return arrow::struct_field({column(numeric ? "L" : "u", "id"), std::move(reason),
                              column("u", "detail", true), column("f", "fused", true), column("L", "row")});
}

Array reason_names() {
  arrow::TextColumn names(static_cast<std::int64_t>(kReasonKinds));
  for (std::size_t k = 0; k < kReasonKinds; ++k) {
    names.set(static_cast<std::int64_t>(k), RejectReason::reason_name(static_cast<RejectReason::Kind>(k)));
  }
  return texts(std::move(names));
}

Array rejected_batch(const OutcomeRecords& r, bool numeric, std::size_t first, std::int64_t n) {
  const auto* records = r.rejected.data() + first;
  IdColumn id(numeric, n);
  arrow::FixedColumn<std::int8_t> reason(n);
  arrow::TextColumn detail(n);
  arrow::OptionalColumn<float> fused(n);
  arrow::FixedColumn<std::uint64_t> row(n);
  for (std::int64_t i = 0; i < n; ++i) {
    const Rejected<PyCandidate>& rec = *records[i];
    id.set(i, rec.candidate.id);
    reason.set(i, static_cast<std::int8_t>(rec.reason.kind));
    if (rec.reason.kind <= RejectReason::Kind::SetConstraint) {
      detail.set(i, rec.reason.payload);
    } else {
      detail.set_null(i);
    }
    fused.set(i, rec.fused);
    row.set(i, rec.candidate.row);
  }
  std::vector<Array> c;
  c.push_back(std::move(id).finish());
  c.push_back(std::move(reason).finish());
  c.back().dictionary = std::make_unique<Array>(reason_names());
  c.push_back(texts(std::move(detail)));
  c.push_back(std::move(fused).finish());
  c.push_back(std::move(row).finish());
  return arrow::struct_array(n, std::move(c));
}

// Which part of an outcome: true for the ranked, false for the rejected.
std::optional<bool> part_of(const char* part) {
  if (std::strcmp(part, "ranked") == 0) return true;
  if (std::strcmp(part, "rejected") == 0) return false;
  PyErr_SetString(PyExc_ValueError, kMsgPart);
  return std::nullopt;
}

// A capsule's destructor: releases the structure unless a consumer moved
// it out, then frees it.
template <class S>
void free_capsule(PyObject* capsule, const char* name) {
  auto* s = static_cast<S*>(PyCapsule_GetPointer(capsule, name));
  if (!s) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  if (s->release) s->release(s);
  delete s;
}
void free_schema_capsule(PyObject* capsule) { free_capsule<ArrowSchema>(capsule, "arrow_schema"); }
void free_stream_capsule(PyObject* capsule) { free_capsule<ArrowArrayStream>(capsule, "arrow_array_stream"); }

// A capsule holding the structure `fill` makes; nullptr with the error raised.
template <class S, class Fill>
PyObject* capsule(const char* name, PyCapsule_Destructor destructor, Fill&& fill) {
  auto s = std::make_unique<S>();
  fill(s.get());
  PyObject* c = PyCapsule_New(s.get(), name, destructor);
  if (!c) {
    s->release(s.get());
    return nullptr;
  }
  s.release();
  return c;
}

// The rows of a part, batch_rows to a batch; the ids numbers when every
// id of the outcome is one.
struct Part {
  Field schema;
  std::vector<Array> batches;
};

Part part_columns(const OutcomeRecords& r, bool ranked, std::size_t batch_rows, bool with_rows) {
  bool numeric = all_numbers(r.ranked);
  // The kept rejections' ids are looked at here unless their own rows
  // are built, which look at them as they are written.
  if (ranked || !with_rows) numeric = numeric && all_numbers(r.rejected);
  auto build = [&](bool numeric) {
    Part p{ranked ? ranked_schema(r, numeric) : rejected_schema(r, numeric), {}};
    const std::size_t rows = !with_rows ? 0 : ranked ? r.ranked.size() : r.rejected.size();
    for (std::size_t first = 0; first < rows; first += batch_rows) {
      const auto n = static_cast<std::int64_t>(std::min(batch_rows, rows - first));
      p.batches.push_back(ranked ? ranked_batch(r, numeric, first, n) : rejected_batch(r, numeric, first, n));
    }
    return p;
  };
  // Built again with texts should a kept rejection's id not be a number.
  try {
    return build(numeric);
  } catch (const TextId&) {
    return build(false);
  }
}

// Calls make(records, ranked) for the part named `part` of `outcome`;
// nullptr with the error raised.
template <class Make>
PyObject* with_part(PyObject* outcome, const char* part, Make&& make) {
  const std::optional<bool> ranked = part_of(part);
  if (!ranked) return nullptr;
  try {
    OutcomeRecords r;
    if (!outcome_records(outcome, r)) return nullptr;
    return make(r, *ranked);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const TooLong&) {
    PyErr_SetString(PyExc_OverflowError, kMsgTooLong);
    return nullptr;
  }
}

}  // namespace

PyObject* arrow_schema(PyObject*, PyObject* args) {
  PyObject* outcome = nullptr;
  const char* part = nullptr;
  if (!PyArg_ParseTuple(args, "Os:_arrow_schema", &outcome, &part)) return nullptr;
  return with_part(outcome, part, [](const OutcomeRecords& r, bool ranked) {
    return capsule<ArrowSchema>("arrow_schema", free_schema_capsule, [&](ArrowSchema* out) {
      arrow::export_schema(part_columns(r, ranked, 1, false).schema, out);
    });
  });
}

PyObject* arrow_stream(PyObject*, PyObject* args) {
  PyObject* outcome = nullptr;
  const char* part = nullptr;
  Py_ssize_t batch_rows = 0;
  if (!PyArg_ParseTuple(args, "Osn:_arrow_stream", &outcome, &part, &batch_rows)) return nullptr;
  if (batch_rows < 1) {
    PyErr_SetString(PyExc_ValueError, "batch_rows < 1");
    return nullptr;
  }
  return with_part(outcome, part, [&](const OutcomeRecords& r, bool ranked) {
    return capsule<ArrowArrayStream>("arrow_array_stream", free_stream_capsule, [&](ArrowArrayStream* out) {
      Part p = part_columns(r, ranked, static_cast<std::size_t>(batch_rows), true);
      arrow::export_stream(std::move(p.schema), std::move(p.batches), out);
    });
  });
}

PyObject* arrow_live(PyObject*, PyObject*) { return PyLong_FromLongLong(arrow::live_exports()); }

}  // namespace vantorel::python
