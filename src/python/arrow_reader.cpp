// The rows of Arrow data as candidates. A schema is examined once: which
// columns hold what the configuration reads, whether the columns can answer
// for a row at once, the key objects of the row dicts. Each batch is checked
// whole before any row of it is read.
#include "python/arrow_reader.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "arrow/arrow.hpp"
#include "error/error.hpp"
#include "python/convert.hpp"

namespace vantorel::python {

namespace {

using arrow::Kind;
using arrow::Type;
using arrow::View;

constexpr const char* kMsgFormat = "' 의 Arrow 형식 '";
constexpr const char* kMsgFormatEnd = "' 은 읽을 수 없다. 그 열을 빼거나 읽을 수 있는 형식으로 바꿔야 한다";
constexpr const char* kMsgDuplicate = "' 에 같은 이름의 필드가 여럿 있다: '";
constexpr const char* kMsgNoColumn = "데이터에 열 '";
constexpr const char* kMsgNoColumnEnd = "' 이 없다";
constexpr const char* kMsgBadStream = "Arrow 데이터를 읽지 못했다: ";
constexpr const char* kMsgNotArrow = "columns() 의 데이터는 Arrow 데이터(__arrow_c_stream__ 나 __arrow_c_array__)여야 한다";
constexpr const char* kMsgNotTable = "columns() 의 데이터는 열이 있는 표여야 한다. 받은 Arrow 형식 '";
constexpr const char* kMsgCapsule = "Arrow 내보내기가 올바른 캡슐을 돌려주지 않았다: ";

bool is_int(Kind k) { return arrow::is_signed_int(k) || arrow::is_unsigned_int(k); }
// Kinds whose values the columns turn into numbers, texts or identifiers at once.
bool numeric(Kind k) { return k == Kind::Null || k == Kind::Bool || is_int(k) || k == Kind::Float32 || k == Kind::Float64; }
bool textual(Kind k) { return k == Kind::Null || k == Kind::Bool || is_int(k) || arrow::is_text(k); }

// The value of row i of v, looking through a dictionary: false when null.
inline bool cell(const View& v, std::int64_t i, const View*& at, std::int64_t& j) {
  if (v.is_null(i)) return false;
  if (v.dictionary_encoded()) {
    j = v.index_at(i);
    at = &v.dictionary();
    return !at->is_null(j);
  }
  at = &v;
  j = i;
  return true;
}

// A number cell as the host's float conversion of its Python value gives it
// (through a double, as a Python float or int would go).
inline float number_at(const View& v, std::int64_t j) {
  switch (v.kind()) {
    case Kind::Bool: return v.bool_at(j) ? 1.0f : 0.0f;
    case Kind::Float32: return static_cast<float>(static_cast<double>(v.float32_at(j)));
    case Kind::Float64: return static_cast<float>(v.float64_at(j));
    default:
      if (arrow::is_signed_int(v.kind())) return static_cast<float>(static_cast<double>(v.int_at(j)));
      return static_cast<float>(static_cast<double>(v.uint_at(j)));
  }
}

// Calls each(i, v, j) for the rows start + i (i < n) not set aside that
// hold a value, the value being row j of view v; one loop per kind, so that
// the common columns take no branch per row beyond their nulls.
template <class Each>
void each_value(const View& view, std::int64_t start, std::size_t n, const std::uint8_t* aside, Each&& each) {
  const View* at = nullptr;
  std::int64_t j = 0;
  if (view.dictionary_encoded()) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!aside[i] && cell(view, start + static_cast<std::int64_t>(i), at, j)) each(i, *at, j);
    }
    return;
  }
  if (!view.has_nulls()) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!aside[i]) each(i, view, start + static_cast<std::int64_t>(i));
    }
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t r = start + static_cast<std::int64_t>(i);
    if (!aside[i] && !view.is_null(r)) each(i, view, r);
  }
}

// The numbers of the rows start + i into values/present, as number_at reads them.
void fill_numbers(const View& view, std::int64_t start, std::size_t n, const std::uint8_t* aside, float* values,
                  std::uint8_t* present) {
  auto with = [&](auto number) {
    each_value(view, start, n, aside, [&](std::size_t i, const View& v, std::int64_t j) {
      values[i] = number(v, j);
      present[i] = 1;
    });
  };
  switch (view.type().value_type().kind) {
    case Kind::Float32: return with([](const View& v, std::int64_t j) { return static_cast<float>(static_cast<double>(v.float32_at(j))); });
    case Kind::Float64: return with([](const View& v, std::int64_t j) { return static_cast<float>(v.float64_at(j)); });
    default: return with([](const View& v, std::int64_t j) { return number_at(v, j); });
  }
}

