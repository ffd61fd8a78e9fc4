/* The floor of stage 1: iterate a list of candidate dicts and read each
 * one's "id" and its two nested scores "a" and "b" (looked up and converted
 * to numbers), nothing else. Built by run_vs_heapq.py into a temporary
 * directory. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *k_id, *k_scores, *k_a, *k_b;

static PyObject* floor_read(PyObject* self, PyObject* list) {
  (void)self;
  if (!PyList_Check(list)) {
    PyErr_SetString(PyExc_TypeError, "a list is needed");
    return NULL;
  }
  Py_ssize_t n = PyList_GET_SIZE(list);
  double sum = 0.0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* d = PyList_GET_ITEM(list, i);
    PyObject* id = PyDict_GetItemWithError(d, k_id);
    PyObject* s = PyDict_GetItemWithError(d, k_scores);
    if (!id || !s) return NULL;
    PyObject* a = PyDict_GetItemWithError(s, k_a);
    PyObject* b = PyDict_GetItemWithError(s, k_b);
    if (!a || !b) return NULL;
    sum += (double)PyLong_AsUnsignedLongLong(id) + PyFloat_AsDouble(a) + PyFloat_AsDouble(b);
  }
  if (PyErr_Occurred()) return NULL;
  return PyFloat_FromDouble(sum);
}

static PyMethodDef methods[] = {{"read", floor_read, METH_O, NULL}, {NULL, NULL, 0, NULL}};
static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_floor", NULL, -1, methods};

PyMODINIT_FUNC PyInit__floor(void) {
  k_id = PyUnicode_InternFromString("id");
  k_scores = PyUnicode_InternFromString("scores");
  k_a = PyUnicode_InternFromString("a");
  k_b = PyUnicode_InternFromString("b");
  if (!k_id || !k_scores || !k_a || !k_b) return NULL;
  return PyModule_Create(&module);
}
