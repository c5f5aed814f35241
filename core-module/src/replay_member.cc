#include "replay_member.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "binding_messages.h"
#include "halvo_runtime/trace_replay.h"
#include "py_ref.h"
#include "result_dict.h"
#include "stack_guard.h"
#include "value_to_py.h"

namespace corvanth_core {
namespace {

using halvo_runtime::engine::PolicyEngine;
using halvo_runtime::engine::ReplaySummary;
using halvo_runtime::engine::TraceReplay;

// Python 3.13's json module names a trailing comma; the replay's texts of
// bad lines are those of the interpreter it runs in.
constexpr bool kTrailingCommaMessages = PY_VERSION_HEX >= 0x030D0000;

// Blocks a trace file is read by: memory stays flat however long it is.
constexpr std::size_t kBlockBytes = 1 << 20;

constexpr const char* kVerdictNames[] = {"allow", "deny", "audit", "redact"};

// Whether this thread's stack has room for the values the engine holds;
// RecursionError if not.
bool replay_fits(PyPolicyEngine* self) {
  if (stack_allows(self->held_depths.deepest())) return true;
  raise_error(PyExc_RecursionError, held_values_too_deep_message());
  return false;
}

// The nesting a line may have: what the interpreter's json module reads
// under its recursion limit, within what this thread's stack holds.
int line_nesting() {
  std::size_t nesting = static_cast<std::size_t>(Py_GetRecursionLimit());
  while (nesting > 1 && !stack_allows(nesting)) nesting /= 2;
  return static_cast<int>(nesting);
}

// Puts key -> value into `dict`, stealing both new references.
bool put(PyObject* dict, PyObject* key, PyObject* value) {
  PyRef k(key), v(value);
  return k && v && PyDict_SetItem(dict, k.get(), v.get()) == 0;
}

bool put(PyObject* dict, const char* key, PyObject* value) {
  PyRef v(value);
  return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

PyObject* name_counts(
    const std::vector<std::pair<halvo::SmallString, std::uint64_t>>& counts) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, n] : counts) {
    if (!put(dict.get(), text_to_py(name.view()),
             PyLong_FromUnsignedLongLong(n))) {
      return nullptr;
    }
  }
  return dict.release();
}

