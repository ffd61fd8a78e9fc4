#include "arrow/arrow.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstring>

namespace vantorel::arrow {

std::string StreamHolder::last_error(int code) {
  const char* text = raw_.get_last_error ? raw_.get_last_error(&raw_) : nullptr;
  std::string m = "the Arrow stream failed with code " + std::to_string(code);
  if (text) m.append(": ").append(text);
  return m;
}

std::expected<SchemaHolder, std::string> StreamHolder::schema() {
  if (empty() || !raw_.get_schema) return std::unexpected("the Arrow stream is released");
  SchemaHolder s;
  if (const int code = raw_.get_schema(&raw_, s.out())) return std::unexpected(last_error(code));
  if (s.empty()) return std::unexpected("the Arrow stream gave a released schema");
  return s;
}

std::expected<ArrayHolder, std::string> StreamHolder::next() {
  if (empty() || !raw_.get_next) return std::unexpected("the Arrow stream is released");
  ArrayHolder a;
  if (const int code = raw_.get_next(&raw_, a.out())) return std::unexpected(last_error(code));
  return a;  // empty at the end of the stream
}

// --- schemas -------------------------------------------------------------

namespace {

constexpr int kMaxDepth = 64;

std::unexpected<std::string> fail(std::string m) { return std::unexpected(std::move(m)); }

std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

// The kind of a format, with the size of "w:N" and "+w:N"; Unsupported for
// any other format, nullopt for a malformed size.
std::optional<Kind> kind_of(std::string_view f, std::int64_t& size) {
  static constexpr std::pair<std::string_view, Kind> kPlain[] = {
      {"n", Kind::Null},       {"b", Kind::Bool},       {"c", Kind::Int8},        {"C", Kind::UInt8},
      {"s", Kind::Int16},      {"S", Kind::UInt16},     {"i", Kind::Int32},       {"I", Kind::UInt32},
      {"l", Kind::Int64},      {"L", Kind::UInt64},     {"f", Kind::Float32},     {"g", Kind::Float64},
      {"u", Kind::Utf8},       {"U", Kind::LargeUtf8},  {"vu", Kind::Utf8View},   {"z", Kind::Binary},
      {"Z", Kind::LargeBinary}, {"vz", Kind::BinaryView}, {"+s", Kind::Struct},   {"+l", Kind::List},
      {"+L", Kind::LargeList}};
  for (const auto& [text, kind] : kPlain)
    if (f == text) return kind;
  Kind kind;
  if (f.starts_with("w:")) {
    kind = Kind::FixedBinary;
    f.remove_prefix(2);
  } else if (f.starts_with("+w:")) {
    kind = Kind::FixedList;
    f.remove_prefix(3);
  } else {
    return Kind::Unsupported;
  }
  const auto [end, ec] = std::from_chars(f.data(), f.data() + f.size(), size);
  if (ec != std::errc() || end != f.data() + f.size() || size <= 0) return std::nullopt;
  return kind;
}

std::expected<Type, std::string> parse(const ArrowSchema& s, int depth) {
  if (depth > kMaxDepth) return fail("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
  if (!s.format) return fail("a schema without a format");
  Type t;
  t.format = s.format;
  t.name = s.name ? s.name : "";
  const auto kind = kind_of(t.format, t.fixed_size);
  if (!kind) return fail("malformed size in format " + quoted(t.format));
  t.kind = *kind;
  if (s.dictionary) {
    if (!is_signed_int(t.kind) && !is_unsigned_int(t.kind))
      return fail("dictionary index format " + quoted(t.format) + " is not an integer one");
    auto values = parse(*s.dictionary, depth + 1);
    if (!values) return fail("dictionary: " + values.error());
    t.dictionary = std::make_shared<const Type>(std::move(*values));
    return t;
  }
  if (t.kind == Kind::Unsupported) return t;
  if (s.n_children < 0) return fail("negative child count " + std::to_string(s.n_children));
  if (s.n_children > 0 && !s.children) return fail("format " + quoted(t.format) + " without its children");
  if (is_list(t.kind) && s.n_children != 1)
    return fail("list format " + quoted(t.format) + " with " + std::to_string(s.n_children) +
                " children, expected 1");
  if (t.kind != Kind::Struct && !is_list(t.kind)) return t;
  for (std::int64_t c = 0; c < s.n_children; ++c) {
    if (!s.children[c]) return fail("null child " + std::to_string(c));
    auto child = parse(*s.children[c], depth + 1);
    if (!child) {
      const char* name = s.children[c]->name;
      return fail((t.kind == Kind::Struct ? "field " + quoted(name ? name : "") : "items") + ": " + child.error());
    }
    t.children.push_back(std::move(*child));
  }
  return t;
}

}  // namespace

const Type* Type::first_unsupported() const {
  if (kind == Kind::Unsupported) return this;
  if (dictionary)
    if (const Type* t = dictionary->first_unsupported()) return t;
  for (const Type& c : children)
    if (const Type* t = c.first_unsupported()) return t;
  return nullptr;
}

std::expected<Type, std::string> parse_schema(const ArrowSchema& schema) {
  if (!schema.release) return fail("the schema is released");
  return parse(schema, 1);
}

// --- views ---------------------------------------------------------------

namespace {

// The number of set bits among bits [p, end) of a bitmap.
std::int64_t count_ones(const void* bitmap, std::int64_t p, std::int64_t end) {
  const auto* b = static_cast<const std::uint8_t*>(bitmap);
  std::int64_t ones = 0;
  for (; p < end && (p & 7); ++p) ones += (b[p >> 3] >> (p & 7)) & 1;
  for (; end - p >= 64; p += 64) {
    std::uint64_t w;
    std::memcpy(&w, b + (p >> 3), 8);
    ones += std::popcount(w);
  }
  for (; end - p >= 8; p += 8) ones += std::popcount(b[p >> 3]);
  for (; p < end; ++p) ones += (b[p >> 3] >> (p & 7)) & 1;
  return ones;
}

// Checks the offsets at physical indices [offset, end] (non-decreasing, the
// first not negative, the last at most `limit`) and gives the last one.
template <class O>
std::expected<std::int64_t, std::string> check_offsets(const void* buffer, std::int64_t offset, std::int64_t end,
                                                      std::int64_t limit, const char* what) {
  const char* b = static_cast<const char*>(buffer);
  O prev;
  std::memcpy(&prev, b + offset * std::int64_t{sizeof(O)}, sizeof prev);
  if (prev < 0) return fail("first offset " + std::to_string(prev) + " is negative");
  for (std::int64_t p = offset + 1; p <= end; ++p) {
    O o;
    std::memcpy(&o, b + p * std::int64_t{sizeof(O)}, sizeof o);
    if (o < prev) return fail("offsets decrease at row " + std::to_string(p - offset - 1));
    prev = o;
  }
  if (prev > limit)
    return fail("last offset " + std::to_string(prev) + " is beyond the " + std::to_string(limit) + " " + what);
  return std::int64_t{prev};
}

// Buffers of an array of kind k (at least that many for the view kinds).
std::int64_t buffer_count(Kind k) {
  switch (k) {
    case Kind::Null: return 0;
    case Kind::Struct:
    case Kind::FixedList: return 1;
    case Kind::Utf8: case Kind::LargeUtf8: case Kind::Utf8View:
    case Kind::Binary: case Kind::LargeBinary: case Kind::BinaryView: return 3;
    default: return 2;
  }
}

// Bytes of one element in the values buffer (offsets, views), 0 for none.
std::int64_t element_bytes(const Type& t) {
  switch (t.kind) {
    case Kind::Int8: case Kind::UInt8: return 1;
    case Kind::Int16: case Kind::UInt16: return 2;
    case Kind::Int32: case Kind::UInt32: case Kind::Float32: case Kind::Utf8: case Kind::Binary:
    case Kind::List: return 4;
    case Kind::Int64: case Kind::UInt64: case Kind::Float64: case Kind::LargeUtf8: case Kind::LargeBinary:
    case Kind::LargeList: return 8;
    case Kind::Utf8View: case Kind::BinaryView: return 16;
    case Kind::FixedBinary: case Kind::FixedList: return t.fixed_size;
    default: return 0;
  }
}

bool has_offsets(Kind k) {
  return k == Kind::Utf8 || k == Kind::LargeUtf8 || k == Kind::Binary || k == Kind::LargeBinary ||
         k == Kind::List || k == Kind::LargeList;
}

constexpr char kNoBytes[1] = {};

// The first unsupported format at or below `t`, with the path to it.
std::optional<std::string> unsupported(const Type& t) {
  if (t.kind == Kind::Unsupported) return "unsupported format " + quoted(t.format);
  if (t.dictionary)
    if (auto m = unsupported(*t.dictionary)) return "dictionary: " + *m;
  for (const Type& c : t.children)
    if (auto m = unsupported(c)) return (t.kind == Kind::Struct ? "field " + quoted(c.name) : "items") + ": " + *m;
  return std::nullopt;
}

}  // namespace

std::expected<View, std::string> View::make(const Type& type, const ArrowArray& array) {
  if (auto m = unsupported(type)) return fail(std::move(*m));
  if (!array.release) return fail("the array is released");
  return make_at(type, array, 0, array.length);
}

std::expected<View, std::string> View::make_at(const Type& type, const ArrowArray& a, std::int64_t first,
                                               std::int64_t length) {
  const Kind k = type.kind;
  const auto n = [](std::int64_t x) { return std::to_string(x); };
  if (a.length < 0) return fail("negative length " + n(a.length));
  if (a.offset < 0) return fail("negative offset " + n(a.offset));
  if (a.null_count < -1) return fail("negative null count " + n(a.null_count));
  std::int64_t end;  // the physical index past the last row
  if (__builtin_add_overflow(a.offset, a.length, &end))
    return fail("offset " + n(a.offset) + " + length " + n(a.length) + " overflows");

  // Buffer and child counts, and the pointers to them.
  const bool views = k == Kind::Utf8View || k == Kind::BinaryView;
  const std::int64_t buffers = buffer_count(k);
  // A null array has no buffers; some producers still pass one (never read).
  const bool null_bitmap = k == Kind::Null && a.n_buffers == 1;
  if (views ? a.n_buffers < buffers : a.n_buffers != buffers && !null_bitmap)
    return fail(n(a.n_buffers) + " buffers for format " + quoted(type.format) + ", expected " +
                (views ? "at least " : "") + n(buffers));
  const std::int64_t children = static_cast<std::int64_t>(type.children.size());
  if (a.n_children != children)
    return fail(n(a.n_children) + " children for format " + quoted(type.format) + ", expected " + n(children));
  if (a.n_buffers > 0 && !a.buffers) return fail("null buffers pointer");
  if (a.n_children > 0 && !a.children) return fail("null children pointer");
  for (std::int64_t c = 0; c < children; ++c)
    if (!a.children[c]) return fail("null child " + n(c));
  if (type.dictionary && !a.dictionary) return fail("dictionary-encoded array without a dictionary");

  // The elements the rows reach must have a size that fits: bytes of the
  // values, offsets or views, items of a fixed-size list.
  const std::int64_t width = element_bytes(type);
  std::int64_t extent = 0;
  if (width && (__builtin_add_overflow(end, has_offsets(k) ? 1 : 0, &extent) ||
                __builtin_mul_overflow(extent, width, &extent)))
    return fail(n(a.length) + " rows of format " + quoted(type.format) + " at offset " + n(a.offset) +
                " overflow");

  View v;
  v.type_ = &type;
  v.kind_ = k;
  v.all_null_ = k == Kind::Null;
  v.base_ = a.offset;  // own rows while checking
  v.length_ = a.length;
  v.size_ = type.fixed_size;

  // Validity.
  if (k != Kind::Null) {
    v.validity_ = a.buffers[0];
    if (a.null_count > 0 && !v.validity_) return fail("null count " + n(a.null_count) + " without a validity bitmap");
    if (v.validity_ && a.null_count >= 0) {
      const std::int64_t zeros = a.length - count_ones(v.validity_, a.offset, end);
      if (zeros != a.null_count)
        return fail("null count " + n(a.null_count) + " differs from the " + n(zeros) +
                    " nulls of the validity bitmap");
      if (zeros == 0) v.validity_ = nullptr;
    }
  }

  // The values, offsets or views buffer, and the data of the byte kinds.
  if (k != Kind::Null && k != Kind::Struct && k != Kind::FixedList) {
    v.values_ = a.buffers[1];
    const bool offsets = has_offsets(k);
    if (!v.values_ && a.length > 0)
      return fail(std::string("missing ") + (offsets ? "offsets" : views ? "views" : "data") + " buffer");
    if (k == Kind::FixedBinary) v.data_ = a.length > 0 ? static_cast<const char*>(a.buffers[1]) : kNoBytes;
  }

  // Children: struct fields share the rows; list items are the child's own rows.
  for (std::int64_t c = 0; c < children; ++c) {
    const ArrowArray& child = *a.children[c];
    const bool field = k == Kind::Struct;
    auto cv = field ? make_at(type.children[c], child, a.offset + first, length)
                    : make_at(type.children[c], child, 0, child.length);
    const auto where = [&] { return field ? "field " + quoted(type.children[c].name) : std::string("items"); };
    if (!cv) return fail(where() + ": " + cv.error());
    if (field && child.length < end)
      return fail(where() + " has " + n(child.length) + " rows, fewer than the " + n(end) + " its struct reaches");
    if (k == Kind::FixedList && child.length < extent)
      return fail("items have " + n(child.length) + " rows, fewer than the " + n(extent) +
                  " the fixed-size list reaches");
    v.children_.push_back(std::move(*cv));
  }

  // Offsets.
  if (has_offsets(k) && v.values_) {
    const bool list = is_list(k);
    const std::int64_t limit = list ? a.children[0]->length : INT64_MAX;
    const char* what = list ? "items" : "bytes";
    const bool large = k == Kind::LargeUtf8 || k == Kind::LargeBinary || k == Kind::LargeList;
    auto last = large ? check_offsets<std::int64_t>(v.values_, a.offset, end, limit, what)
                      : check_offsets<std::int32_t>(v.values_, a.offset, end, limit, what);
    if (!last) return fail(last.error());
    if (!list) {
      v.data_ = static_cast<const char*>(a.buffers[2]);
      if (!v.data_ && *last > 0) return fail("missing data buffer");
      if (!v.data_) v.data_ = kNoBytes;
    }
  }

  // View entries of valid rows.
  if (views) {
    const std::int64_t variadic = a.n_buffers - 3;
    const void* sizes = a.buffers[a.n_buffers - 1];
    if (variadic > 0 && !sizes) return fail("missing buffer sizes");
    v.variadic_ = a.buffers + 2;
    const char* entries = static_cast<const char*>(v.values_);
    for (std::int64_t r = 0; r < a.length; ++r) {
      if (v.is_null(r)) continue;
      const char* e = entries + (a.offset + r) * 16;
      std::int32_t len, buffer, offset;
      std::memcpy(&len, e, 4);
      if (len < 0) return fail("view of row " + n(r) + " has negative length " + n(len));
      if (len <= 12) continue;
      std::memcpy(&buffer, e + 8, 4);
      std::memcpy(&offset, e + 12, 4);
      if (buffer < 0 || buffer >= variadic)
        return fail("view of row " + n(r) + " refers to buffer " + n(buffer) + " of " + n(variadic));
      std::int64_t size;
      std::memcpy(&size, static_cast<const char*>(sizes) + std::int64_t{buffer} * 8, 8);
      if (offset < 0 || std::int64_t{offset} + len > size)
        return fail("view of row " + n(r) + " (offset " + n(offset) + ", length " + n(len) +
                    ") is beyond the " + n(size) + " bytes of buffer " + n(buffer));
      if (!v.variadic_[buffer]) return fail("missing data buffer " + n(buffer));
    }
  }

  // Dictionary indices of valid rows.
  if (type.dictionary) {
    const ArrowArray& d = *a.dictionary;
    auto dv = make_at(*type.dictionary, d, 0, d.length);
    if (!dv) return fail("dictionary: " + dv.error());
    for (std::int64_t r = 0; r < a.length; ++r) {
      if (v.is_null(r)) continue;
      const std::int64_t i = v.index_at(r);
      if (i < 0 || i >= d.length)
        return fail("index " + (is_signed_int(k) ? n(i) : std::to_string(v.uint_at(r))) + " of row " + n(r) +
                    " is outside the " + n(d.length) + " values of the dictionary");
    }
    v.dictionary_ = std::make_shared<const View>(std::move(*dv));
  }

  v.base_ = a.offset + first;
  v.length_ = length;
  return v;
}

// --- text ----------------------------------------------------------------

namespace {

bool is_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    if (end - p >= 8) {  // eight ASCII bytes at a time
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if (!(w & 0x8080808080808080u)) {
        p += 8;
        continue;
      }
    }
    const unsigned c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    // The length of the sequence, and the range of its second byte, which
    // excludes overlong forms, surrogates and code points above U+10FFFF.
    int len;
    unsigned lo = 0x80, hi = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
      len = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3;
      if (c == 0xe0) lo = 0xa0;
      if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4;
      if (c == 0xf0) lo = 0x90;
      if (c == 0xf4) hi = 0x8f;
    } else {
      return false;
    }
    if (end - p < len || p[1] < lo || p[1] > hi) return false;
    for (int j = 2; j < len; ++j)
      if ((p[j] & 0xc0) != 0x80) return false;
    p += len;
  }
  return true;
}

