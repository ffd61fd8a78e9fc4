#pragma once
// Numbers read straight from an object's buffer (numpy arrays, array.array,
// memoryview): a one-dimensional buffer of floats or integers, strided or not.
// A float32 element is taken bit for bit; any other element becomes a 32-bit
// float exactly as the same Python number would (through a 64-bit double).
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "python/py.hpp"

namespace vantorel::python {

class NumberBuffer {
 public:
  NumberBuffer() = default;
  NumberBuffer(const NumberBuffer&) = delete;
  NumberBuffer& operator=(const NumberBuffer&) = delete;
  ~NumberBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  // 1: `o` exports a one-dimensional buffer of numbers, now held. 0: it
  // exports no buffer, or is a sequence (to be read as one) that exports one
  // of another format or refuses to export. -1: an error is set (a buffer of
  // another shape; another format or a refused export from an object that is
  // no sequence).
  int open(PyObject* o);

  Py_ssize_t size() const { return held_ ? view_.shape[0] : 0; }

  // Calls `each(i, value)` for elements 0..n-1, n = min(size, limit) when
  // limit >= 0; stops early when `each` returns false.
  template <class Each>
  bool each(Py_ssize_t limit, Each&& each) const {
    switch (kind_) {
      case Kind::F32: return loop<std::uint32_t>(limit, each, [](std::uint32_t r) { return std::bit_cast<float>(r); });
      case Kind::F64:
        return loop<std::uint64_t>(limit, each, [](std::uint64_t r) { return static_cast<float>(std::bit_cast<double>(r)); });
      case Kind::I8: return loop<std::uint8_t>(limit, each, from_int<std::int8_t, std::uint8_t>);
      case Kind::I16: return loop<std::uint16_t>(limit, each, from_int<std::int16_t, std::uint16_t>);
      case Kind::I32: return loop<std::uint32_t>(limit, each, from_int<std::int32_t, std::uint32_t>);
      case Kind::I64: return loop<std::uint64_t>(limit, each, from_int<std::int64_t, std::uint64_t>);
      case Kind::U8: return loop<std::uint8_t>(limit, each, from_int<std::uint8_t, std::uint8_t>);
      case Kind::U16: return loop<std::uint16_t>(limit, each, from_int<std::uint16_t, std::uint16_t>);
      case Kind::U32: return loop<std::uint32_t>(limit, each, from_int<std::uint32_t, std::uint32_t>);
      case Kind::U64: return loop<std::uint64_t>(limit, each, from_int<std::uint64_t, std::uint64_t>);
    }
    return true;
  }

 private:
  enum class Kind : std::uint8_t { F32, F64, I8, I16, I32, I64, U8, U16, U32, U64 };

  template <class Int, class Raw>
  static float from_int(Raw r) {
    return static_cast<float>(static_cast<double>(static_cast<Int>(r)));
  }

  template <class Raw, class Each, class Convert>
  bool loop(Py_ssize_t limit, Each& each, Convert convert) const {
    Py_ssize_t n = size();
    if (limit >= 0 && limit < n) n = limit;
    const char* p = static_cast<const char*>(view_.buf);
    const Py_ssize_t stride = view_.strides ? view_.strides[0] : static_cast<Py_ssize_t>(sizeof(Raw));
    if constexpr (sizeof(Raw) > 1) {
      if (swap_) return walk<Raw>(p, stride, n, each, [&](Raw r) { return convert(std::byteswap(r)); });
    }
    // Contiguous elements get a loop of their own, which the compiler can widen.
    if (stride == static_cast<Py_ssize_t>(sizeof(Raw))) return walk<Raw>(p, sizeof(Raw), n, each, convert);
    return walk<Raw>(p, stride, n, each, convert);
  }

  template <class Raw, class Each, class Convert>
  static bool walk(const char* p, Py_ssize_t stride, Py_ssize_t n, Each& each, Convert convert) {
    for (Py_ssize_t i = 0; i < n; ++i, p += stride) {
      Raw r;
      std::memcpy(&r, p, sizeof r);
      if (!each(i, convert(r))) return false;
    }
    return true;
  }

  // The element kind of a one-letter struct format with an optional byte
  // order prefix; false when it is no number this reads.
  bool parse_format();

  Py_buffer view_{};
  bool held_ = false;
  bool swap_ = false;
  Kind kind_ = Kind::F32;
};

}  // namespace vantorel::python