// A text-like cell as `str` of its Python value gives it.
inline std::string text_at(const View& v, std::int64_t j) {
  if (v.kind() == Kind::Bool) return v.bool_at(j) ? "True" : "False";
  if (arrow::is_signed_int(v.kind())) return std::to_string(v.int_at(j));
  if (arrow::is_unsigned_int(v.kind())) return std::to_string(v.uint_at(j));
  return std::string(v.bytes_at(j));
}

// The key objects of the dicts made from a type: one per struct field, below
// list items and dictionaries as well.
struct Keys {
  Ref name;
  std::vector<Keys> children;
};

bool make_keys(const Type& type, Keys& out) {
  const Type& t = type.value_type();
  out.children.resize(t.children.size());
  for (std::size_t k = 0; k < t.children.size(); ++k) {
    const std::string& name = t.children[k].name;
    if (t.kind == Kind::Struct) {
      PyObject* key = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict");
      if (!key) return false;
      PyUnicode_InternInPlace(&key);
      out.children[k].name = Ref::steal(key);
    }
    if (!make_keys(t.children[k], out.children[k])) return false;
  }
  return true;
}

// The Python value of row i of v, as a row dict holds it.
Ref value_of(const View& v, const Keys& keys, std::int64_t i) {
  if (v.is_null(i)) return Ref::borrow(Py_None);
  if (v.dictionary_encoded()) return value_of(v.dictionary(), keys, v.index_at(i));
  const Kind k = v.kind();
  switch (k) {
    case Kind::Null: return Ref::borrow(Py_None);
    case Kind::Bool: return Ref::borrow(v.bool_at(i) ? Py_True : Py_False);
    case Kind::Float32: return Ref::steal(PyFloat_FromDouble(static_cast<double>(v.float32_at(i))));
    case Kind::Float64: return Ref::steal(PyFloat_FromDouble(v.float64_at(i)));
    case Kind::Struct: {
      Ref d = Ref::steal(PyDict_New());
      for (std::size_t f = 0; d && f < v.fields(); ++f) {
        Ref value = value_of(v.field(f), keys.children[f], i);
        if (!value || PyDict_SetItem(d.get(), keys.children[f].name.get(), value.get()) < 0) return {};
      }
      return d;
    }
    default: break;
  }
  if (arrow::is_signed_int(k)) return Ref::steal(PyLong_FromLongLong(v.int_at(i)));
  if (arrow::is_unsigned_int(k)) return Ref::steal(PyLong_FromUnsignedLongLong(v.uint_at(i)));
  if (arrow::is_text(k)) {
    std::string_view s = v.bytes_at(i);
    return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
  }
  if (arrow::is_binary(k)) {
    std::string_view s = v.bytes_at(i);
    return Ref::steal(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
  }
  // A list kind (the schema admits nothing else).
  const auto [first, last] = v.range_at(i);
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(last - first)));
  for (std::int64_t j = first; list && j < last; ++j) {
    Ref item = value_of(v.items(), keys.children.front(), j);
    if (!item) return {};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(j - first), item.release());
  }
  return list;
}

// Where a configuration's fields sit in a table: top-level column indices,
// and for a struct (or the flat columns of a mapping) the field of each axis
// or group key; -1 where there is none.
struct Layout {
  enum class Shape : std::uint8_t { Absent, Struct, List, Flat, Other };
  int id = -1;
  Shape scores = Shape::Absent;
  int scores_column = -1;
  std::vector<int> axis_fields;
  Shape groups = Shape::Absent;
  int groups_column = -1;
  std::vector<int> key_fields;
  int cost = -1;
  int cover = -1;
};

// A column mapping made by `vantorel.columns`: which columns play which part.
struct Mapping {
  Ref id;                                   // column name
  std::optional<std::vector<std::pair<Ref, Ref>>> scores, groups;  // (axis or key, column) pairs
  Ref cost, cover;                          // column names, empty when not mapped
};

// What every row dict of a stream is made from: the schema's type and the
// dicts' key objects.
struct RowShape {
  Type type;
  Keys keys;
};

// One batch, checked, with the shape of its rows: kept alive by the rows of
// it that a result holds, and released with the last of them.
struct HeldBatch final : HeldRows {
  HeldBatch(std::shared_ptr<const RowShape> s, arrow::ArrayHolder a) : shape(std::move(s)), array(std::move(a)) {}
  Ref make(std::int64_t row) const override { return value_of(*view, shape->keys, row); }

  std::shared_ptr<const RowShape> shape;
  arrow::ArrayHolder array;
  std::optional<View> view;
};

class ArrowReader final : public CandidateStream, public RowSource {
 public:
  ArrowReader(ItemConverter converter, const ReaderConfig& config)
      : converter_(std::move(converter)), read_groups_(!config.group_keys.empty()), read_cost_(config.read_cost),
        read_cover_(config.read_cover), axes_(config.axes.size()), keys_count_(config.group_keys.size()),
        shape_(std::make_shared<RowShape>()), type_(shape_->type), keys_(shape_->keys) {}