// Whether some valid text value at or below `v`, reachable from a valid row
// or not, is bad: a cheap test over whole columns before the exact search.
bool may_hold_bad(const View& v) {
  if (v.dictionary_encoded()) return may_hold_bad(v.dictionary());
  if (is_text(v.kind())) {
    for (std::int64_t i = 0; i < v.length(); ++i)
      if (!v.is_null(i) && !is_utf8(v.bytes_at(i))) return true;
    return false;
  }
  if (is_list(v.kind())) return may_hold_bad(v.items());
  if (v.kind() == Kind::Struct)
    for (std::size_t k = 0; k < v.fields(); ++k)
      if (may_hold_bad(v.field(k))) return true;
  return false;
}

// Whether valid row i of `v` holds bad text.
bool row_bad(const View& v, std::int64_t i) {
  if (v.dictionary_encoded()) {
    const std::int64_t j = v.index_at(i);
    return !v.dictionary().is_null(j) && row_bad(v.dictionary(), j);
  }
  if (is_text(v.kind())) return !is_utf8(v.bytes_at(i));
  if (v.kind() == Kind::Struct) {
    for (std::size_t k = 0; k < v.fields(); ++k)
      if (!v.field(k).is_null(i) && row_bad(v.field(k), i)) return true;
  } else if (is_list(v.kind())) {
    const auto [from, to] = v.range_at(i);
    for (std::int64_t j = from; j < to; ++j)
      if (!v.items().is_null(j) && row_bad(v.items(), j)) return true;
  }
  return false;
}

}  // namespace

