#pragma once
// The instances of the module's four classes: an object header, a borrow
// flag and the contents, a `Data` record that reports its Python references
// through `traverse` and drops them in `clear`. One set of slot functions
// and one type cache serve all four.
#include <new>
#include <utility>

#include "python/py.hpp"

namespace vantorel::python {

// An instance: the object header, the borrow flag, the contents.
template <class Data>
struct Instance {
  PyObject_HEAD
  BorrowFlag flag;
  Data data;
};

template <class Data>
Instance<Data>* as(PyObject* o) {
  return reinterpret_cast<Instance<Data>*>(o);
}

// A new instance of `type` whose contents are made from `src`, which are left
// untouched if the instance cannot be made. Nothing between the allocation
// and the construction of the contents can start a collection.
template <class Data, class... Src>
Ref make_instance(PyTypeObject* type, Src&&... src) {
  if (!type) return {};
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref obj = Ref::steal(alloc(type, 0));
  if (!obj) return {};
  auto* self = as<Data>(obj.get());
  new (&self->flag) BorrowFlag{};
  new (&self->data) Data{std::forward<Src>(src)...};
  return obj;
}

// Serves a read of an instance's contents under shared access.
template <class Data, class Read>
PyObject* read_shared(PyObject* o, Read&& read) {
  auto* self = as<Data>(o);
  auto g = SharedGuard::take(self->flag);
  if (!g) return nullptr;
  return read(self->data);
}

template <class Data>
int tp_traverse(PyObject* o, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(o));
  return as<Data>(o)->data.traverse([&](PyObject* obj) -> int {
    Py_VISIT(obj);
    return 0;
  });
}

template <class Data>
int tp_clear(PyObject* o) {
  as<Data>(o)->data.clear();
  return 0;
}

template <class Data>
void tp_dealloc(PyObject* o) {
  PyTypeObject* type = Py_TYPE(o);
  // Instances of a heap type own a reference to it; dropped last.
  Ref type_ref = Ref::steal(reinterpret_cast<PyObject*>(type));
  PyObject_GC_UnTrack(o);
  as<Data>(o)->data.~Data();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(o);
}

// A process-wide type, made on first request and never freed. Should another
// thread have filled the slot meanwhile, its type is kept and ours dropped.
inline PyTypeObject* cached_type(PyTypeObject*& slot, PyType_Spec& type_spec) {
  if (slot) return slot;
  Ref made = Ref::steal(PyType_FromSpec(&type_spec));
  if (!made) return nullptr;
  if (!slot) slot = reinterpret_cast<PyTypeObject*>(made.release());
  return slot;
}

}  // namespace vantorel::python