  // Takes the schema and, for a single batch, the batch; examines the
  // schema. False with the error raised.
  bool open(arrow::SchemaHolder schema, std::optional<arrow::StreamHolder> stream, arrow::ArrayHolder single,
            const ReaderConfig& config, std::optional<Mapping> mapping);

  std::optional<PyCandidate> next() override;
  bool batches() const override { return true; }
  bool next_batch(SlotBatch& batch) override;
  CandidateId id(std::size_t i) override { return id_at(chunk_ + static_cast<std::int64_t>(i)); }
  std::optional<PyCandidate> row(std::size_t i) override;
  void make_object(PyCandidate& c) override;
  std::shared_ptr<const HeldRows> hold() override { return held_; }

 private:
  bool examine(const ReaderConfig& config);
  int column(std::string_view name) const;
  int column(PyObject* name);
  bool pull();
  bool take_batch(arrow::ArrayHolder array);
  void start_batch();
  void end_with_error(const std::string& message);
  bool aside(std::int64_t i) const;
  CandidateId id_at(std::int64_t i) const;
  void read_native(std::int64_t i, PyCandidate& c) const;
  std::optional<PyCandidate> read_through_dict(std::int64_t i);
  std::optional<PyCandidate> native_candidate(std::int64_t i);
  Ref row_dict(std::int64_t i);
  Ref mapped_item(PyObject* row);

  ItemConverter converter_;
  bool read_groups_, read_cost_, read_cover_;
  std::size_t axes_, keys_count_;

  arrow::SchemaHolder schema_;
  std::shared_ptr<RowShape> shape_;
  Type& type_;
  Keys& keys_;
  std::optional<arrow::StreamHolder> stream_;
  std::shared_ptr<HeldBatch> held_;  // the current batch
  const View* view_ = nullptr;       // ... checked
  std::int64_t row_ = 0;           // next row of the batch
  std::uint64_t first_row_ = 0;    // stream index of the batch's row 0
  std::uint64_t batch_serial_ = 0;

  Layout layout_;
  std::optional<Mapping> mapping_;
  bool native_ = false;        // the columns can answer for rows
  bool batch_native_ = false;  // ... of this batch (its texts are sound)
  // Views of the current batch, null where absent.
  const View* id_ = nullptr;
  const View* scores_ = nullptr;
  std::vector<const View*> axis_views_;
  const View* groups_ = nullptr;
  std::vector<const View*> key_views_;
  const View* cost_ = nullptr;
  const View* cover_ = nullptr;
  // The slot columns of the current batch.
  std::vector<std::vector<float>> values_;
  std::vector<std::vector<std::uint8_t>> present_;
  std::vector<std::uint8_t> aside_;
  std::int64_t chunk_ = 0;  // the row of the batch the slot columns start at
};

int ArrowReader::column(std::string_view name) const {
  // Equal names: the last column is the one a row dict keeps.
  for (std::size_t k = type_.children.size(); k-- > 0;) {
    if (type_.children[k].name == name) return static_cast<int>(k);
  }
  return -1;
}

int ArrowReader::column(PyObject* name) {
  std::string text;
  if (!text_of(name, text)) return -2;
  int k = column(text);
  if (k < 0) raise_value(kMsgNoColumn + text + kMsgNoColumnEnd);
  return k < 0 ? -2 : k;
}

// The field of a struct type named `name`, -1 when none.
int field_named(const Type& t, std::string_view name) {
  for (std::size_t k = 0; k < t.children.size(); ++k) {
    if (t.children[k].name == name) return static_cast<int>(k);
  }
  return -1;
}

// Raises for what no row dict can be made of: an unsupported type (TypeError
// naming the column and the format) or a struct with two fields of one name.
bool check_column(const std::string& column, const Type& t) {
  if (const Type* bad = t.first_unsupported()) {
    PyErr_Format(PyExc_TypeError, "%s%s%s%s%s", "열 '", column.c_str(), kMsgFormat, bad->format.c_str(), kMsgFormatEnd);
    return false;
  }
  const Type& v = t.value_type();
  if (v.kind == Kind::Struct) {
    std::unordered_set<std::string_view> names;
    for (const Type& field : v.children) {
      if (!names.insert(field.name).second) {
        raise_value("열 '" + column + kMsgDuplicate + field.name + "'");
        return false;
      }
    }
  }
  for (const Type& child : v.children) {
    if (!check_column(column, child)) return false;
  }
  return true;
}

