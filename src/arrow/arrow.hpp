#pragma once
// Reading Arrow memory through the Arrow C data and C stream interfaces.
//
// A producer is untrusted: `parse_schema` and `View::make` check every
// structure (formats, child and buffer counts, lengths, offsets, null counts,
// dictionary indices, view entries) before anything is read, so that the
// accessors of a made View stay within the buffers the producer described.
// Every structure taken from a producer is released exactly once, by the
// holder that owns it. Nothing here needs Python.
#include <cstdint>
#include <cstring>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

extern "C" {
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};
#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};
#endif  // ARROW_C_STREAM_INTERFACE
}

namespace vantorel::arrow {

// Owning holders of one producer structure each: the structure is moved in
// (the source's `release` set to null, as the interface prescribes for a
// move) and released exactly once, on destruction or `reset`. A holder whose
// `release` is null holds nothing.
template <class T>
class Holder {
 public:
  Holder() = default;
  // Takes over `*raw`, leaving it released (its `release` null).
  explicit Holder(T* raw) noexcept { take(raw); }
  Holder(Holder&& o) noexcept { take(&o.raw_); }
  Holder& operator=(Holder&& o) noexcept {
    if (this != &o) {
      reset();
      take(&o.raw_);
    }
    return *this;
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  ~Holder() { reset(); }
  void reset() noexcept {
    if (raw_.release) raw_.release(&raw_);
    raw_ = T{};
  }
  bool empty() const { return raw_.release == nullptr; }
  const T& get() const { return raw_; }
  T* out() { reset(); return &raw_; }  // for a producer to fill

 protected:
  T raw_{};

 private:
  void take(T* from) noexcept {
    if (!from) return;
    raw_ = *from;
    from->release = nullptr;
  }
};

using SchemaHolder = Holder<ArrowSchema>;
using ArrayHolder = Holder<ArrowArray>;

// A stream of record batches. `schema` and `next` call the producer; their
// failures carry the producer's own message when it gives one.
class StreamHolder : public Holder<ArrowArrayStream> {
 public:
  using Holder::Holder;

  std::expected<SchemaHolder, std::string> schema();
  // The next batch, or an empty holder at the end of the stream.
  std::expected<ArrayHolder, std::string> next();

 private:
  std::string last_error(int code);
};

enum class Kind : std::uint8_t {
  Null, Bool,
  Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64,
  Float32, Float64,
  Utf8, LargeUtf8, Utf8View,
  Binary, LargeBinary, BinaryView, FixedBinary,
  Struct, List, LargeList, FixedList,
  Unsupported,  // any other format; parsed so that it can be named
};

inline bool is_signed_int(Kind k) {
  return k == Kind::Int8 || k == Kind::Int16 || k == Kind::Int32 || k == Kind::Int64;
}
inline bool is_unsigned_int(Kind k) {
  return k == Kind::UInt8 || k == Kind::UInt16 || k == Kind::UInt32 || k == Kind::UInt64;
}
// Utf8, LargeUtf8, Utf8View
inline bool is_text(Kind k) { return k == Kind::Utf8 || k == Kind::LargeUtf8 || k == Kind::Utf8View; }
// Binary, LargeBinary, BinaryView, FixedBinary
inline bool is_binary(Kind k) {
  return k == Kind::Binary || k == Kind::LargeBinary || k == Kind::BinaryView || k == Kind::FixedBinary;
}
// List, LargeList, FixedList
inline bool is_list(Kind k) { return k == Kind::List || k == Kind::LargeList || k == Kind::FixedList; }

// One node of a parsed schema.
struct Type {
  Kind kind = Kind::Unsupported;
  std::string format;             // the producer's format text, for messages
  std::string name;               // the field name ("" when none)
  std::int64_t fixed_size = 0;    // bytes of FixedBinary, items of FixedList
  std::vector<Type> children;     // Struct fields in order, or the one item type of a list kind
  // Set when the values are dictionary-encoded: `kind` is then the integer
  // kind of the indices and this is the type of the dictionary's values.
  std::shared_ptr<const Type> dictionary;

