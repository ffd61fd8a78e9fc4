#pragma once
// Arrow data (tables, record batch readers, data frames: any object with
// `__arrow_c_stream__` or `__arrow_c_array__`) as a stream of candidates.
// The rows mean exactly what the list of their row dicts would mean: each row
// is read as the dict reader reads that row's dict. The fields stage 1 needs
// are read straight from the columns; the row dict itself is made only for a
// row that needs one (one entering the pool, a kept rejection), and a row the
// columns cannot answer for at once is read through its dict.
#include <memory>

#include "python/py.hpp"
#include "python/reader.hpp"

namespace vantorel::python {

// When `data` exports Arrow data (or is a column mapping made by
// `vantorel.columns`), opens its rows as the stream `out` and returns 1;
// returns 0 when it exports none, -1 with the error raised when the export or
// its schema is refused.
int open_arrow(PyObject* data, const ReaderConfig& config, std::unique_ptr<CandidateStream>& out);

}  // namespace vantorel::python