bool ArrowReader::examine(const ReaderConfig& config) {
  if (type_.kind != Kind::Struct || type_.dictionary) {
    if (mapping_) {
      PyErr_Format(PyExc_TypeError, "%s%s'", kMsgNotTable, type_.format.c_str());
      return false;
    }
    // Not a table: every row is an item of its own (the dict reader refuses it).
    if (!check_column(type_.name, type_)) return false;
    return make_keys(type_, keys_);
  }
  for (const Type& c : type_.children) {
    if (!check_column(c.name, c)) return false;
  }
  if (!make_keys(type_, keys_)) return false;

  Layout& l = layout_;
  bool native = true;
  auto leaf = [&](int col, int field, bool (*fits)(Kind)) {
    if (col < 0) return;
    const Type& t = type_.children[static_cast<std::size_t>(col)].value_type();
    const Type& f = field < 0 ? t : t.children[static_cast<std::size_t>(field)];
    if (!fits(f.value_type().kind)) native = false;
  };
  // A struct column whose fields are looked up by name, or flat columns.
  auto by_name = [&](const std::vector<std::string>& names, std::vector<int>& fields, Layout::Shape& shape,
                     int col, bool (*fits)(Kind)) {
    fields.assign(names.size(), -1);
    if (col < 0) return;
    const Type& t = type_.children[static_cast<std::size_t>(col)];
    if (t.dictionary || t.kind != Kind::Struct) {
      shape = Layout::Shape::Other;
      native = false;
      return;
    }
    shape = Layout::Shape::Struct;
    for (std::size_t a = 0; a < names.size(); ++a) {
      fields[a] = field_named(t, names[a]);
      if (fields[a] >= 0) leaf(col, fields[a], fits);
    }
  };

  if (mapping_) {
    const Mapping& m = *mapping_;
    if ((l.id = column(m.id.get())) < -1) return false;
    auto flat = [&](const std::optional<std::vector<std::pair<Ref, Ref>>>& pairs, const std::vector<std::string>& names,
                    std::vector<int>& fields, Layout::Shape& shape, bool (*fits)(Kind)) {
      fields.assign(names.size(), -1);
      if (!pairs) return true;
      shape = Layout::Shape::Flat;
      for (const auto& [name, col] : *pairs) {
        const int k = column(col.get());
        std::string text;
        if (k < -1 || !text_of(name.get(), text)) return false;
        // Later pairs of one name win, as in the dict they build.
        for (std::size_t a = 0; a < names.size(); ++a) {
          if (names[a] == text) fields[a] = k;
        }
      }
      for (int k : fields) leaf(k, -1, fits);
      return true;
    };
    // Every mapped column must exist (the dict the mapping builds reads each
    // one), though only those the configuration uses are read.
    if (!flat(m.scores, config.axes, l.axis_fields, l.scores, numeric)) return false;
    if (!flat(m.groups, config.group_keys, l.key_fields, l.groups, textual)) return false;
    if (m.cost && (l.cost = column(m.cost.get())) < -1) return false;
    if (m.cover && (l.cover = column(m.cover.get())) < -1) return false;
    if (!read_groups_) l.groups = Layout::Shape::Absent;
    if (!read_cost_) l.cost = -1;
    if (!read_cover_) l.cover = -1;
  } else {
    l.id = column("id");
    l.scores_column = column("scores");
    if (l.scores_column >= 0 && arrow::is_list(type_.children[static_cast<std::size_t>(l.scores_column)].kind) &&
        !type_.children[static_cast<std::size_t>(l.scores_column)].dictionary) {
      l.scores = Layout::Shape::List;
      l.axis_fields.assign(axes_, -1);
      leaf(l.scores_column, 0, numeric);
    } else {
      by_name(config.axes, l.axis_fields, l.scores, l.scores_column, numeric);
    }
    if (read_groups_) {
      l.groups_column = column("groups");
      by_name(config.group_keys, l.key_fields, l.groups, l.groups_column, textual);
    }
    if (read_cost_) l.cost = column("cost");
    if (read_cover_) l.cover = column("cover");
  }
  if (l.id < 0) {
    native = false;
  } else {
    leaf(l.id, -1, textual);
  }
  if (l.cost >= 0) {
    const Kind k = type_.children[static_cast<std::size_t>(l.cost)].value_type().kind;
    if (!(k == Kind::Null || k == Kind::Bool || is_int(k))) native = false;
  }
  if (l.cover >= 0) {
    const Type& t = type_.children[static_cast<std::size_t>(l.cover)];
    if (t.dictionary || !arrow::is_list(t.kind)) {
      native = false;
    } else {
      leaf(l.cover, 0, textual);
    }
  }
  native_ = native;
  return true;
}

bool ArrowReader::open(arrow::SchemaHolder schema, std::optional<arrow::StreamHolder> stream, arrow::ArrayHolder single,
                       const ReaderConfig& config, std::optional<Mapping> mapping) {
  schema_ = std::move(schema);
  stream_ = std::move(stream);
  mapping_ = std::move(mapping);
  std::expected<Type, std::string> type = arrow::parse_schema(schema_.get());
  if (!type) {
    raise_value(kMsgBadStream + type.error());
    return false;
  }
  type_ = std::move(*type);
  if (!examine(config)) return false;
  if (!single.empty()) {
    // A single batch, checked now.
    if (!take_batch(std::move(single))) {
      first_error_.restore();
      return false;
    }
    start_batch();
  }
  return true;
}

