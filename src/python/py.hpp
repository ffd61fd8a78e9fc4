#pragma once
// Small helpers of the binding, written once and used everywhere: an owning
// reference, the borrow flag with its guards, argument conversions that name
// the parameter on failure, and a first-error slot.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vantorel::python {

// Set once the interpreter has begun to exit (by an atexit hook of the
// module). From then on a thread still inside a run may be ended by a forced
// unwind when it waits for the interpreter lock, without a thread state: the
// references its frames own are leaked instead of released.
inline std::atomic<bool> g_interpreter_exiting{false};

// Owning reference: move-only, releases in its destructor. The interpreter
// lock must be held wherever one is destroyed.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* o) { return Ref(o); }
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(Ref&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) reset(std::exchange(other.o_, nullptr));
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { drop(o_); }

  PyObject* get() const { return o_; }
  explicit operator bool() const { return o_ != nullptr; }
  // Gives up ownership: the caller now owns the reference.
  PyObject* release() { return std::exchange(o_, nullptr); }
  // A new reference for the caller, this one kept.
  PyObject* new_ref() const {
    Py_XINCREF(o_);
    return o_;
  }
  void reset(PyObject* o = nullptr) { drop(std::exchange(o_, o)); }

 private:
  explicit Ref(PyObject* o) : o_(o) {}
  static void drop(PyObject* o) {
    if (o && !g_interpreter_exiting.load(std::memory_order_relaxed)) Py_DECREF(o);
  }
  PyObject* o_ = nullptr;
};

// Borrow flag of an instance: > 0 shared borrows, -1 exclusive, 0 free.
struct BorrowFlag {
  Py_ssize_t state = 0;
};

// Shared access; refused (RuntimeError "Already mutably borrowed") while an
// exclusive borrow is held.
class SharedGuard {
 public:
  static std::optional<SharedGuard> take(BorrowFlag& f) {
    if (f.state < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return std::nullopt;
    }
    ++f.state;
    return SharedGuard(f);
  }
  SharedGuard(SharedGuard&& o) noexcept : f_(std::exchange(o.f_, nullptr)) {}
  SharedGuard(const SharedGuard&) = delete;
  SharedGuard& operator=(const SharedGuard&) = delete;
  SharedGuard& operator=(SharedGuard&&) = delete;
  ~SharedGuard() {
    if (f_) --f_->state;
  }

 private:
  explicit SharedGuard(BorrowFlag& f) : f_(&f) {}
  BorrowFlag* f_;
};

// Exclusive access; refused (RuntimeError "Already borrowed") while any
// borrow is held.
class ExclusiveGuard {
 public:
  static std::optional<ExclusiveGuard> take(BorrowFlag& f) {
    if (f.state != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return std::nullopt;
    }
    f.state = -1;
    return ExclusiveGuard(f);
  }
  ExclusiveGuard(ExclusiveGuard&& o) noexcept : f_(std::exchange(o.f_, nullptr)) {}
  ExclusiveGuard(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(ExclusiveGuard&&) = delete;
  ~ExclusiveGuard() {
    if (f_) f_->state = 0;
  }

 private:
  explicit ExclusiveGuard(BorrowFlag& f) : f_(&f) {}
  BorrowFlag* f_;
};

// Adds a note to the exception being raised. `make_note` returns a new str
// reference (nullptr on failure, the note then left out); it runs with the
// exception fetched and must not throw.
template <class MakeNote>
void add_note(MakeNote&& make_note) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value) {
    Ref note = Ref::steal(make_note());
    Ref r = note ? Ref::steal(PyObject_CallMethod(value, "add_note", "O", note.get())) : Ref();
    if (!r) PyErr_Clear();
  }
  if (tb && value) PyException_SetTraceback(value, tb);
  PyErr_Restore(type, value, tb);
}

// Adds the note "while processing '{name}'" to the exception being raised.
inline void add_param_note(const char* name) {
  add_note([name] { return PyUnicode_FromFormat("while processing '%s'", name); });
}

// Raises TypeError "'{type of o}' object cannot be converted to '{target}'".
inline void raise_not_convertible(PyObject* o, const char* target) {
  Ref tname = Ref::steal(PyType_GetName(Py_TYPE(o)));
  const char* n = tname ? PyUnicode_AsUTF8AndSize(tname.get(), nullptr) : nullptr;
  if (!n) PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", n ? n : "?", target);
}

// Text of a str object (UTF-8). False with TypeError when `o` is not a str.
inline bool text_of(PyObject* o, std::string& out) {
  if (!PyUnicode_Check(o)) {
    raise_not_convertible(o, "str");
    return false;
  }
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &len);
  if (!s) return false;
  out.assign(s, static_cast<std::size_t>(len));
  return true;
}