void View::valid_bytes(std::int64_t i, std::size_t n, std::uint8_t* out) const noexcept {
  if (!validity_) {
    std::memset(out, all_null_ ? 0 : 1, n);
    return;
  }
  // Each bitmap byte spread to eight bytes of 0 or 1, lowest bit first.
  static constexpr auto kSpread = [] {
    std::array<std::array<std::uint8_t, 8>, 256> t{};
    for (std::size_t b = 0; b < 256; ++b)
      for (std::size_t j = 0; j < 8; ++j) t[b][j] = static_cast<std::uint8_t>((b >> j) & 1);
    return t;
  }();
  const auto* bitmap = static_cast<const std::uint8_t*>(validity_);
  std::int64_t p = base_ + i;
  std::size_t k = 0;
  for (; k < n && (p & 7); ++k, ++p) out[k] = bit(bitmap, p);
  for (; k + 8 <= n; k += 8, p += 8) {
    std::memcpy(out + k, kSpread[bitmap[p >> 3]].data(), 8);
  }
  for (; k < n; ++k, ++p) out[k] = bit(bitmap, p);
}

std::optional<std::int64_t> first_bad_utf8(const View& v) {
  if (!may_hold_bad(v)) return std::nullopt;
  for (std::int64_t i = 0; i < v.length(); ++i)
    if (!v.is_null(i) && row_bad(v, i)) return i;
  return std::nullopt;
}

}  // namespace vantorel::arrow