void ArrowReader::end_with_error(const std::string& message) {
  raise_value(kMsgBadStream + message);
  first_error_.keep_current();
  done_ = true;
}

// Moves to the next non-empty batch and sets up its views; false at the end
// of the stream (or when it failed, the error kept).
bool ArrowReader::pull() {
  while (true) {
    if (view_) first_row_ += static_cast<std::uint64_t>(view_->length());
    view_ = nullptr;
    held_.reset();
    if (!stream_) return false;
    std::expected<arrow::ArrayHolder, std::string> next = stream_->next();
    // Pulling a batch may take a while (a file read): let Ctrl-C through.
    if (PyErr_CheckSignals() < 0) abort();
    if (!next) {
      end_with_error(next.error());
      return false;
    }
    if (next->empty()) return false;
    if (!take_batch(std::move(*next))) return false;
    start_batch();
    if (view_->length() > 0) return true;
  }
}

// Checks a batch and makes it the current one; false with the error kept
// (the stream then ends).
bool ArrowReader::take_batch(arrow::ArrayHolder array) {
  held_ = std::make_shared<HeldBatch>(shape_, std::move(array));
  std::expected<View, std::string> v = View::make(type_, held_->array.get());
  if (!v) {
    held_.reset();
    end_with_error(v.error());
    return false;
  }
  view_ = &held_->view.emplace(std::move(*v));
  return true;
}

// The views of the columns read, and whether the columns can answer for the
// rows of this batch: their texts must be sound UTF-8 (a row with a bad one
// is read through its dict, whose making then fails as it should).
void ArrowReader::start_batch() {
  row_ = 0;
  ++batch_serial_;
  batch_native_ = false;
  if (!native_) return;
  const View& top = *view_;
  auto col = [&](int k) { return k < 0 ? nullptr : &top.field(static_cast<std::size_t>(k)); };
  bool sound = true;
  auto text_checked = [&](const View* v) {
    if (v && sound && arrow::first_bad_utf8(*v)) sound = false;
    return v;
  };
  const Layout& l = layout_;
  id_ = text_checked(col(l.id));
  scores_ = l.scores == Layout::Shape::Flat ? nullptr : col(l.scores_column);
  axis_views_.assign(axes_, nullptr);
  for (std::size_t a = 0; a < l.axis_fields.size(); ++a) {
    const int f = l.axis_fields[a];
    if (f < 0) continue;
    axis_views_[a] = l.scores == Layout::Shape::Flat ? col(f) : &scores_->field(static_cast<std::size_t>(f));
  }
  groups_ = l.groups == Layout::Shape::Flat ? nullptr : col(l.groups_column);
  key_views_.assign(keys_count_, nullptr);
  for (std::size_t g = 0; g < l.key_fields.size(); ++g) {
    const int f = l.key_fields[g];
    if (f < 0) continue;
    key_views_[g] = text_checked(l.groups == Layout::Shape::Flat ? col(f) : &groups_->field(static_cast<std::size_t>(f)));
  }
  cost_ = col(l.cost);
  cover_ = text_checked(col(l.cover));
  batch_native_ = sound;
}

// Whether row i must be read through its dict: a null where a dict or a
// list must be, a cost out of range (the dict reader then gives the row's
// exact error).
bool ArrowReader::aside(std::int64_t i) const {
  if (view_->is_null(i) || (scores_ && scores_->is_null(i)) || (groups_ && groups_->is_null(i))) return true;
  const View* at = nullptr;
  std::int64_t j = 0;
  if (!cost_ || !cell(*cost_, i, at, j) || at->kind() == Kind::Bool) return false;
  return arrow::is_signed_int(at->kind()) ? at->int_at(j) < 0 || at->int_at(j) > 0xFFFFFFFFll
                                          : at->uint_at(j) > 0xFFFFFFFFull;
}

CandidateId ArrowReader::id_at(std::int64_t i) const {
  const View* at = nullptr;
  std::int64_t j = 0;
  if (!cell(*id_, i, at, j)) return CandidateId(std::string("None"));
  if (at->kind() == Kind::Bool) return CandidateId(static_cast<std::uint64_t>(at->bool_at(j)));
  if (arrow::is_unsigned_int(at->kind())) return CandidateId(at->uint_at(j));
  if (arrow::is_signed_int(at->kind())) {
    const std::int64_t n = at->int_at(j);
    return n >= 0 ? CandidateId(static_cast<std::uint64_t>(n)) : CandidateId(std::to_string(n));
  }
  return CandidateId(std::string(at->bytes_at(j)));
}