// The list of where each evaluated event came from: {"line", "type",
// "timestamp_ms"} (None when the line had none).
PyObject* event_lines(const TraceReplay& replay) {
  const auto& events = replay.events();
  PyRef list(PyList_New(static_cast<Py_ssize_t>(events.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < events.size(); ++i) {
    PyRef entry(PyDict_New());
    PyObject* stamp = events[i].timestamp
                          ? PyLong_FromUnsignedLongLong(*events[i].timestamp)
                          : Py_NewRef(Py_None);
    if (!entry ||
        !put(entry.get(), "line",
             PyLong_FromUnsignedLongLong(events[i].line)) ||
        !put(entry.get(), "type", text_to_py(events[i].type.view())) ||
        !put(entry.get(), "timestamp_ms", stamp)) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
  }
  return list.release();
}

// The summary dict of a finished replay.
PyObject* summary_dict(PyPolicyEngine* self, const TraceReplay& replay,
                       bool with_results, bool with_lines) {
  const ReplaySummary& summary = replay.summary();
  PyRef dict(PyDict_New());
  PyRef verdicts(PyDict_New());
  PyRef rules(PyDict_New());
  PyRef bad(PyList_New(static_cast<Py_ssize_t>(summary.bad_lines.size())));
  if (!dict || !verdicts || !rules || !bad) return nullptr;
  for (std::size_t v = 0; v < summary.verdicts.size(); ++v) {
    if (!put(verdicts.get(), kVerdictNames[v],
             PyLong_FromUnsignedLongLong(summary.verdicts[v]))) {
      return nullptr;
    }
  }
  for (const auto& [id, n] : summary.rules) {
    if (!put(rules.get(), PyLong_FromUnsignedLong(id),
             PyLong_FromUnsignedLongLong(n))) {
      return nullptr;
    }
  }
  for (std::size_t i = 0; i < summary.bad_lines.size(); ++i) {
    PyRef entry(PyDict_New());
    if (!entry ||
        !put(entry.get(), "line",
             PyLong_FromUnsignedLongLong(summary.bad_lines[i].line)) ||
        !put(entry.get(), "error", text_to_py(summary.bad_lines[i].error))) {
      return nullptr;
    }
    PyList_SET_ITEM(bad.get(), static_cast<Py_ssize_t>(i), entry.release());
  }
  if (!put(dict.get(), "events", PyLong_FromUnsignedLongLong(summary.events)) ||
      !put(dict.get(), "verdicts", verdicts.release()) ||
      !put(dict.get(), "rules", rules.release()) ||
      !put(dict.get(), "invariants", name_counts(summary.invariants)) ||
      !put(dict.get(), "limits", name_counts(summary.limits)) ||
      !put(dict.get(), "bad_lines", bad.release())) {
    return nullptr;
  }
  if (with_results) {
    const auto& results = replay.results();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(results.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < results.size(); ++i) {
      PyObject* item = result_to_dict(results[i], &self->names);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    if (!put(dict.get(), "results", list.release())) return nullptr;
  }
  if (with_lines && !put(dict.get(), "lines", event_lines(replay))) {
    return nullptr;
  }
  return dict.release();
}

// Runs `read(replay)` with the interpreter lock released and the engine
// lock held, then notes the depths of the values set and builds the
// summary. `read` feeds the trace to the replay.
template <class Read>
PyObject* run_replay(PyPolicyEngine* self, PyObject* results, PyObject* lines,
                     Read&& read) {
  const int with_results =
      PyObject_IsTrue(results == nullptr ? Py_False : results);
  if (with_results < 0) return nullptr;
  const int with_lines = PyObject_IsTrue(lines == nullptr ? Py_False : lines);
  if (with_lines < 0) return nullptr;
  const bool keep = with_results == 1 || with_lines == 1;
  if (!replay_fits(self)) return nullptr;
  std::optional<TraceReplay> replay;
  const int nesting = line_nesting();
  const bool ran = self->engine.run_released([&](PolicyEngine& engine) {
    // The field use never changes after construction: reading it
    // without the interpreter lock is safe.
    replay.emplace(engine, keep, nesting, kTrailingCommaMessages,
                   &engine.field_use());
    read(*replay);
    replay->finish();
  });
  if (!ran) return nullptr;
  for (const auto& change : replay->held_changes()) {
    self->held_depths.add(change.depth);
    if (change.replacing) self->held_depths.remove(change.replaced_depth);
  }
  return summary_dict(self, *replay, with_results == 1, with_lines == 1);
}

}  // namespace

PyObject* replay_bytes(PyPolicyEngine* self, PyObject* trace, PyObject* results,
                       PyObject* lines) {
  // The bytes object is immutable and the caller's reference keeps it alive
  // while the interpreter lock is released.
  const std::string_view data(
      PyBytes_AS_STRING(trace),
      static_cast<std::size_t>(PyBytes_GET_SIZE(trace)));
  return run_replay(self, results, lines,
                    [&](TraceReplay& replay) { replay.feed(data); });
}

PyObject* replay_path(PyPolicyEngine* self, PyObject* path, PyObject* results,
                      PyObject* lines) {
  PyObject* encoded_raw = nullptr;
  if (PyUnicode_FSConverter(path, &encoded_raw) == 0) return nullptr;
  PyRef encoded(encoded_raw);  // a new bytes object
  const std::string name(
      PyBytes_AS_STRING(encoded.get()),
      static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  int failure = 0;  // errno of opening or reading the file
  PyObject* summary =
      run_replay(self, results, lines, [&](TraceReplay& replay) {
        const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
          failure = errno;
          return;
        }
        const std::unique_ptr<char[]> block(new char[kBlockBytes]);
        for (;;) {
          const ssize_t got = ::read(fd, block.get(), kBlockBytes);
          if (got < 0 && errno == EINTR) continue;
          if (got < 0) failure = errno;
          if (got <= 0) break;
          replay.feed(
              std::string_view(block.get(), static_cast<std::size_t>(got)));
        }
        ::close(fd);
      });
  if (summary == nullptr || failure == 0) return summary;
  Py_DECREF(summary);
  errno = failure;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
  return nullptr;
}

}  // namespace corvanth_core
