// Reading Arrow memory: schema parsing, views over hand-built arrays of every
// kind, hostile structures refused before any read, the holders' releases and
// the text check.
#include <gtest/gtest.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>

#include "arrow/arrow.hpp"

namespace vantorel::arrow {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

template <class T>
void count_release(T* x) {
  ++*static_cast<int*>(x->private_data);
  x->release = nullptr;
}

// Arrow structures built by hand. Every allocation is kept to the end, each
// buffer of its exact size so that the address sanitizer catches a read past it.
struct Build {
  std::deque<std::shared_ptr<void>> kept;
  int released = 0;  // release calls of the structures made here

  template <class T>
  T* keep(std::vector<T> v) {
    auto p = std::make_shared<std::vector<T>>(std::move(v));
    kept.push_back(p);
    return p->data();
  }
  const void* raw(std::string_view s) { return keep(std::vector<char>(s.begin(), s.end())); }
  template <class T>
  const void* buf(std::initializer_list<T> v) { return keep(std::vector<T>(v)); }
  const void* bits(std::string_view b) {  // one character per bit, '1' set, bit 0 first
    std::vector<char> s((b.size() + 7) / 8);
    for (std::size_t i = 0; i < b.size(); ++i) s[i / 8] = char(s[i / 8] | (b[i] == '1') << (i % 8));
    return keep(std::move(s));
  }
  ArrowSchema* schema(const char* format, std::vector<ArrowSchema*> children = {}, const char* name = "",
                      ArrowSchema* dictionary = nullptr) {
    const auto n = std::int64_t(children.size());
    return keep(std::vector{ArrowSchema{format, name, nullptr, 0, n, keep(std::move(children)), dictionary,
                                        count_release<ArrowSchema>, &released}});
  }
  ArrowArray* array(std::int64_t length, std::vector<const void*> buffers, std::vector<ArrowArray*> children = {},
                    std::int64_t null_count = 0, std::int64_t offset = 0, ArrowArray* dictionary = nullptr) {
    const auto nb = std::int64_t(buffers.size()), nc = std::int64_t(children.size());
    return keep(std::vector{ArrowArray{length, null_count, offset, nb, nc, keep(std::move(buffers)),
                                       keep(std::move(children)), dictionary, count_release<ArrowArray>, &released}});
  }
};

// A 16-byte view entry: inline up to 12 bytes, else prefix, buffer, offset.
std::string entry(std::string_view s, std::int32_t buffer = 0, std::int32_t offset = 0) {
  std::string e(16, '\0');
  const auto n = std::int32_t(s.size());
  std::memcpy(e.data(), &n, 4);
  s.copy(e.data() + 4, n <= 12 ? s.size() : 4);
  if (n > 12) std::memcpy(e.data() + 8, &buffer, 4), std::memcpy(e.data() + 12, &offset, 4);
  return e;
}

template <class T>
std::string number(T x) {
  char b[32];
  return {b, std::to_chars(b, b + sizeof b, x).ptr};
}

// Row i as to_pylist shows it.
std::string show(const View& v, std::int64_t i) {
  if (v.is_null(i)) return "None";
  if (v.dictionary_encoded()) return show(v.dictionary(), v.index_at(i));
  const Kind k = v.kind();
  if (k == Kind::Bool) return v.bool_at(i) ? "True" : "False";
  if (is_signed_int(k)) return number(v.int_at(i));
  if (is_unsigned_int(k)) return number(v.uint_at(i));
  if (k == Kind::Float32) return number(v.float32_at(i));
  if (k == Kind::Float64) return number(v.float64_at(i));
  if (is_text(k) || is_binary(k)) return "'" + std::string(v.bytes_at(i)) + "'";
  std::string s;
  if (k == Kind::Struct) {
    for (std::size_t f = 0; f < v.fields(); ++f)
      s += (f ? ", " : "") + v.field(f).type().name + ": " + show(v.field(f), i);
    return "{" + s + "}";
  }
  const auto [a, b] = v.range_at(i);
  for (std::int64_t j = a; j < b; ++j) s += (j > a ? ", " : "") + show(v.items(), j);
  return "[" + s + "]";
}

std::string show(const View& v) {
  std::string s;
  for (std::int64_t i = 0; i < v.length(); ++i) s += (i ? ", " : "") + show(v, i);
  return "[" + s + "]";
}

// The supported formats are parsed in the reading test below.
TEST(ArrowSchema, UnsupportedFormatsAndFaults) {
  Build b;
  for (const char* format : {"e", "d:10,2", "tsu:UTC", "tdD", "+m", "+ud:0,1", "+r", "+vl", "", "x"}) {
    const auto t = parse_schema(*b.schema(format, {b.schema(nullptr)}));  // the child is not examined
    ASSERT_TRUE(t) << format << ": " << t.error();
    EXPECT_EQ(t->kind, Kind::Unsupported) << format;
    EXPECT_EQ(t->first_unsupported(), &*t);
  }
  const auto t = parse_schema(*b.schema(
      "+s", {b.schema("c", {}, "a", b.schema("f")), b.schema("+l", {b.schema("c", {}, "", b.schema("tss:"))}, "b")}));
  ASSERT_TRUE(t) << t.error();
  EXPECT_EQ(t->children[0].first_unsupported(), nullptr);
  EXPECT_EQ(t->first_unsupported(), t->children[1].children[0].dictionary.get());

  ArrowSchema* deep = b.schema("i");
  for (int i = 0; i < 64; ++i) deep = b.schema("+l", {deep});
  ArrowSchema* released = b.schema("i");
  released->release = nullptr;
  ArrowSchema* negative = b.schema("+s");
  negative->n_children = -1;
  ArrowSchema* no_children = b.schema("+s");
  no_children->n_children = 1;
  const std::pair<ArrowSchema*, const char*> faults[] = {
      {b.schema(nullptr), "without a format"}, {b.schema("w:0"), "malformed size"},
      {b.schema("w:-1"), "malformed size"}, {b.schema("w:"), "malformed size"}, {b.schema("w:3x"), "malformed size"},
      {b.schema("+w:99999999999999999999", {b.schema("i")}), "malformed size"},
      {b.schema("+l"), "with 0 children, expected 1"}, {b.schema("+l", {b.schema("i"), b.schema("i")}), "expected 1"},
      {b.schema("+s", {nullptr}), "null child 0"}, {negative, "negative child count"},
      {no_children, "without its children"}, {b.schema("u", {}, "", b.schema("u")), "not an integer one"},
      {b.schema("+s", {b.schema("+l", {b.schema("w:x")}, "a")}), "field 'a': items: malformed size"},
      {deep, "deeper than 64"}, {released, "released"}};
  for (const auto& [schema, message] : faults) {
    const auto f = parse_schema(*schema);
    ASSERT_FALSE(f) << message;
    EXPECT_NE(f.error().find(message), std::string::npos) << f.error();
  }
  EXPECT_TRUE(parse_schema(*deep->children[0]));  // 64 levels
}

TEST(ArrowView, ReadsEveryKind) {
  Build b;
  const auto i32 = [&](std::initializer_list<std::int32_t> v) { return b.buf(v); };
  const std::string views = entry("short") + entry("a longer value", 1, 2) + entry("") + entry("0123456789abcdef");
  const std::tuple<ArrowSchema*, ArrowArray*, const char*> cases[] = {
      {b.schema("n"), b.array(3, {}, {}, 3), "[None, None, None]"},
      {b.schema("b"), b.array(4, {b.bits("11101"), b.bits("10110")}, {}, 1, 1), "[False, True, None, False]"},
      {b.schema("c"), b.array(3, {nullptr, b.buf<std::int8_t>({-128, 5, 127})}), "[-128, 5, 127]"},
      {b.schema("C"), b.array(2, {nullptr, b.buf<std::uint8_t>({255, 0})}), "[255, 0]"},
      {b.schema("s"), b.array(2, {nullptr, b.buf<std::int16_t>({-32768, 7})}), "[-32768, 7]"},
      {b.schema("S"), b.array(1, {nullptr, b.buf<std::uint16_t>({65535})}), "[65535]"},
      {b.schema("i"), b.array(3, {b.bits("1101"), i32({9, -1, 2, 3})}, {}, 1, 1), "[-1, None, 3]"},
      {b.schema("I"), b.array(1, {nullptr, b.buf<std::uint32_t>({4294967295u})}), "[4294967295]"},
      {b.schema("l"), b.array(2, {nullptr, b.buf<std::int64_t>({INT64_MIN, kMax})}),
       "[-9223372036854775808, 9223372036854775807]"},
      {b.schema("L"), b.array(1, {nullptr, b.buf<std::uint64_t>({UINT64_MAX})}), "[18446744073709551615]"},
      {b.schema("f"), b.array(3, {nullptr, b.buf<float>({1.5f, -0.0f, INFINITY})}), "[1.5, -0, inf]"},
      {b.schema("g"), b.array(2, {b.bits("0110"), b.buf<double>({0, 0.1, NAN, 2})}, {}, -1, 2), "[nan, None]"},
      // Offsets of strings and binaries, sliced, with nulls; no buffers at all for no rows.
      {b.schema("u"), b.array(3, {b.bits("1101"), i32({0, 1, 3, 3, 6}), b.raw("abcdef")}, {}, 1, 1),
       "['bc', None, 'def']"},
      {b.schema("U"), b.array(2, {nullptr, b.buf<std::int64_t>({0, 3, 6}), b.raw("héllo")}), "['hé', 'llo']"},
      {b.schema("u"), b.array(0, {nullptr, nullptr, nullptr}), "[]"},
      {b.schema("z"), b.array(2, {nullptr, i32({0, 0, 0}), nullptr}), "['', '']"},
      {b.schema("Z"), b.array(1, {nullptr, b.buf<std::int64_t>({1, 3}), b.raw("xyz")}), "['yz']"},
      {b.schema("w:2"), b.array(2, {b.bits("011"), b.raw("aabbcc")}, {}, 0, 1), "['bb', 'cc']"},
      // Views: inline and out-of-line entries over two data buffers, sliced.
      {b.schema("vu"), b.array(3, {b.bits("1101"), b.raw(views), b.raw("0123456789abcdef"), b.raw("xxa longer value"),
                                   b.buf<std::int64_t>({16, 16})}, {}, 1, 1),
       "['a longer value', None, '0123456789abcdef']"},
      {b.schema("vz"), b.array(2, {nullptr, b.raw(entry("") + entry("twelve bytes")), b.buf<std::int64_t>({})}),
       "['', 'twelve bytes']"},
      // A sliced struct whose fields are read through its offset, over their own offsets.
      {b.schema("+s", {b.schema("i", {}, "a"), b.schema("u", {}, "b")}),
       b.array(2, {b.bits("101")},
               {b.array(3, {nullptr, i32({0, 1, 2, 3})}, {}, 0, 1),
                b.array(4, {b.bits("1011"), i32({0, 1, 2, 3, 4}), b.raw("pqrs")}, {}, 1)}, 1, 1),
       "[None, {a: 3, b: 'r'}]"},
      // Lists, sliced, with a null row and a null item; items sliced on their own.
      {b.schema("+l", {b.schema("c")}),
       b.array(3, {b.bits("1101"), i32({0, 1, 3, 3, 4})},
               {b.array(4, {b.bits("01101"), b.buf<std::int8_t>({0, 1, 2, 3, 4})}, {}, 1, 1)}, 1, 1),
       "[[2, None], None, [4]]"},
      {b.schema("+L", {b.schema("i")}),
       b.array(2, {nullptr, b.buf<std::int64_t>({0, 0, 2})}, {b.array(2, {nullptr, i32({5, 6})})}), "[[], [5, 6]]"},
      {b.schema("+w:2", {b.schema("b")}),
       b.array(2, {b.bits("101")}, {b.array(6, {b.bits("111101"), b.bits("000011")}, {}, 1)}, 1, 1),
       "[None, [None, True]]"},
      // Dictionaries: a sliced value array, a null index, indices of an unsigned kind.
      {b.schema("c", {}, "", b.schema("u")),
       b.array(3, {b.bits("1101"), b.buf<std::int8_t>({9, 1, 0, 0})}, {}, 1, 1,
               b.array(2, {nullptr, i32({0, 1, 2, 3}), b.raw("xyz")}, {}, 0, 1)),
       "['z', None, 'y']"},
      {b.schema("L", {}, "", b.schema("+l", {b.schema("n")})),
       b.array(2, {nullptr, b.buf<std::uint64_t>({1, 0})}, {},
               0, 0, b.array(2, {nullptr, i32({0, 0, 1})}, {b.array(1, {}, {}, 1)})),
       "[[None], []]"},
  };
  for (const auto& [schema, array, rows] : cases) {
    const auto t = parse_schema(*schema);
    ASSERT_TRUE(t) << t.error();
    const auto v = View::make(*t, *array);
    ASSERT_TRUE(v) << schema->format << ": " << v.error();
    EXPECT_EQ(show(*v), rows) << schema->format;
  }
}

// Rows read in bulk: values where they lie (when aligned), validity as bytes.
TEST(ArrowView, ElementsInPlaceAndValidityAsBytes) {
  Build b;
  const auto t = parse_schema(*b.schema("f"));
  ASSERT_TRUE(t);
  const std::string valid = "0110111010011101011";  // 19 rows: past whole bitmap bytes
  std::vector<float> floats(21, 1.0f);
  const float* data = b.keep(floats);
  const auto v = View::make(*t, *b.array(18, {b.bits(valid), data}, {}, -1, 1));
  ASSERT_TRUE(v) << v.error();
  EXPECT_EQ(v->elements<float>(2), data + 3);
  for (std::int64_t i = 0; i < 18; ++i) {
    for (std::size_t n = 0; i + std::int64_t(n) <= 18; ++n) {
      std::vector<std::uint8_t> bytes(n, 9);
      v->valid_bytes(i, n, bytes.data());
      for (std::size_t k = 0; k < n; ++k) ASSERT_EQ(bytes[k], v->is_null(i + std::int64_t(k)) ? 0 : 1) << i << "+" << k;
    }
  }
  // Without a bitmap every row holds a value; a null-kind view none.
  const auto plain = View::make(*t, *b.array(3, {nullptr, data}));
  const auto nulls = View::make(*parse_schema(*b.schema("n")), *b.array(3, {}, {}, 3));
  std::uint8_t bytes[3];
  plain->valid_bytes(0, 3, bytes);
  EXPECT_EQ(std::string(bytes, bytes + 3), std::string(3, 1));
  nulls->valid_bytes(0, 3, bytes);
  EXPECT_EQ(std::string(bytes, bytes + 3), std::string(3, 0));
  // A producer's buffer need not be aligned: such values are not handed out.
  const char* bytes_of = static_cast<const char*>(b.raw(std::string(17, '\0')));
  const char* odd = reinterpret_cast<std::uintptr_t>(bytes_of) % 4 ? bytes_of : bytes_of + 1;
  EXPECT_EQ(View::make(*t, *b.array(2, {nullptr, odd}))->elements<float>(0), nullptr);
}

TEST(ArrowView, HostileStructuresRefused) {
  Build b;
  const auto i32 = [&](std::initializer_list<std::int32_t> v) { return b.buf(v); };
  const auto ints = [&] { return b.array(2, {nullptr, i32({1, 2})}); };  // valid, changed by `set`
  const auto set = [](ArrowArray* a, auto f) { return f(*a), a; };
  const auto view = [&](std::string e, std::int64_t size) {  // one out-of-line entry over a buffer of `size`
    return b.array(1, {nullptr, b.raw(e), b.raw(std::string(std::size_t(size), 'x')), b.buf<std::int64_t>({size})});
  };
  const auto list = [&](const char* items) { return b.schema("+l", {b.schema(items)}); };
  const auto dict = [&](ArrowArray* indices, ArrowArray* values) {
    return set(indices, [&](auto& a) { a.dictionary = values; });
  };
  const auto bools = [&] { return b.array(2, {nullptr, b.bits("01")}); };
  const std::tuple<ArrowSchema*, ArrowArray*, const char*> cases[] = {
      {b.schema("i"), set(ints(), [](auto& a) { a.release = nullptr; }), "released"},
      {b.schema("i"), set(ints(), [](auto& a) { a.length = -1; }), "negative length -1"},
      {b.schema("i"), set(ints(), [](auto& a) { a.offset = -1; }), "negative offset -1"},
      {b.schema("i"), set(ints(), [](auto& a) { a.null_count = -2; }), "negative null count -2"},
      {b.schema("i"), set(ints(), [](auto& a) { a.offset = 1, a.length = kMax; }), "overflows"},
      {b.schema("i"), set(ints(), [](auto& a) { a.length = kMax; }), "overflow"},
      {b.schema("u"), b.array(kMax, {nullptr, i32({0}), nullptr}), "overflow"},
      {b.schema("+w:4611686018427387904", {b.schema("i")}), b.array(4, {nullptr}, {b.array(0, {nullptr, nullptr})}),
       "overflow"},
      {b.schema("i"), set(ints(), [](auto& a) { a.n_buffers = 3; }), "3 buffers for format 'i', expected 2"},
      {b.schema("n"), b.array(1, {nullptr, nullptr}, {}, 1), "2 buffers for format 'n', expected 0"},
      {b.schema("vu"), b.array(0, {nullptr, nullptr}), "expected at least 3"},
      {b.schema("i"), b.array(2, {nullptr, i32({1, 2})}, {ints()}), "1 children for format 'i', expected 0"},
      {b.schema("i"), set(ints(), [](auto& a) { a.buffers = nullptr; }), "null buffers pointer"},
      {list("i"), b.array(0, {nullptr, nullptr}, {nullptr}), "null child 0"},
      {list("i"), set(b.array(0, {nullptr, nullptr}, {ints()}), [](auto& a) { a.children = nullptr; }),
       "null children pointer"},
      {b.schema("i"), set(ints(), [](auto& a) { a.buffers[1] = nullptr; }), "missing data buffer"},
      {b.schema("u"), b.array(1, {nullptr, nullptr, b.raw("a")}), "missing offsets buffer"},
      {b.schema("u"), b.array(1, {nullptr, i32({0, 1}), nullptr}), "missing data buffer"},
      {b.schema("vz"), b.array(1, {nullptr, nullptr, nullptr}), "missing views buffer"},
      {b.schema("i"), set(ints(), [](auto& a) { a.null_count = 1; }), "null count 1 without a validity bitmap"},
      {b.schema("i"), b.array(2, {b.bits("10"), i32({1, 2})}), "null count 0 differs from the 1 nulls"},
      {b.schema("u"), b.array(2, {nullptr, i32({0, 2, 1}), b.raw("ab")}), "offsets decrease at row 1"},
      {b.schema("U"), b.array(1, {nullptr, b.buf<std::int64_t>({-1, 0}), b.raw("")}), "first offset -1 is negative"},
      {list("i"), b.array(1, {nullptr, i32({0, 3})}, {ints()}), "last offset 3 is beyond the 2 items"},
      // The one offset of no rows is read.
      {list("i"), b.array(0, {nullptr, i32({0, 0, 9})}, {ints()}, 0, 2), "last offset 9 is beyond the 2 items"},
      {b.schema("+s", {b.schema("i", {}, "a")}), b.array(2, {nullptr}, {ints()}, 0, 1),
       "field 'a' has 2 rows, fewer than the 3 its struct reaches"},
      {b.schema("+w:2", {b.schema("i")}), b.array(1, {nullptr}, {ints()}, 0, 1), "items have 2 rows, fewer than the 4"},
      {b.schema("+s", {b.schema("i", {}, "a"), b.schema("+l", {b.schema("tss:")}, "b")}),
       b.array(2, {nullptr}, {ints(), b.array(2, {nullptr, nullptr}, {ints()})}),
       "field 'b': items: unsupported format 'tss:'"},
      {b.schema("+s", {b.schema("i", {}, "a")}),
       b.array(2, {nullptr}, {set(ints(), [](auto& a) { a.null_count = 1; })}),
       "field 'a': null count 1 without"},
      {b.schema("vu"), view(entry("").replace(0, 4, "\xff\xff\xff\xff"), 0), "negative length -1"},
      {b.schema("vu"), view(entry("0123456789abc", 1, 0), 13), "refers to buffer 1 of 1"},
      {b.schema("vu"), view(entry("0123456789abc", 0, 1), 13),
       "(offset 1, length 13) is beyond the 13 bytes of buffer 0"},
      {b.schema("vu"), view(entry("0123456789abc", 0, -1), 20), "(offset -1, length 13)"},
      {b.schema("vu"), b.array(1, {nullptr, b.raw(entry("0123456789abc")), b.raw("0123456789abc"), nullptr}),
       "missing buffer sizes"},
      {b.schema("c", {}, "", b.schema("b")), dict(b.array(1, {nullptr, b.buf<std::int8_t>({2})}), bools()),
       "index 2 of row 0 is outside the 2 values"},
      {b.schema("c", {}, "", b.schema("b")), dict(b.array(1, {nullptr, b.buf<std::int8_t>({-1})}), bools()),
       "index -1 of row 0"},
      {b.schema("L", {}, "", b.schema("b")), dict(b.array(1, {nullptr, b.buf<std::uint64_t>({UINT64_MAX})}), bools()),
       "index 18446744073709551615 of row 0"},
      {b.schema("c", {}, "", b.schema("b")), b.array(0, {nullptr, nullptr}), "without a dictionary"},
      {b.schema("c", {}, "", b.schema("b")), dict(b.array(0, {nullptr, nullptr}), b.array(1, {nullptr, nullptr})),
       "dictionary: missing data buffer"},
  };
  for (const auto& [schema, array, message] : cases) {
    const auto t = parse_schema(*schema);
    ASSERT_TRUE(t) << t.error();
    const auto v = View::make(*t, *array);
    ASSERT_FALSE(v) << message;
    EXPECT_NE(v.error().find(message), std::string::npos) << v.error();
  }
  // A null row's view entry and dictionary index are not read.
  const auto views = parse_schema(*b.schema("vu"));
  EXPECT_TRUE(View::make(*views, *b.array(1, {b.bits("0"), b.raw(entry("0123456789abc", 7)), nullptr}, {}, 1)));
  const auto indices = parse_schema(*b.schema("c", {}, "", b.schema("b")));
  EXPECT_TRUE(View::make(*indices, *dict(b.array(1, {b.bits("0"), b.buf<std::int8_t>({7})}, {}, 1), bools())));
}

// A stream of two empty batches. With `fail` 1 its get_schema fails, with 2
// its get_next, with EIO and the text `error`.
struct FakeStream {
  Build b;
  int fail = 0, batches = 0, released = 0;
  const char* error = nullptr;