// Reads row i (not set aside) straight from the columns.
void ArrowReader::read_native(std::int64_t i, PyCandidate& c) const {
  const View* at = nullptr;
  std::int64_t j = 0;
  c.id = id_at(i);
  c.scores.assign(axes_, std::nullopt);
  if (layout_.scores == Layout::Shape::List) {
    const auto [first, last] = scores_->range_at(i);
    const std::int64_t n = std::min<std::int64_t>(last - first, static_cast<std::int64_t>(axes_));
    for (std::int64_t a = 0; a < n; ++a) {
      if (cell(scores_->items(), first + a, at, j)) c.scores[static_cast<std::size_t>(a)] = number_at(*at, j);
    }
  } else {
    for (std::size_t a = 0; a < axes_; ++a) {
      if (axis_views_[a] && cell(*axis_views_[a], i, at, j)) c.scores[a] = number_at(*at, j);
    }
  }
  if (read_groups_) {
    c.groups.assign(keys_count_, std::nullopt);
    for (std::size_t g = 0; g < keys_count_; ++g) {
      if (key_views_[g] && cell(*key_views_[g], i, at, j)) c.groups[g] = text_at(*at, j);
    }
  }
  if (cost_ && cell(*cost_, i, at, j)) {
    c.cost = at->kind() == Kind::Bool              ? static_cast<std::uint32_t>(at->bool_at(j))
             : arrow::is_signed_int(at->kind()) ? static_cast<std::uint32_t>(at->int_at(j))
                                                   : static_cast<std::uint32_t>(at->uint_at(j));
  }
  if (cover_ && !cover_->is_null(i)) {
    const auto [first, last] = cover_->range_at(i);
    c.cover.reserve(static_cast<std::size_t>(last - first));
    for (std::int64_t k = first; k < last; ++k) {
      c.cover.push_back(cell(cover_->items(), k, at, j) ? text_at(*at, j) : std::string("None"));
    }
  }
}

// Row i read through its dict, exactly as the dict reader reads it; nullopt
// when it fails (the error kept).
std::optional<PyCandidate> ArrowReader::read_through_dict(std::int64_t i) {
  std::optional<PyCandidate> candidate(std::in_place);
  bool id_read = false;
  Ref row = row_dict(i);
  Ref mapped = row && mapping_ ? mapped_item(row.get()) : Ref();
  PyObject* item = mapping_ ? mapped.get() : row.get();
  if (item && converter_.convert(item, *candidate, id_read)) {
    candidate->object = std::move(row);
    candidate->row = first_row_ + static_cast<std::uint64_t>(i);
    return candidate;
  }
  if (aborting_error()) abort();
  keep_item_error(first_row_ + static_cast<std::uint64_t>(i), *candidate, id_read);
  return std::nullopt;
}

// The slot columns of the next rows (up to kSlotRows of one Arrow batch):
// each axis's own score per row, as the row's candidate would hold it.
bool ArrowReader::next_batch(SlotBatch& batch) {
  constexpr std::int64_t kSlotRows = 4096;  // columns that stay in cache
  if (done_) return false;
  if ((!view_ || row_ >= view_->length()) && !pull()) {
    done_ = true;
    return false;
  }
  chunk_ = row_;
  const auto n = static_cast<std::size_t>(std::min(kSlotRows, view_->length() - row_));
  row_ += static_cast<std::int64_t>(n);
  batch.rows = n;
  batch.values.assign(axes_, nullptr);
  batch.present.assign(axes_, nullptr);
  aside_.assign(n, 1);
  batch.aside = aside_.data();
  batch.numbers = nullptr;
  if (!batch_native_) return true;  // every row set aside

  // Rows set aside: only where a null or a cost can send a row there.
  const bool checked = view_->has_nulls() || (scores_ && scores_->has_nulls()) || (groups_ && groups_->has_nulls()) || cost_;
  std::fill(aside_.begin(), aside_.end(), 0);
  for (std::size_t i = 0; checked && i < n; ++i) aside_[i] = aside(chunk_ + static_cast<std::int64_t>(i)) ? 1 : 0;
  if (!checked) batch.aside = nullptr;
  if (id_->kind() == Kind::UInt64 && !id_->dictionary_encoded() && !id_->has_nulls())
    batch.numbers = id_->elements<std::uint64_t>(chunk_);
  values_.resize(axes_);
  present_.resize(axes_);
  const View* at = nullptr;
  std::int64_t j = 0;
  const bool listed = layout_.scores == Layout::Shape::List;
  for (std::size_t a = 0; a < axes_; ++a) {
    if (!listed && !axis_views_[a]) continue;
    std::vector<float>& values = values_[a];
    std::vector<std::uint8_t>& present = present_[a];
    values.resize(n);
    present.resize(n);
    if (!listed) {
      const View& v = *axis_views_[a];
      // float32 values are read where they lie, float64 ones narrowed in
      // one loop (nulls too: their presence says 0); a column without nulls
      // has no presence bytes.
      const float* column = nullptr;
      if (v.kind() == Kind::Float32 && !v.dictionary_encoded()) {
        column = v.elements<float>(chunk_);
      } else if (const double* wide = v.kind() == Kind::Float64 && !v.dictionary_encoded() ? v.elements<double>(chunk_) : nullptr) {
        for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<float>(wide[i]);
        column = values.data();
      }
      if (column) {
        batch.values[a] = column;
        if (v.has_nulls()) v.valid_bytes(chunk_, n, present.data());
        batch.present[a] = v.has_nulls() ? present.data() : nullptr;
        continue;
      }
      std::fill(present.begin(), present.end(), 0);
      fill_numbers(v, chunk_, n, aside_.data(), values.data(), present.data());
    } else {
      std::fill(present.begin(), present.end(), 0);
      for (std::size_t i = 0; i < n; ++i) {
        if (aside_[i]) continue;
        const auto [first, last] = scores_->range_at(chunk_ + static_cast<std::int64_t>(i));
        const auto k = first + static_cast<std::int64_t>(a);
        if (k >= last || !cell(scores_->items(), k, at, j)) continue;
        values[i] = number_at(*at, j);
        present[i] = 1;
      }
    }
    batch.values[a] = values.data();
    batch.present[a] = present.data();
  }
  return true;
}

