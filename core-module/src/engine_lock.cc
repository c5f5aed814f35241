#include "engine_lock.h"

#include <exception>
#include <new>

namespace corvanth_core {

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    raise_error(PyExc_RuntimeError, internal_fault_message(fault.what()));
  } catch (...) {
    raise_error(PyExc_RuntimeError, unknown_fault_message());
  }
}

}  // namespace corvanth_core
