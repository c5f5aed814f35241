// EngineLock: the runtime engine of one PolicyEngine object behind a mutex
// with a poisoned flag, and guard_entry, the one place where C++ exceptions
// become Python exceptions.
//
//   PyObject* status(PyPolicyEngine* self) {
//     return guard_entry([&]() -> PyObject* {
//       std::string text;
//       if (!self->engine.run([&](PolicyEngine& e) { text = e.status().text();
//       }))
//         return nullptr;                   // "Engine lock poisoned"
//       return text_to_py(text);
//     });
//   }
//
// No Python code may run while the lock is held (not even an allocation of
// a Python object, which can start the cyclic collector and its finalizers):
// a call back into the same engine would otherwise wait for the lock for
// ever. Work passed to run() therefore touches C++ data only, and the
// poisoned error is raised after the mutex is released.
//
// An exception that escapes the work while the lock is held poisons the lock
// for good: the engine may be half-updated, so every later run() fails. The
// EngineLock owns the engine; it is neither copied nor moved.
#pragma once

#include <Python.h>

#include <memory>
#include <mutex>
#include <utility>

#include "binding_messages.h"
#include "halvo_runtime/policy_engine.h"

namespace corvanth_core {

class EngineLock {
 public:
  explicit EngineLock(
      std::unique_ptr<halvo_runtime::engine::PolicyEngine> engine) noexcept
      : engine_(std::move(engine)) {}
  EngineLock(const EngineLock&) = delete;
  EngineLock& operator=(const EngineLock&) = delete;

  // Runs work(engine) with the lock held and returns true. Returns false
  // with RuntimeError "Engine lock poisoned" set when the lock is poisoned.
  // An exception thrown by the work poisons the lock and propagates once the
  // lock is released. Called with the interpreter lock held; when another
  // thread holds the engine lock (a replay runs without the interpreter
  // lock), the wait happens without the interpreter lock, so that thread
  // can take it back: no thread ever waits for the engine lock while
  // holding the interpreter lock, and no order of calls can deadlock.
  template <class Work>
  bool run(Work&& work) {
    {
      std::unique_lock<std::mutex> hold(mutex_, std::try_to_lock);
      if (!hold.owns_lock()) {
        PyThreadState* state = PyEval_SaveThread();
        hold.lock();
        PyEval_RestoreThread(state);
      }
      if (!poisoned_) {
        try {
          std::forward<Work>(work)(*engine_);
        } catch (...) {
          poisoned_ = true;
          throw;
        }
        return true;
      }
    }
    raise_error(PyExc_RuntimeError, lock_poisoned_message());
    return false;
  }

  // The same, with the interpreter lock released for the whole call: the
  // engine lock is taken after releasing it and given up before taking it
  // back. For long work that touches no Python object.
  template <class Work>
  bool run_released(Work&& work) {
    bool poisoned = false;
    PyThreadState* state = PyEval_SaveThread();
    try {
      std::lock_guard<std::mutex> hold(mutex_);
      poisoned = poisoned_;
      if (!poisoned) {
        try {
          std::forward<Work>(work)(*engine_);
        } catch (...) {
          poisoned_ = true;
          throw;
        }
      }
    } catch (...) {
      PyEval_RestoreThread(state);
      throw;
    }
    PyEval_RestoreThread(state);
    if (!poisoned) return true;
    raise_error(PyExc_RuntimeError, lock_poisoned_message());
    return false;
  }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;
  std::unique_ptr<halvo_runtime::engine::PolicyEngine> engine_;
};

// Sets the Python exception for the C++ exception being handled; call it
// only from a catch block. std::bad_alloc becomes MemoryError, another
// std::exception a RuntimeError with its what() text, anything else a
// RuntimeError with a fixed text.
void raise_current_exception() noexcept;

// Runs `call`, which returns a new reference or nullptr with a Python
// exception set, and turns a C++ exception escaping it into a Python
// exception and nullptr. Every entry point from Python goes through here.
template <class Call>
PyObject* guard_entry(Call&& call) noexcept {
  try {
    return std::forward<Call>(call)();
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace corvanth_core