std::optional<PyCandidate> ArrowReader::row(std::size_t i) {
  const std::int64_t r = chunk_ + static_cast<std::int64_t>(i);
  return aside_[i] ? read_through_dict(r) : native_candidate(r);
}

// Row i (not set aside) read from the columns, its object made on demand.
std::optional<PyCandidate> ArrowReader::native_candidate(std::int64_t i) {
  std::optional<PyCandidate> candidate(std::in_place);
  read_native(i, *candidate);
  candidate->source = this;
  candidate->batch_row = i;
  candidate->batch = batch_serial_;
  candidate->row = first_row_ + static_cast<std::uint64_t>(i);
  return candidate;
}

// The row dict of row i of the current batch (for a batch that is no
// table, the row's own value); empty with the error raised.
Ref ArrowReader::row_dict(std::int64_t i) { return value_of(*view_, keys_, i); }

// The dict a column mapping builds from a row dict (a null row stays None).
Ref ArrowReader::mapped_item(PyObject* row) {
  if (!PyDict_Check(row)) return Ref::borrow(row);
  const Mapping& m = *mapping_;
  Ref item = Ref::steal(PyDict_New());
  if (!item) return {};
  auto put = [&](PyObject* d, PyObject* key, PyObject* column) {
    PyObject* v = PyDict_GetItemWithError(row, column);
    return v && PyDict_SetItem(d, key, v) == 0;
  };
  auto nested = [&](const char* key, const std::optional<std::vector<std::pair<Ref, Ref>>>& pairs) {
    if (!pairs) return true;
    Ref d = Ref::steal(PyDict_New());
    if (!d) return false;
    for (const auto& [name, col] : *pairs) {
      if (!put(d.get(), name.get(), col.get())) return false;
    }
    return PyDict_SetItem(item.get(), interned(key).get(), d.get()) == 0;
  };
  if (!put(item.get(), interned("id").get(), m.id.get()) || !nested("scores", m.scores) ||
      !nested("groups", m.groups) || (m.cost && !put(item.get(), interned("cost").get(), m.cost.get())) ||
      (m.cover && !put(item.get(), interned("cover").get(), m.cover.get()))) {
    return {};
  }
  return item;
}

std::optional<PyCandidate> ArrowReader::next() {
  while (!done_) {
    if (!view_ || row_ >= view_->length()) {
      if (!pull()) {
        done_ = true;
        break;
      }
    }
    const std::int64_t i = row_++;
    if (batch_native_ && !aside(i)) return native_candidate(i);
    if (std::optional<PyCandidate> c = read_through_dict(i)) return c;
  }
  return std::nullopt;
}

void ArrowReader::make_object(PyCandidate& c) {
  c.source = nullptr;
  // Rows are made only while their batch is at hand (the engine takes each
  // candidate in before it pulls the next).
  if (c.batch != batch_serial_ || !view_ || c.batch_row >= view_->length()) internal_fault(kInvRowBatch);
  c.object = row_dict(c.batch_row);
  if (c.object) return;
  if (aborting_error()) abort();
  keep_item_error(c.row, c, true);
  c.object = Ref::borrow(Py_None);
}

// The object a capsule holds, named as the interface names it; nullptr with
// the error raised.
template <class T>
T* capsule(PyObject* o, const char* name) {
  if (!o || !PyCapsule_IsValid(o, name)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, (std::string(kMsgCapsule) + name).c_str());
    return nullptr;
  }
  return static_cast<T*>(PyCapsule_GetPointer(o, name));
}

