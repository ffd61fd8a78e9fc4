// Exception types of the module and the mapping of engine errors onto them.
#include <new>
#include <string>

#include "python/types.hpp"

namespace vantorel::python {

namespace {

constexpr const char* kEngineErrorDoc = "엔진 설정이 성립하지 않거나 요구 조건을 채울 수 없을 때 난다.";
constexpr const char* kInternalFaultDoc =
    "내부 불변식이 깨졌을 때 난다. 모듈의 결함이며 Exception 으로는 잡히지 않는다.";

// A process-wide exception type, made on first request. The interpreter lock
// is held throughout; should another thread have filled the slot meanwhile,
// its type is kept and ours dropped.
PyObject* cached_exception(PyObject*& slot, const char* name, const char* doc, PyObject* base) {
  if (slot) return slot;
  Ref made = Ref::steal(PyErr_NewExceptionWithDoc(name, doc, base, nullptr));
  if (!made) return nullptr;
  if (!slot) slot = made.release();
  return slot;
}

PyObject* g_engine_error = nullptr;
PyObject* g_internal_fault = nullptr;

}  // namespace

PyObject* internal_fault_type() {
  return cached_exception(g_internal_fault, "vantorel.InternalFault", kInternalFaultDoc, PyExc_BaseException);
}

PyObject* engine_error_type() {
  if (g_engine_error) return g_engine_error;
  if (cached_exception(g_engine_error, "vantorel.EngineError", kEngineErrorDoc, PyExc_Exception)) {
    return g_engine_error;
  }
  // A type that cannot be made at first use is a fault of the module itself.
  PyErr_Clear();
  raise_internal_fault("Failed to initialize new exception type.");
  return nullptr;
}

void raise_internal_fault(const char* text) {
  PyObject* type = internal_fault_type();
  if (!type) return;  // the error of making the type stays raised
  PyErr_SetString(type, text);
}

void to_py_err(Error error) {
  std::string message;
  try {
    message = error.message();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return;
  }
  PyObject* type = PyExc_ValueError;
  if (error.is_runtime()) {
    type = engine_error_type();
    if (!type) return;
  }
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) {
    // The message is built from UTF-8 texts only; failing to decode it means
    // the rendering itself went wrong.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return;
    PyErr_Clear();
    raise_internal_fault("a Display implementation returned an error unexpectedly");
    return;
  }
  PyErr_SetObject(type, text.get());
}

}  // namespace vantorel::python
