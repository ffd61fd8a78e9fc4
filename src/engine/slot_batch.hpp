#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>


namespace vantorel {

// A batch of a stream's rows whose own scores come as columns, so that stage
// 1 can read, score and screen a row against the pool before its candidate
// is made. Per axis (registration order) `values` holds the row's own score
// at that axis's slot and `present` a 1 where there is one (null: every
// row has one); a null column means no row has a value there. `numbers`
// holds the rows' identifiers where each is a number that lies at hand;
// otherwise the source gives row i's, `id(i)`, for the few rows the pool
// looks at. A row marked in `aside` (when given) is not read from the columns:
// the source makes its candidate (or skips it) as a stream of candidates
// would. The arrays may lie in the source's own memory: they stay valid
// until the next batch is asked for.
struct SlotBatch {
  std::size_t rows = 0;
  std::vector<const float*> values;
  std::vector<const std::uint8_t*> present;
  const std::uint64_t* numbers = nullptr;
  const std::uint8_t* aside = nullptr;
};

}  // namespace vantorel