// Calls data.<method>() when the type of data has that method: 1 with the
// result in `out`, 0 when it has none, -1 with the error raised.
int call_export(PyObject* data, const char* method, Ref& out) {
  // Interned: a fresh name per lookup would sit in the type cache.
  Ref name = interned(method);
  if (!name) return -1;
  Ref attr = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(data)), name.get()));
  if (!attr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  out = Ref::steal(PyObject_CallMethodObjArgs(data, name.get(), nullptr));
  return out ? 1 : -1;
}

// The mapping of `vantorel.columns`: (data, id, scores, groups, cost, cover),
// scores and groups None or tuples of (name, column) pairs, the others names
// or None (checked by the Python side that made it; read defensively).
bool read_mapping(PyObject* t, Ref& data, Mapping& m) {
  auto fail = [] {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "columns() 의 매핑이 올바르지 않다");
    return false;
  };
  if (!PyTuple_Check(t) || PyTuple_Size(t) != 6) return fail();
  auto text = [&](Py_ssize_t k, Ref& out, bool optional) {
    PyObject* v = PyTuple_GetItem(t, k);
    if (optional && v == Py_None) return true;
    if (!PyUnicode_Check(v)) return false;
    out = Ref::borrow(v);
    return true;
  };
  auto pairs = [&](Py_ssize_t k, std::optional<std::vector<std::pair<Ref, Ref>>>& out) {
    PyObject* v = PyTuple_GetItem(t, k);
    if (v == Py_None) return true;
    if (!PyTuple_Check(v)) return false;
    out.emplace();
    for (Py_ssize_t i = 0; i < PyTuple_Size(v); ++i) {
      PyObject* pair = PyTuple_GetItem(v, i);
      if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2 || !PyUnicode_Check(PyTuple_GetItem(pair, 0)) ||
          !PyUnicode_Check(PyTuple_GetItem(pair, 1))) {
        return false;
      }
      out->emplace_back(Ref::borrow(PyTuple_GetItem(pair, 0)), Ref::borrow(PyTuple_GetItem(pair, 1)));
    }
    return true;
  };
  data = Ref::borrow(PyTuple_GetItem(t, 0));
  if (!text(1, m.id, false) || !pairs(2, m.scores) || !pairs(3, m.groups) || !text(4, m.cost, true) ||
      !text(5, m.cover, true)) {
    return fail();
  }
  return true;
}

}  // namespace

int open_arrow(PyObject* data, const ReaderConfig& config, std::unique_ptr<CandidateStream>& out) {
  // The common inputs export nothing: no attribute lookups for them.
  if (PyList_CheckExact(data) || PyTuple_CheckExact(data) || PyDict_CheckExact(data)) return 0;
  Ref source = Ref::borrow(data);
  std::optional<Mapping> mapping;
  Ref described;
  int r = call_export(data, "__vantorel_columns__", described);
  if (r < 0) return -1;
  if (r == 1) {
    mapping.emplace();
    if (!read_mapping(described.get(), source, *mapping)) return -1;
  }

  arrow::SchemaHolder schema;
  std::optional<arrow::StreamHolder> stream;
  arrow::ArrayHolder single;
  Ref exported;
  if ((r = call_export(source.get(), "__arrow_c_stream__", exported)) < 0) return -1;
  if (r == 1) {
    auto* raw = capsule<ArrowArrayStream>(exported.get(), "arrow_array_stream");
    if (!raw) return -1;
    stream.emplace(raw);
    std::expected<arrow::SchemaHolder, std::string> s = stream->schema();
    if (!s) {
      raise_value(kMsgBadStream + s.error());
      return -1;
    }
    schema = std::move(*s);
  } else {
    if ((r = call_export(source.get(), "__arrow_c_array__", exported)) < 0) return -1;
    if (r == 0) {
      if (!mapping) return 0;
      PyErr_SetString(PyExc_TypeError, kMsgNotArrow);
      return -1;
    }
    if (!PyTuple_Check(exported.get()) || PyTuple_Size(exported.get()) != 2) {
      PyErr_SetString(PyExc_TypeError, (std::string(kMsgCapsule) + "(arrow_schema, arrow_array)").c_str());
      return -1;
    }
    auto* raw_schema = capsule<ArrowSchema>(PyTuple_GetItem(exported.get(), 0), "arrow_schema");
    auto* raw_array = raw_schema ? capsule<ArrowArray>(PyTuple_GetItem(exported.get(), 1), "arrow_array") : nullptr;
    if (!raw_array) return -1;
    schema = arrow::SchemaHolder(raw_schema);
    single = arrow::ArrayHolder(raw_array);
  }

  std::optional<ItemConverter> converter = ItemConverter::make(config);
  if (!converter) return -1;
  auto reader = std::make_unique<ArrowReader>(std::move(*converter), config);
  if (!reader->open(std::move(schema), std::move(stream), std::move(single), config, std::move(mapping))) return -1;
  out = std::move(reader);
  return 1;
}

}  // namespace vantorel::python