  // The type of the values this node stands for: the dictionary's value type
  // when dictionary-encoded, else this node.
  const Type& value_type() const { return dictionary ? *dictionary : *this; }
  // The first Unsupported node in this node or below (itself included), or null.
  const Type* first_unsupported() const;
};

// Parses a schema. Fails, with a message, on structural faults: a null
// schema, format or child pointer, a negative child count, a list kind
// without exactly one child, a struct whose field count disagrees with its
// children, a non-positive or malformed fixed size, a dictionary whose index
// format is not an integer one, nesting deeper than 64 levels, a released
// schema (null `release`) at the top. An unknown or unsupported format is no
// fault: it parses as Kind::Unsupported (children not examined).
std::expected<Type, std::string> parse_schema(const ArrowSchema& schema);

// A checked, read-only view of rows [0, length()) of an array of a given
// type. Row i of the view is the array's own row first + i, stored at
// physical index array.offset + first + i; the top-level view of a batch has
// first = 0 and the batch's length. A View borrows the array and its type:
// both must outlive it.
class View {
 public:
  // Checks `array` against `type` (recursively, children and dictionary
  // included, each array over its own rows [0, array.length)) and makes the
  // view of all its rows. Fails with a message naming what is wrong:
  //   - type Unsupported anywhere; a released array (null `release`) at the top;
  //   - negative length, offset or null count (other than -1 for unknown),
  //     offset + length overflowing, the bytes of values, offsets or views
  //     (items for FixedList) up to offset + length overflowing int64;
  //   - buffer count or child count not those of the kind (Null: 0 buffers;
  //     Bool, numbers, FixedBinary, List, LargeList: 2; Utf8/Binary kinds: 3;
  //     view kinds: at least 3, the last holding the int64 sizes of the
  //     variadic data buffers in between; Struct, FixedList: 1), null
  //     `buffers`/`children` pointers where counts are positive, a null child;
  //   - a data, offsets or views buffer missing while the array has rows
  //     (offsets are read even for 0 rows when the buffer is present; a
  //     missing offsets buffer with 0 rows is accepted; a missing data
  //     buffer of Utf8/Binary kinds too when every offset is 0);
  //   - a positive null count without a validity bitmap; a known null count
  //     that differs from the zero bits of the bitmap over the array's rows
  //     (Null kind: no bitmap, any null count);
  //   - offsets that decrease, a first offset below 0, a last offset beyond
  //     the item child's length (lists);
  //   - a struct field or fixed-size list item child shorter than the rows
  //     that the parent reaches (offset + length, times the size for FixedList);
  //   - a valid row's view entry with negative length, or, for out-of-line entries
  //     (length > 12), a buffer index outside the variadic buffers or a
  //     range beyond that buffer's size;
  //   - a dictionary-encoded array without a dictionary, or a valid row whose
  //     index is negative or not below the dictionary's length.
  static std::expected<View, std::string> make(const Type& type, const ArrowArray& array);

  const Type& type() const { return *type_; }
  Kind kind() const { return kind_; }  // the index kind when dictionary-encoded
  std::int64_t length() const { return length_; }

  // Whether row i (0 <= i < length()) is null. A Null-kind view is null at
  // every row; a view without a validity bitmap at none.
  bool is_null(std::int64_t i) const;
  // False when no row can be null (no validity bitmap, not the Null kind).
  bool has_nulls() const { return validity_ != nullptr || all_null_; }

  // Values of row i, for a valid row of the matching kind.
  bool bool_at(std::int64_t i) const;           // Bool
  std::int64_t int_at(std::int64_t i) const;    // signed integer kinds, widened
  std::uint64_t uint_at(std::int64_t i) const;  // unsigned integer kinds, widened
  // The element of row i of a number kind stored as T (its width), for loops
  // that have looked at the kind once.
  template <class T>
  T element_at(std::int64_t i) const noexcept { return load<T>(i); }
  float float32_at(std::int64_t i) const;       // Float32
  // The elements from row i on as an array of T (the view's width) in the
  // producer's memory, for a view not dictionary-encoded; null where that
  // memory is not aligned for T.
  template <class T>
  const T* elements(std::int64_t i) const noexcept;
  // 1 for each of rows [i, i + n) that holds a value, 0 for a null, into out.
  void valid_bytes(std::int64_t i, std::size_t n, std::uint8_t* out) const noexcept;
  double float64_at(std::int64_t i) const;      // Float64
  std::string_view bytes_at(std::int64_t i) const;  // text and binary kinds

  // Struct: field k (0 <= k < fields()), a view with the same rows as this one.
  std::size_t fields() const { return children_.size(); }
  const View& field(std::size_t k) const { return children_[k]; }

  // List kinds: row i's items are rows [first, second) of `items()`.
  std::pair<std::int64_t, std::int64_t> range_at(std::int64_t i) const;
  const View& items() const { return children_.front(); }

  // Dictionary-encoded: row i's value is row index_at(i) of `dictionary()`
  // (index_at is within it for every valid row).
  bool dictionary_encoded() const { return dictionary_ != nullptr; }
  std::int64_t index_at(std::int64_t i) const;
  const View& dictionary() const { return *dictionary_; }

 private:
  View() = default;
  static std::expected<View, std::string> make_at(const Type& type, const ArrowArray& array,
                                                  std::int64_t first, std::int64_t length);
  template <class T>
  T load(std::int64_t i) const noexcept;  // the element of row i of `values_`
  static bool bit(const void* bitmap, std::int64_t p) noexcept {
    return (static_cast<const std::uint8_t*>(bitmap)[p >> 3] >> (p & 7)) & 1;
  }

