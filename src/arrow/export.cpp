// The structures of the C data and C stream interfaces that we produce.
// Each exported node's private_data is a heap record owning the node's
// strings, buffers and child structures; its release callback deletes that
// record, whose destructor releases the children still held.
#include "arrow/export.hpp"

#include <atomic>
#include <cerrno>
#include <utility>

namespace vantorel::arrow {

namespace {

std::atomic<std::int64_t> g_live{0};

// Counts the exported nodes alive.
struct Counted {
  Counted() { g_live.fetch_add(1, std::memory_order_relaxed); }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;
  ~Counted() { g_live.fetch_sub(1, std::memory_order_relaxed); }
};

// Releases a child structure unless a consumer moved it out (or it was
// never filled).
template <class S>
void release_held(S& s) {
  if (s.release) s.release(&s);
}

struct SchemaNode : Counted {
  std::string format, name;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
  std::unique_ptr<ArrowSchema> dictionary;

  ~SchemaNode() {
    for (ArrowSchema& c : children) release_held(c);
    if (dictionary) release_held(*dictionary);
  }
};

void release_schema(ArrowSchema* s) {
  delete static_cast<SchemaNode*>(s->private_data);
  s->release = nullptr;
}

struct ArrayNode : Counted {
  std::vector<Buffer> buffers;
  std::vector<const void*> buffer_pointers;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
  std::unique_ptr<ArrowArray> dictionary;

  ~ArrayNode() {
    for (ArrowArray& c : children) release_held(c);
    if (dictionary) release_held(*dictionary);
  }
};

void release_array(ArrowArray* a) {
  delete static_cast<ArrayNode*>(a->private_data);
  a->release = nullptr;
}

struct StreamNode : Counted {
  Field schema;
  std::vector<Array> batches;
  std::size_t next = 0;
};

int stream_schema(ArrowArrayStream* s, ArrowSchema* out) {
  try {
    export_schema(static_cast<StreamNode*>(s->private_data)->schema, out);
    return 0;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

int stream_next(ArrowArrayStream* s, ArrowArray* out) {
  auto* node = static_cast<StreamNode*>(s->private_data);
  if (node->next == node->batches.size()) {
    *out = ArrowArray{};  // the end: a released array
    return 0;
  }
  try {
    export_array(std::move(node->batches[node->next]), out);
  } catch (const std::bad_alloc&) {
    return ENOMEM;  // the stream is then broken: the consumer only releases it
  }
  node->batches[node->next++] = Array{};  // what it held now belongs to the exported batch
  return 0;
}

const char* stream_error(ArrowArrayStream*) { return nullptr; }

void release_stream(ArrowArrayStream* s) {
  delete static_cast<StreamNode*>(s->private_data);
  s->release = nullptr;
}

}  // namespace

Buffer::Buffer(std::size_t bytes, bool zeroed)
    : data_(static_cast<std::byte*>(::operator new(bytes ? bytes : 1, std::align_val_t{64}))) {
  if (zeroed) std::memset(data_.get(), 0, bytes);
}

void export_schema(const Field& field, ArrowSchema* out) {
  auto node = std::make_unique<SchemaNode>();
  node->format = field.format;
  node->name = field.name;
  node->children.resize(field.children.size());  // all released until filled
  for (std::size_t i = 0; i < field.children.size(); ++i) {
    export_schema(field.children[i], &node->children[i]);
    node->child_pointers.push_back(&node->children[i]);
  }
  if (field.dictionary) {
    node->dictionary = std::make_unique<ArrowSchema>();
    export_schema(*field.dictionary, node->dictionary.get());
  }
  *out = ArrowSchema{node->format.c_str(),
                     node->name.c_str(),
                     nullptr,
                     field.nullable ? ARROW_FLAG_NULLABLE : 0,
                     static_cast<std::int64_t>(node->children.size()),
                     node->child_pointers.data(),
                     node->dictionary.get(),
                     release_schema,
                     node.get()};
  node.release();
}

void export_array(Array&& array, ArrowArray* out) {
  auto node = std::make_unique<ArrayNode>();
  node->children.resize(array.children.size());
  node->child_pointers.reserve(array.children.size());
  node->buffer_pointers.reserve(array.buffers.size());
  if (array.dictionary) node->dictionary = std::make_unique<ArrowArray>();
  for (std::size_t i = 0; i < array.children.size(); ++i) {
    export_array(std::move(array.children[i]), &node->children[i]);
    node->child_pointers.push_back(&node->children[i]);
  }
  if (array.dictionary) export_array(std::move(*array.dictionary), node->dictionary.get());
  for (const Buffer& b : array.buffers) node->buffer_pointers.push_back(b.data());
  node->buffers = std::move(array.buffers);
  *out = ArrowArray{array.length,
                    array.null_count,
                    0,
                    static_cast<std::int64_t>(node->buffer_pointers.size()),
                    static_cast<std::int64_t>(node->children.size()),
                    node->buffer_pointers.data(),
                    node->child_pointers.data(),
                    node->dictionary.get(),
                    release_array,
                    node.get()};
  node.release();
}

void export_stream(Field schema, std::vector<Array> batches, ArrowArrayStream* out) {
  auto node = std::make_unique<StreamNode>();
  node->schema = std::move(schema);
  node->batches = std::move(batches);
  *out = ArrowArrayStream{stream_schema, stream_next, stream_error, release_stream, node.get()};
  node.release();
}

std::int64_t live_exports() { return g_live.load(std::memory_order_relaxed); }

Field struct_field(std::vector<Field> columns) { return Field{"+s", "", false, std::move(columns), nullptr}; }

Array struct_array(std::int64_t length, std::vector<Array> columns) {
  Array a;
  a.length = length;
  a.buffers.emplace_back();
  a.children = std::move(columns);
  return a;
}

}  // namespace vantorel::arrow
