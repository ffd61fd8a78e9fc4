// The module vantorel: its initialisation and the function tail_mass.
#include <cstdint>
#include <new>
#include <optional>

#include "budget/budget.hpp"
#include "python/arrow_writer.hpp"
#include "python/engine.hpp"
#include "python/types.hpp"

namespace vantorel::python {

namespace {

constexpr const char* kVersion = "0.1.0";
constexpr const char* kStatus = "fusion, constraints, set objective, adaptive budget, and evidence are available";

// tail_mass(s, k, v): s by float conversion narrowed to 32 bits, k and v as
// unsigned 64-bit integers; a failed conversion names its parameter.
PyObject* py_tail_mass(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"s", "k", "v", nullptr};
  PyObject *s_obj = nullptr, *k_obj = nullptr, *v_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:tail_mass", const_cast<char**>(keywords), &s_obj, &k_obj,
                                   &v_obj)) {
    return nullptr;
  }
  float s = 0.0f;
  std::uint64_t k = 0, v = 0;
  if (!arg_f32(s_obj, "s", s) || !arg_u64(k_obj, "k", k) || !arg_u64(v_obj, "v", v)) return nullptr;
  // A large v takes long: pending signals (Ctrl-C) are looked at as it goes.
  std::optional<float> mass = vantorel::tail_mass(s, k, v, [] { return PyErr_CheckSignals() == 0; });
  if (!mass) return nullptr;
  return PyFloat_FromDouble(static_cast<double>(*mass));
}

PyMethodDef tail_mass_def = {
    "tail_mass",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_tail_mass)),
    METH_VARARGS | METH_KEYWORDS,
    "tail_mass(s, k, v)\n--\n\n"
    "상위 `k` 개 뒤에 남는 질량.\n\n"
    "엔진과 따로 쓸 수 있다. 같은 값이 캐시 크기 결정에도 쓰인다. 적중률은 이 식의 여집합이다.",
};

// Appends `name` to the module's __all__ (made empty on first use) and sets
// the attribute. Takes a borrowed `value`; nullptr means its making failed.
bool add(PyObject* module, const char* name, PyObject* value) {
  if (!value) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "'__all__' object cannot be converted to 'list'");
    return false;
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) != 0) return false;
  return PyObject_SetAttr(module, key.get(), value) == 0;
}

bool add_owned(PyObject* module, const char* name, Ref value) { return value && add(module, name, value.get()); }

PyObject* as_object(PyTypeObject* type) { return reinterpret_cast<PyObject*>(type); }

constexpr const char* kMsgSubinterpreter =
    "vantorel 은 주 인터프리터에서만 가져올 수 있다. 형 객체와 캐시를 프로세스 전체가 함께 쓴다";

PyObject* mark_exiting(PyObject*, PyObject*) {
  g_interpreter_exiting.store(true, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

PyMethodDef mark_exiting_def = {"_mark_exiting", mark_exiting, METH_NOARGS, nullptr};

// Registers, once per process, the atexit hook after which references are
// leaked rather than released (see g_interpreter_exiting). The hooks run
// before the interpreter starts ending the threads that remain.
bool watch_exit() {
  static bool registered = false;  // read and set under the interpreter lock
  if (registered) return true;
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  Ref hook = Ref::steal(PyCFunction_New(&mark_exiting_def, nullptr));
  if (!atexit || !hook) return false;
  Ref done = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  registered = static_cast<bool>(done);
  return registered;
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    raise_not_convertible(module, "module");
    return -1;
  }
  // The types and the cached Sequence class belong to the process, that is
  // to the main interpreter: another interpreter gets none of them.
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
    PyErr_SetString(PyExc_ImportError, kMsgSubinterpreter);
    return -1;
  }
  if (!watch_exit()) return -1;
  try {
    // tail_mass names the package, through which users (and pickle) reach it.
    Ref module_name = Ref::steal(PyUnicode_FromString("vantorel"));
    if (!module_name) return -1;
    const bool ok = add_owned(module, "__version__", Ref::steal(PyUnicode_FromString(kVersion))) &&
                    add_owned(module, "__status__", Ref::steal(PyUnicode_FromString(kStatus))) &&
                    add(module, "EngineError", engine_error_type()) &&
                    add(module, "Engine", as_object(engine_type())) &&
                    add(module, "Ranked", as_object(ranked_type())) &&
                    add(module, "Rejected", as_object(rejected_type())) &&
                    add(module, "Outcome", as_object(outcome_type())) &&
                    add_owned(module, "tail_mass",
                              Ref::steal(PyCFunction_NewEx(&tail_mass_def, module, module_name.get())));
    return ok ? 0 : -1;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
}

// Private: the rebuilders of pickled objects, named by the types' __reduce__,
// and the workers of vantorel.parallel and vantorel.arrow.
PyMethodDef private_functions[] = {
    {"_engine", restore_engine, METH_O, nullptr},
    {"_ranked", restore_ranked, METH_VARARGS, nullptr},
    {"_rejected", restore_rejected, METH_VARARGS, nullptr},
    {"_outcome", restore_outcome, METH_VARARGS, nullptr},
    {"_scan", scan_partial, METH_VARARGS, nullptr},
    {"_finish", finish_partial, METH_VARARGS, nullptr},
    {"_arrow_schema", arrow_schema, METH_VARARGS, nullptr},
    {"_arrow_stream", arrow_stream, METH_VARARGS, nullptr},
    {"_arrow_live", arrow_live, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vantorel._core",
    "",
    0,
    private_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

Ref private_function(const char* name) {
  Ref module = Ref::steal(PyImport_ImportModule("vantorel._core"));
  return module ? Ref::steal(PyObject_GetAttrString(module.get(), name)) : Ref{};
}

}  // namespace vantorel::python

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&vantorel::python::module_def); }