  static FakeStream& of(ArrowArrayStream* s) { return *static_cast<FakeStream*>(s->private_data); }
  ArrowArrayStream stream() {
    return {[](ArrowArrayStream* s, ArrowSchema* out) {
              return of(s).fail == 1 ? EIO : (*out = *of(s).b.schema("+s"), 0);
            },
            [](ArrowArrayStream* s, ArrowArray* out) {
              if (of(s).fail == 2) return EIO;
              if (of(s).batches++ < 2) *out = *of(s).b.array(0, {nullptr});
              else out->release = nullptr;  // the end
              return 0;
            },
            [](ArrowArrayStream* s) { return of(s).error; },
            [](ArrowArrayStream* s) { ++of(s).released, s->release = nullptr; }, this};
  }
};

TEST(ArrowHolders, EachStructureReleasedOnce) {
  FakeStream f;
  {
    ArrowArrayStream raw = f.stream();
    StreamHolder taken(&raw);
    EXPECT_EQ(raw.release, nullptr);
    StreamHolder s = std::move(taken);
    EXPECT_TRUE(taken.empty());
    auto schema = s.schema();
    ASSERT_TRUE(schema && !schema->empty());
    const SchemaHolder kept_schema = std::move(*schema);
    auto first = s.next(), second = s.next(), end = s.next();
    ASSERT_TRUE(first && second && end && !first->empty() && !second->empty() && end->empty());
    ArrayHolder kept = std::move(*first);
    kept = std::move(*second);  // releases the first batch
    EXPECT_EQ(f.b.released, 1);
    kept.reset();
    kept.reset();
    EXPECT_EQ(f.b.released, 2);
  }
  EXPECT_EQ(f.b.released, 3);
  EXPECT_EQ(f.released, 1);

  const std::tuple<int, const char*, const char*> errors[] = {
      {1, "no schema", "the Arrow stream failed with code 5: no schema"},
      {2, "disk gone", "the Arrow stream failed with code 5: disk gone"},
      {2, nullptr, "the Arrow stream failed with code 5"}};
  for (const auto& [fail, text, message] : errors) {
    FakeStream g;
    g.fail = fail, g.error = text;
    ArrowArrayStream raw = g.stream();
    StreamHolder s(&raw);
    const auto error = [](const auto& r) { return r ? std::string() : r.error(); };
    EXPECT_EQ(fail == 1 ? error(s.schema()) : error(s.next()), message);
  }
}

// A utf8 array of the given values, with the given validity if any.
ArrowArray* utf8(Build& b, std::initializer_list<std::string_view> values, const char* valid = nullptr) {
  std::vector<std::int32_t> offsets{0};
  std::string data;
  for (auto v : values) offsets.push_back(std::int32_t((data += v).size()));
  const auto nulls = valid ? std::count(valid, valid + values.size(), '0') : 0;
  const std::string_view bytes{reinterpret_cast<const char*>(offsets.data()), offsets.size() * 4};
  return b.array(std::int64_t(values.size()), {valid ? b.bits(valid) : nullptr, b.raw(bytes), b.raw(data)}, {}, nulls);
}

TEST(ArrowText, FirstBadUtf8) {
  const std::pair<std::string_view, bool> values[] = {
      {"", true}, {"plain ascii, longer than eight", true}, {"h\xc3\xa9llo", true}, {"\xe6\x97\xa5\xe6\x9c\xac", true},
      {"\xf0\x9f\x98\x80", true}, {"\xed\x9f\xbf\xee\x80\x80", true}, {"\xf4\x8f\xbf\xbf", true},
      {"\x80", false}, {"\xc0\x80", false}, {"\xc1\xbf", false}, {"\xe0\x9f\xbf", false},
      {"\xed\xa0\x80", false}, {"\xed\xbf\xbf", false}, {"\xf0\x8f\xbf\xbf", false}, {"\xf4\x90\x80\x80", false},
      {"\xf5\x80\x80\x80", false}, {"\xff", false}, {"\xc3\x28", false}, {"\xe6\x97", false},
      {"\xf0\x9f\x98", false}, {"abcdefgh\xc3", false}, {"abcdefghijk\x80lmnop", false}};
  for (const auto& [value, good] : values) {
    Build b;
    const auto t = parse_schema(*b.schema("u"));
    const auto v = View::make(*t, *utf8(b, {"ok", value}));
    EXPECT_EQ(first_bad_utf8(*v), good ? std::nullopt : std::optional<std::int64_t>(1)) << value;
  }

  // Through null rows, list items, struct fields and dictionaries.
  Build b;
  const auto i32 = [&](std::initializer_list<std::int32_t> v) { return b.buf(v); };
  ArrowSchema* dict = b.schema("c", {}, "", b.schema("u"));
  const std::tuple<ArrowSchema*, ArrowArray*, std::optional<std::int64_t>> cases[] = {
      {b.schema("u"), utf8(b, {"ok", "\xff", "\xc3"}, "101"), 2},
      {b.schema("z"), utf8(b, {"\xff"}), std::nullopt},
      {b.schema("+l", {b.schema("u")}), b.array(2, {nullptr, i32({0, 1, 3})}, {utf8(b, {"a", "b", "\xff"})}), 1},
      {b.schema("+s", {b.schema("u", {}, "a")}), b.array(2, {b.bits("01")}, {utf8(b, {"\xff", "ok"})}, 1),
       std::nullopt},  // under a null row
      // A bad dictionary value counts only where a row refers to it.
      {dict, b.array(3, {nullptr, b.buf<std::int8_t>({0, 0, 1})}, {}, 0, 0, utf8(b, {"a", "\xff"})), 2},
      {dict, b.array(2, {nullptr, b.buf<std::int8_t>({0, 0})}, {}, 0, 0, utf8(b, {"a", "\xff"})), std::nullopt}};
  for (const auto& [schema, array, bad] : cases) {
    const auto t = parse_schema(*schema);
    const auto v = View::make(*t, *array);
    ASSERT_TRUE(v) << v.error();
    EXPECT_EQ(first_bad_utf8(*v), bad) << schema->format;
  }
}

}  // namespace
}  // namespace vantorel::arrow
