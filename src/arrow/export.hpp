#pragma once
// Producing Arrow memory through the Arrow C data and C stream interfaces.
//
// Columns are built into owned buffers, then moved into the interface's
// structures. Every exported structure owns what it points to; its release
// callback frees that exactly once, releases the children and dictionary
// a consumer has not moved out, and marks the structure released. Release
// callbacks touch nothing but the structure, so a consumer may call them
// from any thread. Nothing here needs Python.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/arrow.hpp"

namespace vantorel::arrow {

// A buffer of bytes, 64-byte aligned as the format recommends. A
// default-made buffer exports as a null pointer.
class Buffer {
 public:
  Buffer() = default;
  // `bytes` bytes, left uninitialised unless `zeroed`.
  explicit Buffer(std::size_t bytes, bool zeroed = false);
  template <class T>
  T* as() const {
    return reinterpret_cast<T*>(data_.get());
  }
  const void* data() const { return data_.get(); }

 private:
  struct Free {
    void operator()(std::byte* p) const { ::operator delete(p, std::align_val_t{64}); }
  };
  std::unique_ptr<std::byte, Free> data_;
};

// A field of a schema: its format string, name and nullability, its
// children, and for a dictionary-encoded field (whose format is the index
// format) the field of the dictionary's values.
struct Field {
  std::string format;
  std::string name;
  bool nullable = false;
  std::vector<Field> children;
  std::shared_ptr<const Field> dictionary;
};

// An array's contents, in the layout its field's format prescribes.
struct Array {
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  std::vector<Buffer> buffers;
  std::vector<Array> children;
  std::unique_ptr<Array> dictionary;
};

// Fill `*out` (which must not hold a structure) and hand over ownership to
// whoever releases it. They throw std::bad_alloc only, leaving `*out`
// untouched (and what `array` held freed).
void export_schema(const Field& field, ArrowSchema* out);
void export_array(Array&& array, ArrowArray* out);
// A stream of the record batches `batches` (struct arrays of `schema`).
void export_stream(Field schema, std::vector<Array> batches, ArrowArrayStream* out);

// How many exported structures (of any kind, children included) are not
// yet released.
std::int64_t live_exports();

// ------------------------------------------------------------ column builders

// The field of a struct array (a record batch) with these columns.
Field struct_field(std::vector<Field> columns);
// A record batch of `length` rows from its columns.
Array struct_array(std::int64_t length, std::vector<Array> columns);

// Column writers: made for n rows, given each row's value in row order,
// then turned into their Array.

// A column of a fixed-width type T.
template <class T>
class FixedColumn {
 public:
  explicit FixedColumn(std::int64_t n) : n_(n), values_(static_cast<std::size_t>(n) * sizeof(T)) {}
  void set(std::int64_t i, T v) { values_.as<T>()[i] = v; }
  Array finish() && {
    Array a;
    a.length = n_;
    a.buffers.emplace_back();
    a.buffers.push_back(std::move(values_));
    return a;
  }

 private:
  std::int64_t n_;
  Buffer values_;
};

// The validity bitmap of a column; dropped when no row is null.
class Validity {
 public:
  explicit Validity(std::int64_t n) : bits_(static_cast<std::size_t>((n + 7) / 8), true) {}
  void set(std::int64_t i, bool valid) {
    if (valid) {
      bits_.as<std::uint8_t>()[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
    } else {
      ++nulls_;
    }
  }
  // Sets the null count and puts the bitmap first among the buffers.
  void finish(Array& a) && {
    a.null_count = nulls_;
    a.buffers.insert(a.buffers.begin(), nulls_ ? std::move(bits_) : Buffer{});
  }

 private:
  Buffer bits_;
  std::int64_t nulls_ = 0;
};

// A nullable column of a fixed-width type T (a null's slot holds T{}).
template <class T>
class OptionalColumn {
 public:
  explicit OptionalColumn(std::int64_t n) : n_(n), values_(static_cast<std::size_t>(n) * sizeof(T)), valid_(n) {}
  void set(std::int64_t i, const std::optional<T>& v) {
    values_.as<T>()[i] = v ? *v : T{};
    valid_.set(i, v.has_value());
  }
  Array finish() && {
    Array a;
    a.length = n_;
    a.buffers.push_back(std::move(values_));
    std::move(valid_).finish(a);
    return a;
  }

 private:
  std::int64_t n_;
  Buffer values_;
  Validity valid_;
};

// A nullable utf8 column (int32 offsets).
class TextColumn {
 public:
  explicit TextColumn(std::int64_t n)
      : n_(n), offsets_(static_cast<std::size_t>(n + 1) * sizeof(std::int32_t)), valid_(n) {
    offsets_.as<std::int32_t>()[0] = 0;
  }
  void set(std::int64_t i, std::string_view s) {
    data_.append(s);
    offsets_.as<std::int32_t>()[i + 1] = static_cast<std::int32_t>(data_.size());
    valid_.set(i, true);
  }
  void set_null(std::int64_t i) {
    offsets_.as<std::int32_t>()[i + 1] = static_cast<std::int32_t>(data_.size());
    valid_.set(i, false);
  }
  // Empty when the texts exceed the 2 GiB a utf8 column can hold.
  std::optional<Array> finish() && {
    if (data_.size() > 0x7FFFFFFF) return std::nullopt;
    Array a;
    a.length = n_;
    Buffer data(data_.size());
    std::memcpy(data.as<char>(), data_.data(), data_.size());
    a.buffers.push_back(std::move(offsets_));
    a.buffers.push_back(std::move(data));
    std::move(valid_).finish(a);
    return a;
  }

 private:
  std::int64_t n_;
  Buffer offsets_;
  Validity valid_;
  std::string data_;
};

// A list column (int32 offsets) whose items are an array built alongside:
// row i holds the next `count` items.
class ListColumn {
 public:
  explicit ListColumn(std::int64_t n) : n_(n), offsets_(static_cast<std::size_t>(n + 1) * sizeof(std::int32_t)) {
    offsets_.as<std::int32_t>()[0] = 0;
  }
  void set(std::int64_t i, std::size_t count) {
    std::int32_t* o = offsets_.as<std::int32_t>();
    o[i + 1] = o[i] + static_cast<std::int32_t>(count);
  }
  Array finish(Array items) && {
    Array a;
    a.length = n_;
    a.buffers.emplace_back();
    a.buffers.push_back(std::move(offsets_));
    a.children.push_back(std::move(items));
    return a;
  }

 private:
  std::int64_t n_;
  Buffer offsets_;
};

}  // namespace vantorel::arrow
