// The module _corvanth_core: single-phase initialisation, one module object
// per process, bound to the first interpreter that loads it.

#include <Python.h>

#include <cstdint>

#include "binding_messages.h"
#include "py_policy_engine.h"
#include "py_ref.h"

namespace corvanth_core {

namespace {

constexpr char kModuleDoc[] =
    "Native core of the Corvanth policy-verification library.";
// From pyproject.toml, through the build (CMakeLists.txt).
constexpr char kVersion[] = CORVANTH_VERSION;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    kModuleDoc,
    0,  // no per-module state
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module is built once and cached; interpreter ids are never reused,
// unlike the addresses of interpreter states.
PyObject* g_module = nullptr;
std::int64_t g_interpreter_id = -1;

// Adds `value` (a new reference, stolen) as attribute `name` and appends the
// name to __all__, creating the list when it is missing.
bool add_public(PyObject* module, const char* name, PyObject* value) noexcept {
  PyRef owned(value);
  if (!owned) return false;
  PyObject* all = PyDict_GetItemString(PyModule_GetDict(module),
                                       "__all__");  // borrowed
  if (all == nullptr) {
    PyRef fresh(PyList_New(0));
    if (!fresh || PyModule_AddObjectRef(module, "__all__", fresh.get()) < 0) {
      return false;
    }
    all = fresh.get();  // the module now holds a reference
  }
  PyRef name_str(PyUnicode_FromString(name));
  return name_str && PyModule_AddObjectRef(module, name, owned.get()) == 0 &&
         PyList_Append(all, name_str.get()) == 0;
}

PyObject* create_module() noexcept {
  PyRef module(PyModule_Create(&g_module_def));
  if (!module || !add_public(module.get(), kTypeName, policy_engine_type()) ||
      !add_public(module.get(), "__version__",
                  PyUnicode_FromString(kVersion))) {
    return nullptr;
  }
  return module.release();
}

}  // namespace

}  // namespace corvanth_core

PyMODINIT_FUNC PyInit__corvanth_core(void) {
  using namespace corvanth_core;
  const std::int64_t interpreter_id =
      PyInterpreterState_GetID(PyInterpreterState_Get());
  if (g_module == nullptr) {
    g_module = create_module();  // kept for the life of the process
    if (g_module == nullptr) return nullptr;
    g_interpreter_id = interpreter_id;
  }
  if (interpreter_id != g_interpreter_id) {
    raise_error(PyExc_ImportError, subinterpreter_message());
    return nullptr;
  }
  return Py_NewRef(g_module);
}