// Python's float conversion (float, int, __float__, __index__), narrowed to 32 bits.
inline bool f32_of(PyObject* o, float& out) {
  double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) return false;
  out = static_cast<float>(d);
  return true;
}

// An integer (or __index__) in 0..2^64-1.
inline bool u64_of(PyObject* o, std::uint64_t& out) {
  Ref idx = Ref::steal(PyNumber_Index(o));
  if (!idx) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

// An integer (or __index__) in 0..2^32-1.
inline bool u32_of(PyObject* o, std::uint32_t& out) {
  std::uint64_t v = 0;
  if (!u64_of(o, v)) return false;
  if (v > 0xFFFFFFFFull) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::uint32_t>(v);
  return true;
}

// The conversions above for a named parameter: on failure the conversion's own
// exception is kept and gets the note "while processing '{name}'".
template <class T, class F>
inline bool arg(PyObject* o, const char* name, T& out, F convert) {
  if (convert(o, out)) return true;
  add_param_note(name);
  return false;
}
inline bool arg_f32(PyObject* o, const char* name, float& out) { return arg(o, name, out, f32_of); }
inline bool arg_u64(PyObject* o, const char* name, std::uint64_t& out) { return arg(o, name, out, u64_of); }

// True when the exception being raised is not an Exception (KeyboardInterrupt,
// SystemExit, ...) or is a MemoryError: such an exception aborts a run at once
// instead of being kept until the stream ends.
inline bool aborting_error() {
  return PyErr_Occurred() &&
         (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError));
}

// True when the optional argument was omitted or given as None.
inline bool absent(PyObject* o) { return o == nullptr || o == Py_None; }

// The first error of a run: kept once (later ones are discarded), raised later.
class FirstError {
 public:
  bool empty() const { return !type_; }
  // Takes the exception being raised: keeps it if the slot is empty,
  // otherwise discards it. The error indicator is cleared either way.
  void keep_current() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type_) {
      // Normalised, with its traceback, so that it can also serve as the
      // context of another error.
      PyErr_NormalizeException(&type, &value, &tb);
      if (tb && value) PyException_SetTraceback(value, tb);
      type_ = Ref::steal(type);
      value_ = Ref::steal(value);
      tb_ = Ref::steal(tb);
    } else {
      // Discarded.
      Ref::steal(type);
      Ref::steal(value);
      Ref::steal(tb);
    }
  }
  // Raises the kept error (emptying the slot). False when there was none.
  bool restore() {
    if (!type_) return false;
    PyErr_Restore(type_.release(), value_.release(), tb_.release());
    return true;
  }
  // Makes the kept error, which will not be raised, the context of the
  // exception being raised, unless that one has a context already (or the
  // link would close a loop). Empties the slot.
  void become_context() {
    Ref lost = std::move(value_);
    clear();
    if (!lost) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && PyExceptionInstance_Check(lost.get())) {
      Ref existing = Ref::steal(PyException_GetContext(value));
      // A chain of contexts may itself have been made into a loop by hand:
      // the walk gives up (and links nothing) after a bounded number of steps.
      bool linkable = !existing;
      Ref link = Ref::borrow(lost.get());
      for (int steps = 0; link && linkable; link = Ref::steal(PyException_GetContext(link.get()))) {
        linkable = link.get() != value && ++steps < 1000;
      }
      if (linkable) PyException_SetContext(value, lost.release());
    }
    if (tb && value) PyException_SetTraceback(value, tb);
    PyErr_Restore(type, value, tb);
  }
  // Moves the kept error out (for a lock-guarded slot).
  FirstError take() { return std::move(*this); }
  void clear() {
    type_.reset();
    value_.reset();
    tb_.reset();
  }

 private:
  Ref type_, value_, tb_;
};

// A fixed text (a key or a name written as a literal in this module) as an
// interned string: one object per literal, made on first use and kept for
// the life of the process. Only literals come here, so the table stays small.
inline Ref interned(const char* literal) {
  struct Entry {
    const char* literal;
    PyObject* object;
  };
  constexpr std::size_t kSlots = 128;
  static Entry table[kSlots];
  std::size_t h = (reinterpret_cast<std::uintptr_t>(literal) >> 3) % kSlots;
  for (std::size_t probe = 0; probe < kSlots; ++probe, h = (h + 1) % kSlots) {
    Entry& e = table[h];
    if (e.literal == literal) return Ref::borrow(e.object);
    if (!e.literal) {
      PyObject* o = PyUnicode_InternFromString(literal);
      if (o) e = {literal, o};
      return Ref::borrow(o);
    }
  }
  return Ref::steal(PyUnicode_InternFromString(literal));
}

}  // namespace vantorel::python
