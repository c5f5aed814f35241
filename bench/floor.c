/* The floor for evaluate() benchmarks: a C function that takes the same
 * arguments as PolicyEngine.evaluate (event_type, fields), checks them,
 * walks the dict reading each key's UTF-8 text, and returns a new 7-key
 * dict shaped like an evaluation result. Built on the fly by
 * bench_evaluate.py; not part of the module. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject* keys[7];
static const char* key_names[7] = {
    "verdict", "reason",     "triggered_rules",      "eval_time_us",
    "actions", "violations", "constraint_violations"};

static PyObject* floor_call(PyObject* self, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
  (void)self;
  if (kwnames != NULL || nargs < 1 || nargs > 2) {
    PyErr_SetString(PyExc_TypeError, "floor(event_type, fields)");
    return NULL;
  }
  if (!PyUnicode_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "event_type must be str");
    return NULL;
  }
  Py_ssize_t size;
  if (PyUnicode_AsUTF8AndSize(args[0], &size) == NULL) return NULL;
  if (nargs == 2 && args[1] != Py_None) {
    if (!PyDict_Check(args[1])) {
      PyErr_SetString(PyExc_TypeError, "fields must be dict");
      return NULL;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(args[1], &pos, &key, &value)) {
      if (PyUnicode_AsUTF8AndSize(key, &size) == NULL) return NULL;
    }
  }
  PyObject* result = PyDict_New();
  if (result == NULL) return NULL;
  PyObject* values[7] = {PyUnicode_FromString("allow"),
                         Py_NewRef(Py_None),
                         PyList_New(0),
                         PyLong_FromUnsignedLongLong(0),
                         PyList_New(0),
                         PyList_New(0),
                         PyList_New(0)};
  int failed = 0;
  for (int i = 0; i < 7; ++i) {
    if (values[i] == NULL || PyDict_SetItem(result, keys[i], values[i]) < 0)
      failed = 1;
    Py_XDECREF(values[i]);
  }
  if (failed) {
    Py_DECREF(result);
    return NULL;
  }
  return result;
}

static PyMethodDef methods[] = {
    {"floor", (PyCFunction)(void (*)(void))floor_call,
     METH_FASTCALL | METH_KEYWORDS, "The benchmark floor."},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_bench_floor", NULL,
                                    0, methods};

PyMODINIT_FUNC PyInit__bench_floor(void) {
  for (int i = 0; i < 7; ++i) {
    keys[i] = PyUnicode_InternFromString(key_names[i]);
    if (keys[i] == NULL) return NULL;
  }
  return PyModule_Create(&module);
}
