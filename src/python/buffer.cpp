// Numbers read straight from an object's buffer.
#include "python/buffer.hpp"

#include <string>

#include "python/reader.hpp"

namespace vantorel::python {

namespace {

constexpr const char* kMsgShape = "숫자 버퍼는 1차원이어야 한다. 받은 차원 수 ";
constexpr const char* kMsgFormat = "숫자 버퍼의 형식 ";
constexpr const char* kMsgFormatEnd = " 은 읽을 수 없다. 실수나 정수의 형식이어야 한다";

}  // namespace

bool NumberBuffer::parse_format() {
  const char* f = view_.format ? view_.format : "B";
  bool little = std::endian::native == std::endian::little;
  switch (*f) {
    case '@':
    case '=':
      ++f;
      break;
    case '<':
      little = true;
      ++f;
      break;
    case '>':
    case '!':
      little = false;
      ++f;
      break;
    default:
      break;
  }
  if (f[0] == '\0' || f[1] != '\0') return false;
  const Py_ssize_t size = view_.itemsize;
  auto sized = [&](Kind k1, Kind k2, Kind k4, Kind k8) {
    switch (size) {
      case 1: kind_ = k1; return true;
      case 2: kind_ = k2; return true;
      case 4: kind_ = k4; return true;
      case 8: kind_ = k8; return true;
      default: return false;
    }
  };
  bool ok = false;
  switch (*f) {
    case 'f':
    case 'd':
      ok = size == 4 || size == 8;
      kind_ = size == 4 ? Kind::F32 : Kind::F64;
      break;
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
      ok = sized(Kind::I8, Kind::I16, Kind::I32, Kind::I64);
      break;
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': case '?':
      ok = sized(Kind::U8, Kind::U16, Kind::U32, Kind::U64);
      break;
    default:
      break;
  }
  swap_ = little != (std::endian::native == std::endian::little);
  return ok;
}

int NumberBuffer::open(PyObject* o) {
  if (!PyObject_CheckBuffer(o)) return 0;
  // Strides and format, no indirect (suboffset) buffers.
  if (PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) != 0) {
    // A sequence is read as one; otherwise the exporter's error is raised
    // again. It is put aside meanwhile: the check runs Python code, which
    // must not start with an error pending.
    if (aborting_error()) return -1;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref refused[] = {Ref::steal(type), Ref::steal(value), Ref::steal(tb)};
    int seq = is_sequence(o);
    if (seq == 0) PyErr_Restore(refused[0].release(), refused[1].release(), refused[2].release());
    return seq == 1 ? 0 : -1;
  }
  held_ = true;
  if (view_.ndim == 1 && parse_format()) return 1;
  const int ndim = view_.ndim;
  const std::string format = view_.format ? view_.format : "B";
  PyBuffer_Release(&view_);
  held_ = false;
  // Another shape is refused even from a sequence (a memoryview is one, and
  // could not be read by elements either).
  if (ndim != 1) {
    PyErr_SetString(PyExc_ValueError, (kMsgShape + ("'" + std::to_string(ndim) + "'")).c_str());
    return -1;
  }
  int seq = is_sequence(o);
  if (seq != 0) return seq == 1 ? 0 : -1;
  PyErr_SetString(PyExc_TypeError, (kMsgFormat + ("'" + format + "'") + kMsgFormatEnd).c_str());
  return -1;
}

}  // namespace vantorel::python