  const Type* type_ = nullptr;
  Kind kind_ = Kind::Null;
  bool all_null_ = false;                    // a Null-kind view
  const void* validity_ = nullptr;           // null when no row is null
  const void* values_ = nullptr;             // values, offsets or views
  const char* data_ = nullptr;               // the bytes of Utf8, Binary and FixedBinary kinds
  const void* const* variadic_ = nullptr;    // the data buffers of view kinds
  std::int64_t base_ = 0;                    // physical index of row 0: array offset + first
  std::int64_t length_ = 0;
  std::int64_t size_ = 0;                    // bytes of FixedBinary, items of FixedList
  std::vector<View> children_;
  std::shared_ptr<const View> dictionary_;
};

// The accessors, inline: they run once per row.

template <class T>
inline T View::load(std::int64_t i) const noexcept {
  T v;  // producers need not align their buffers
  std::memcpy(&v, static_cast<const char*>(values_) + (base_ + i) * std::int64_t{sizeof(T)}, sizeof v);
  return v;
}

template <class T>
inline const T* View::elements(std::int64_t i) const noexcept {
  const char* p = static_cast<const char*>(values_) + (base_ + i) * std::int64_t{sizeof(T)};
  return reinterpret_cast<std::uintptr_t>(p) % alignof(T) ? nullptr : reinterpret_cast<const T*>(p);
}

inline bool View::is_null(std::int64_t i) const {
  return validity_ ? !bit(validity_, base_ + i) : all_null_;
}

inline bool View::bool_at(std::int64_t i) const { return bit(values_, base_ + i); }

inline std::int64_t View::int_at(std::int64_t i) const {
  switch (kind_) {
    case Kind::Int8: return load<std::int8_t>(i);
    case Kind::Int16: return load<std::int16_t>(i);
    case Kind::Int32: return load<std::int32_t>(i);
    default: return load<std::int64_t>(i);
  }
}

inline std::uint64_t View::uint_at(std::int64_t i) const {
  switch (kind_) {
    case Kind::UInt8: return load<std::uint8_t>(i);
    case Kind::UInt16: return load<std::uint16_t>(i);
    case Kind::UInt32: return load<std::uint32_t>(i);
    default: return load<std::uint64_t>(i);
  }
}

inline float View::float32_at(std::int64_t i) const { return load<float>(i); }
inline double View::float64_at(std::int64_t i) const { return load<double>(i); }

inline std::string_view View::bytes_at(std::int64_t i) const {
  switch (kind_) {
    case Kind::Utf8:
    case Kind::Binary: {
      const std::int32_t a = load<std::int32_t>(i), b = load<std::int32_t>(i + 1);
      return {data_ + a, static_cast<std::size_t>(b - a)};
    }
    case Kind::LargeUtf8:
    case Kind::LargeBinary: {
      const std::int64_t a = load<std::int64_t>(i), b = load<std::int64_t>(i + 1);
      return {data_ + a, static_cast<std::size_t>(b - a)};
    }
    case Kind::FixedBinary:
      return {data_ + (base_ + i) * size_, static_cast<std::size_t>(size_)};
    default: {  // view kinds: 16-byte entries
      const char* e = static_cast<const char*>(values_) + (base_ + i) * 16;
      std::int32_t n, buffer, offset;
      std::memcpy(&n, e, 4);
      if (n <= 12) return {e + 4, static_cast<std::size_t>(n)};
      std::memcpy(&buffer, e + 8, 4);
      std::memcpy(&offset, e + 12, 4);
      return {static_cast<const char*>(variadic_[buffer]) + offset, static_cast<std::size_t>(n)};
    }
  }
}

inline std::pair<std::int64_t, std::int64_t> View::range_at(std::int64_t i) const {
  switch (kind_) {
    case Kind::List: return {load<std::int32_t>(i), load<std::int32_t>(i + 1)};
    case Kind::LargeList: return {load<std::int64_t>(i), load<std::int64_t>(i + 1)};
    default: return {(base_ + i) * size_, (base_ + i + 1) * size_};
  }
}

inline std::int64_t View::index_at(std::int64_t i) const {
  return is_signed_int(kind_) ? int_at(i) : static_cast<std::int64_t>(uint_at(i));
}

// Whether every valid value of a text view is well-formed UTF-8, looking
// through dictionaries, list items and struct fields; the view's row of the
// first bad value otherwise (for a value inside a list or field, the row of
// the view that holds it).
std::optional<std::int64_t> first_bad_utf8(const View& v);

}  // namespace vantorel::arrow
