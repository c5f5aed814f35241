#include "py_policy_engine.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "arg_parser.h"
#include "binding_messages.h"
#include "decider.h"
#include "diagnostics_list.h"
#include "event_fields.h"
#include "halvo_compiler/bytecode.h"
#include "halvo_compiler/policy_diagnostics.h"
#include "halvo_compiler/policy_reader.h"
#include "halvo_compiler/policy_writer.h"
#include "halvo_runtime/clock.h"
#include "halvo_runtime/event.h"
#include "halvo_runtime/explain_trace.h"
#include "halvo_runtime/snapshot.h"
#include "halvo_runtime/value_depth.h"
#include "load_error.h"
#include "py_ref.h"
#include "py_to_value.h"
#include "replay_member.h"
#include "result_dict.h"
#include "stack_guard.h"
#include "trace_dict.h"
#include "value_to_py.h"

namespace corvanth_core {

using halvo::SmallString;
using halvo_compiler::ir::CompiledPolicy;
using halvo_runtime::engine::PolicyEngine;
using halvo_runtime::engine::PolicyResult;
using halvo_runtime::engine::read_snapshot;
using halvo_runtime::engine::write_snapshot;
using halvo_runtime::event::Event;
using halvo_runtime::event::EventFieldUse;
using halvo_runtime::event::Value;

namespace {

// Created once and kept for the life of the process (the module is bound to
// one interpreter).
PyTypeObject* g_type = nullptr;

PyPolicyEngine* as_engine(PyObject* self) noexcept {
  // CPython's method descriptors have already checked the receiver's type.
  return reinterpret_cast<PyPolicyEngine*>(self);
}

// --- typed implementations -------------------------------------------------

// Common construction: copy the name, hand the policy to a new engine, then
// allocate the object, so that a failure leaves no half-built object behind.
// `skipped` are the keys the reader passed over, kept for diagnostics().
PyObject* wrap_policy(CompiledPolicy policy,
                      std::vector<halvo_compiler::SkippedKey> skipped = {}) {
  std::string name(policy.name.view());
  auto engine = std::make_unique<PolicyEngine>(std::move(policy));
  ResultNames names;
  if (!names.build(engine->policy())) return nullptr;
  PyObject* object = g_type->tp_alloc(g_type, 0);  // new reference, zeroed
  if (object == nullptr) return nullptr;
  PyPolicyEngine* self = as_engine(object);
  // The moves are noexcept, so the object is never left half-constructed.
  new (&self->policy_name) std::string(std::move(name));
  const EventFieldUse& engine_use = engine->field_use();
  new (&self->engine) EngineLock(std::move(engine));
  new (&self->names) ResultNames(std::move(names));
  new (&self->skipped_keys)
      std::vector<halvo_compiler::SkippedKey>(std::move(skipped));
  new (&self->scratch) ScratchSlot();
  // The engine is on the heap: its field use stays where it is.
  new (&self->field_keys) FieldKeys(engine_use);
  new (&self->held_depths) HeldDepths();
  new (&self->held_strings) HeldStrings();
  return object;
}

// Releases the interpreter lock for its lifetime and takes it back on every
// way out, a thrown std::bad_alloc included.
class InterpreterLockRelease {
 public:
  InterpreterLockRelease() noexcept : state_(PyEval_SaveThread()) {}
  InterpreterLockRelease(const InterpreterLockRelease&) = delete;
  InterpreterLockRelease& operator=(const InterpreterLockRelease&) = delete;
  ~InterpreterLockRelease() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// The JSON error inside a container error, if the payload was reached.
const halvo_compiler::ReadError* payload_error(
    const halvo_compiler::bytecode::BytecodeError& error) {
  using Kind = halvo_compiler::bytecode::BytecodeError::Kind;
  return error.kind == Kind::Serialization ? &error.read_error : nullptr;
}

// The bytes of a file name given as str, bytes or os.PathLike, and the
// name as a str for messages. False with the exception set.
bool file_name(PyObject* path, std::string& native, PyRef& shown) {
  PyRef name(PyOS_FSPath(path));  // a new str or bytes
  if (!name) return false;
  PyRef encoded;
  if (PyBytes_Check(name.get())) {
    encoded = PyRef(Py_NewRef(name.get()));
    shown = PyRef(PyUnicode_DecodeFSDefaultAndSize(
        PyBytes_AS_STRING(name.get()), PyBytes_GET_SIZE(name.get())));
  } else {
    // The file system encoding with surrogateescape gives back the bytes
    // of any name that os.listdir can return.
    encoded = PyRef(PyUnicode_EncodeFSDefault(name.get()));
    shown = PyRef(Py_NewRef(name.get()));
  }
  if (!encoded || !shown) return false;
  native.assign(PyBytes_AS_STRING(encoded.get()),
                static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  return true;
}

PyObject* from_file(PyObject* path) {
  std::string native;
  PyRef shown;
  if (!file_name(path, native, shown)) return nullptr;
  struct stat info;
  // A name with a NUL byte cannot name a file; the system call would only
  // see the part before it.
  if (native.find('\0') != std::string::npos ||
      ::stat(native.c_str(), &info) != 0) {
    raise_error(PyExc_FileNotFoundError,
                policy_file_not_found_message(shown.get()));
    return nullptr;
  }
  // Reading a pipe or a slow device blocks until its writer has sent the
  // whole container; the writer may be a thread of this process, so the
  // interpreter lock is released meanwhile. The read touches no Python
  // object: the path and the skipped keys are native.
  std::vector<halvo_compiler::SkippedKey> skipped;
  auto read = [&] {
    const InterpreterLockRelease unlocked;
    return halvo_compiler::bytecode::read_file(native, &skipped);
  }();
  if (!read) {
    raise_load_error(PyExc_RuntimeError,
                     load_policy_failed_message(read.error().text()),
                     payload_error(read.error()));
    return nullptr;
  }
  return wrap_policy(std::move(read).value(), std::move(skipped));
}

PyObject* from_bytes(PyObject* data) {
  const std::string_view bytes(
      PyBytes_AS_STRING(data),
      static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
  std::vector<halvo_compiler::SkippedKey> skipped;
  auto read = halvo_compiler::bytecode::from_bytecode(bytes, &skipped);
  if (!read) {
    raise_load_error(PyExc_RuntimeError,
                     parse_policy_bytes_failed_message(read.error().text()),
                     payload_error(read.error()));
    return nullptr;
  }
  return wrap_policy(std::move(read).value(), std::move(skipped));
}

PyObject* from_json(PyObject* json_str) {
  std::string_view text;
  if (!utf8_text(json_str, text)) return nullptr;
  std::vector<halvo_compiler::SkippedKey> skipped;
  auto read = halvo_compiler::read_policy(text, &skipped);
  if (!read) {
    raise_load_error(PyExc_ValueError,
                     invalid_policy_json_message(read.error().text()),
                     &read.error());
    return nullptr;
  }
  return wrap_policy(std::move(read).value(), std::move(skipped));
}

// Whether this thread's stack has room to copy, compare, give back and
// replace the values the engine holds (its context and configuration; the
// storage of an evaluation is emptied when the call ends); raises
// RecursionError if not.
bool held_values_fit(PyPolicyEngine* self) {
  if (stack_allows(self->held_depths.deepest())) return true;
  raise_error(PyExc_RecursionError, held_values_too_deep_message());
  return false;
}

}  // namespace

PyObject* evaluate_event(PyPolicyEngine* self, std::string_view type_text,
                         std::uint64_t timestamp, PyObject* fields, Reply reply,
                         bool* has_actions) {
  if (!held_values_fit(self)) return nullptr;
  const ScratchLease lease(self->scratch);
  Event& event = lease->event;
  event.reset(type_text, timestamp);
  // Every conversion, which may run Python code, happens before the lock.
  if (fields != nullptr && fields != Py_None &&
      !fill_event_fields(fields, event, self->field_keys, lease->sources)) {
    return nullptr;
  }
  // Searched while the result is built, which runs no Python code that
  // could set a context value and drop a held str.
  lease->sources.also_search(&self->held_strings);
  PolicyResult& result = lease->result;
  const bool ran = self->engine.run([&](PolicyEngine& engine) {
#ifdef CORVANTH_FAULT_INJECTION
    if (event.event_type() == kInjectFaultEventType) {
      throw std::logic_error(injected_fault_text());
    }
#endif
    engine.evaluate(event, result);
  });
  if (!ran) return nullptr;
  if (has_actions != nullptr) *has_actions = !result.actions.empty();
  if (reply == Reply::VerdictWhenPlain && result.actions.empty() &&
      result.verdict != halvo_runtime::engine::Verdict::Deny) {
    return verdict_name_to_py(result.verdict);
  }
  return result_to_dict(result, &self->names, &lease->sources);
}

namespace {

PyObject* evaluate(PyPolicyEngine* self, PyObject* event_type,
                   PyObject* fields) {
  std::string_view type_text;
  if (!utf8_text(event_type, type_text)) return nullptr;
  // Stamped now, before any field is converted.
  return evaluate_event(self, type_text, halvo_runtime::wall_clock_millis(),
                        fields, Reply::Dict);
}

// One of the engine's two maps of held values: how to set a key of it and
// how to read it.
struct HeldMap {
  void (PolicyEngine::*set)(SmallString, Value);
  const halvo_runtime::event::ValueMap& (PolicyEngine::*get)() const noexcept;
  HeldStrings::Map strings;  // where its str values are kept
};

constexpr HeldMap kContext{&PolicyEngine::set_context, &PolicyEngine::context,
                           HeldStrings::Map::Context};
constexpr HeldMap kConfig{&PolicyEngine::set_config, &PolicyEngine::config,
                          HeldStrings::Map::Config};

PyObject* store_value(PyPolicyEngine* self, PyObject* key, PyObject* value,
                      const HeldMap& held) {
  std::string_view key_text;
  if (!utf8_text(key, key_text)) return nullptr;
  SmallString name(key_text);
  if (!held_values_fit(self)) return nullptr;
  Value converted;
  if (!py_to_value(value, converted)) return nullptr;
  // A value the engine is to hold must fit the guard of later calls, here
  // and now at least.
  const std::size_t depth = halvo_runtime::event::nesting_depth(converted);
  if (!stack_allows(depth)) {
    raise_error(PyExc_RecursionError, nesting_too_deep_message());
    return nullptr;
  }
  const bool ran = self->engine.run([&](PolicyEngine& engine) {
    // Only the value replaced and the new one are measured, so a call costs
    // the same however many keys the map holds.
    const Value* replaced = (engine.*held.get)().find(name.view());
    const std::size_t replaced_depth =
        replaced == nullptr ? 0
                            : halvo_runtime::event::nesting_depth(*replaced);
    const bool replacing = replaced != nullptr;
    self->held_depths.add(depth);  // may throw; nothing changed yet
    try {
      (engine.*held.set)(std::move(name), std::move(converted));
    } catch (...) {
      self->held_depths.remove(depth);
      throw;
    }
    if (replacing) self->held_depths.remove(replaced_depth);
  });
  if (!ran) return nullptr;
  self->held_strings.set(held.strings, key_text, value);
  Py_RETURN_NONE;
}

PyObject* set_context(PyPolicyEngine* self, PyObject* key, PyObject* value) {
  return store_value(self, key, value, kContext);
}

PyObject* set_config(PyPolicyEngine* self, PyObject* key, PyObject* value) {
  return store_value(self, key, value, kConfig);
}

PyObject* reset(PyPolicyEngine* self) {
  if (!self->engine.run([](PolicyEngine& engine) { engine.reset(); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// --- members with explicit time ---------------------------------------------

constexpr Param kEvaluateAtParams[] = {{"timestamp_ms", ParamType::Index},
                                       {"event_type", ParamType::Text},
                                       {"fields", ParamType::DictOrNone}};
constexpr Param kResetAtParams[] = {{"timestamp_ms", ParamType::Index}};

constexpr Signature kEvaluateAt{"evaluate_at", kEvaluateAtParams, 2};
constexpr Signature kResetAt{"reset_at", kResetAtParams, 1};

PyObject* evaluate_at(PyPolicyEngine* self, PyObject* timestamp_ms,
                      PyObject* event_type, PyObject* fields) {
  std::uint64_t timestamp = 0;
  if (!uint64_argument(kEvaluateAt, "timestamp_ms", timestamp_ms, timestamp)) {
    return nullptr;
  }
  std::string_view type_text;
  if (!utf8_text(event_type, type_text)) return nullptr;
  return evaluate_event(self, type_text, timestamp, fields, Reply::Dict);
}

PyObject* reset_at(PyPolicyEngine* self, PyObject* timestamp_ms) {
  std::uint64_t started_at = 0;
  if (!uint64_argument(kResetAt, "timestamp_ms", timestamp_ms, started_at)) {
    return nullptr;
  }
  if (!self->engine.run(
          [&](PolicyEngine& engine) { engine.reset_at(started_at); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// --- the policy written back
// ---------------------------------------------------

// The canonical JSON of the engine's policy; false with the exception set
// when the lock is poisoned.
bool policy_json(PyPolicyEngine* self, std::string& json) {
  return self->engine.run([&](PolicyEngine& engine) {
    json = halvo_compiler::write_policy_json(engine.policy());
  });
}

PyObject* to_json(PyPolicyEngine* self) {
  std::string json;
  if (!policy_json(self, json)) return nullptr;
  return text_to_py(json);
}

// A new bytes object holding a version-1 container around `json`, or
// nullptr with OverflowError set when the text is too long for one.
PyObject* container_bytes(const std::string& json) {
  if (json.size() > halvo_compiler::bytecode::kMaxPayload) {
    raise_error(PyExc_OverflowError, container_too_large_message(json.size()));
    return nullptr;
  }
  const std::string bytes = halvo_compiler::bytecode::write_container(json);
  return PyBytes_FromStringAndSize(bytes.data(),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* to_bytes(PyPolicyEngine* self) {
  std::string json;
  if (!policy_json(self, json)) return nullptr;
  return container_bytes(json);
}

// --- explanations ----------------------------------------------------------

constexpr Param kExplainParams[] = {{"event_type", ParamType::Text},
                                    {"fields", ParamType::DictOrNone},
                                    {"timestamp_ms", ParamType::IndexOrNone}};
constexpr Signature kExplain{"explain", kExplainParams, 1};

PyObject* explain(PyPolicyEngine* self, PyObject* event_type, PyObject* fields,
                  PyObject* timestamp_ms) {
  if (!held_values_fit(self)) return nullptr;
  std::uint64_t timestamp = 0;
  const bool stamped = timestamp_ms != nullptr && timestamp_ms != Py_None;
  if (stamped &&
      !uint64_argument(kExplain, "timestamp_ms", timestamp_ms, timestamp)) {
    return nullptr;
  }
  std::string_view type_text;
  if (!utf8_text(event_type, type_text)) return nullptr;
  Event event = stamped ? Event(SmallString(type_text), timestamp)
                        : Event(SmallString(type_text));
  // Every conversion, which may run Python code, happens before the lock.
  if (fields != nullptr && fields != Py_None &&
      !fill_value_map(fields, event.fields())) {
    return nullptr;
  }
  halvo_runtime::engine::Explanation why;
  const bool ran = self->engine.run([&](PolicyEngine& engine) {
    why = halvo_runtime::engine::explain(engine, event);
  });
  if (!ran) return nullptr;
  PyRef dict(result_to_dict(why.result, &self->names));
  if (!dict) return nullptr;
  PyRef trace(trace_to_dict(why.trace, why.result, &self->names));
  if (!trace || PyDict_SetItemString(dict.get(), "trace", trace.get()) != 0) {
    return nullptr;
  }
  return dict.release();
}

// --- snapshots -------------------------------------------------------------

constexpr Param kSnapshotParams[] = {{"key", ParamType::BytesLikeOrNone}};
constexpr Signature kSnapshot{"snapshot", kSnapshotParams, 0, 0};
constexpr Param kRestoreParams[] = {{"data", ParamType::Bytes},
                                    {"key", ParamType::BytesLikeOrNone},
                                    {"max_bytes", ParamType::IndexOrNone}};
constexpr Signature kRestore{"restore", kRestoreParams, 1, 1};

// The bytes of a key argument (nullptr or None: no key), copied out of its
// buffer. False with the exception set: ValueError for an empty key.
bool key_argument(const Signature& signature, PyObject* key,
                  std::optional<std::string>& out) {
  if (key == nullptr || key == Py_None) return true;
  Py_buffer view;
  if (PyObject_GetBuffer(key, &view, PyBUF_SIMPLE) != 0) return false;
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};
  if (view.len == 0) {
    raise_error(PyExc_ValueError, empty_key_message(signature.member));
    return false;
  }
  out.emplace(static_cast<const char*>(view.buf),
              static_cast<std::size_t>(view.len));
  return true;
}

std::optional<std::string_view> as_view(const std::optional<std::string>& key) {
  if (!key) return std::nullopt;
  return std::string_view(*key);
}

PyObject* snapshot(PyPolicyEngine* self, PyObject* key) {
  std::optional<std::string> key_bytes;
  if (!key_argument(kSnapshot, key, key_bytes)) return nullptr;
  // Writing walks the held values once per level.
  if (!held_values_fit(self)) return nullptr;
  std::string bytes;
  const bool ran = self->engine.run([&](PolicyEngine& engine) {
    bytes = write_snapshot(engine, as_view(key_bytes));
  });
  if (!ran) return nullptr;
  return PyBytes_FromStringAndSize(bytes.data(),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

// Reads `bytes` into `engine` if they fit `limits`; the state is swapped in
// only once it is whole and checked, with the depths of what it holds.
// Runs under the lock. Returns the refusal, if any.
std::optional<halvo_runtime::engine::SnapshotError> put_back_state(
    PyPolicyEngine* self, PolicyEngine& engine, std::string_view bytes,
    std::optional<std::string_view> key,
    const halvo_runtime::engine::SnapshotLimits& limits) {
  auto state = read_snapshot(bytes, engine, key, limits);
  if (!state) return std::move(state).error();
  HeldDepths depths;  // counted before the swap, which cannot fail
  for (const auto* map : {&state.value().context, &state.value().config}) {
    for (const auto& entry : *map) {
      depths.add(halvo_runtime::event::nesting_depth(entry.value));
    }
  }
  engine.set_state(std::move(state).value());
  std::swap(self->held_depths, depths);
  return std::nullopt;
}

PyObject* restore(PyPolicyEngine* self, PyObject* data, PyObject* key,
                  PyObject* max_bytes) {
  const std::string_view bytes(
      PyBytes_AS_STRING(data),
      static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
  std::optional<std::string> key_bytes;
  if (!key_argument(kRestore, key, key_bytes)) return nullptr;
  halvo_runtime::engine::SnapshotLimits limits;
  limits.max_bytes =
      halvo_runtime::engine::default_snapshot_max_bytes(bytes.size());
  if (max_bytes != nullptr && max_bytes != Py_None) {
    std::uint64_t given = 0;
    if (!uint64_argument(kRestore, "max_bytes", max_bytes, given)) {
      return nullptr;
    }
    limits.max_bytes = static_cast<std::size_t>(given);
  }
  // The values are built, measured and later given back by recursions on
  // this thread; the decoder learns their depth before it builds any.
  limits.max_depth = stack_depth_budget();
  std::optional<halvo_runtime::engine::SnapshotError> refused;
  const bool ran = self->engine.run([&](PolicyEngine& engine) {
    refused = put_back_state(self, engine, bytes, as_view(key_bytes), limits);
  });
  if (!ran) return nullptr;
  if (refused) {
    using Kind = halvo_runtime::engine::SnapshotError::Kind;
    if (refused->kind == Kind::TooDeep) {
      raise_error(PyExc_RecursionError,
                  snapshot_too_deep_message(refused->text()));
    } else {
      raise_error(PyExc_ValueError, invalid_snapshot_message(refused->text()));
    }
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* diagnostics(PyPolicyEngine* self) {
  std::vector<halvo_compiler::Diagnostic> found;
  const bool ran = self->engine.run([&](PolicyEngine& engine) {
    found =
        halvo_compiler::diagnose_policy(engine.policy(), self->skipped_keys);
  });
  if (!ran) return nullptr;
  return diagnostics_to_py(found);
}

// --- copies and pickling ----------------------------------------------------
//
// A copy is the policy's canonical text read back plus the snapshot of the
// state, the same two pieces that a pickle carries, so the two roads meet.

constexpr Param kMemoParams[] = {{"memo", ParamType::DictOrNone}};
constexpr Signature kDeepCopy{"__deepcopy__", kMemoParams, 1};

// The canonical JSON and the snapshot, taken under one hold of the lock.
bool policy_and_state(PyPolicyEngine* self, std::string& json,
                      std::string& state) {
  // The snapshot walks the held values once per level.
  if (!held_values_fit(self)) return false;
  return self->engine.run([&](PolicyEngine& engine) {
    json = halvo_compiler::write_policy_json(engine.policy());
    state = write_snapshot(engine);
  });
}

PyObject* copy_engine(PyPolicyEngine* self) {
  std::string json, state;
  if (!policy_and_state(self, json, state)) return nullptr;
  auto read = halvo_compiler::read_policy(json);
  if (!read) throw std::logic_error(canonical_text_unreadable_text());
  PyRef copy(wrap_policy(std::move(read).value(), self->skipped_keys));
  if (!copy) return nullptr;
  // The state comes from this process; only its depth can refuse it, when
  // decoding it needs more stack than this thread has.
  PyPolicyEngine* target = as_engine(copy.get());
  halvo_runtime::engine::SnapshotLimits limits;
  limits.max_depth = stack_depth_budget();
  bool too_deep = false;
  const bool ran = target->engine.run([&](PolicyEngine& engine) {
    auto refused = put_back_state(target, engine, state, std::nullopt, limits);
    if (!refused) return;
    too_deep =
        refused->kind == halvo_runtime::engine::SnapshotError::Kind::TooDeep;
    if (!too_deep) throw std::logic_error(refused->text());
  });
  if (!ran) return nullptr;
  if (too_deep) {
    raise_error(PyExc_RecursionError, held_values_too_deep_message());
    return nullptr;
  }
  return copy.release();
}

PyObject* deep_copy_engine(PyPolicyEngine* self, PyObject* /*memo*/) {
  // The engine holds no Python objects, so a deep copy is a copy.
  return copy_engine(self);
}

// (PolicyEngine.from_bytes, (container,), snapshot, None, None,
// PolicyEngine.restore): unpickling loads the container and restores the
// snapshot into the new engine.
PyObject* reduce_engine(PyPolicyEngine* self) {
  std::string json, state;
  if (!policy_and_state(self, json, state)) return nullptr;
  PyRef data(container_bytes(json));
  if (!data) return nullptr;
  PyObject* type = reinterpret_cast<PyObject*>(g_type);
  PyRef load(PyObject_GetAttrString(type, "from_bytes"));
  PyRef put_back(PyObject_GetAttrString(type, "restore"));
  PyRef snapshot(PyBytes_FromStringAndSize(
      state.data(), static_cast<Py_ssize_t>(state.size())));
  if (!load || !put_back || !data || !snapshot) return nullptr;
  PyRef args(PyTuple_Pack(1, data.get()));
  if (!args) return nullptr;
  return PyTuple_Pack(6, load.get(), args.get(), snapshot.get(), Py_None,
                      Py_None, put_back.get());
}

PyObject* status(PyPolicyEngine* self) {
  std::string text;
  const bool ran = self->engine.run(
      [&](PolicyEngine& engine) { text = engine.status().text(); });
  if (!ran) return nullptr;
  return text_to_py(text);
}

PyObject* policy_name(PyPolicyEngine* self) {
  return text_to_py(self->policy_name);
}

PyObject* event_count(PyPolicyEngine* self) {
  std::uint64_t count = 0;
  const bool ran = self->engine.run(
      [&](PolicyEngine& engine) { count = engine.event_count(); });
  if (!ran) return nullptr;
  return PyLong_FromUnsignedLongLong(count);
}

PyObject* repr(PyPolicyEngine* self) {
  std::string text;
  const bool ran = self->engine.run([&](PolicyEngine& engine) {
    text = engine_repr_text(self->policy_name, engine.event_count());
  });
  if (!ran) return nullptr;
  return text_to_py(text);
}

// --- C-API entry points ------------------------------------------------------
//
// Each one only unpacks its arguments and calls the typed implementation
// inside guard_entry, so no C++ exception reaches the interpreter.

template <auto kImpl, std::size_t... kIndex>
PyObject* call_with(PyObject* self, PyObject* const* slots,
                    std::index_sequence<kIndex...>) {
  if constexpr (std::is_invocable_v<decltype(kImpl), PyPolicyEngine*,
                                    decltype(slots[kIndex])...>) {
    return kImpl(as_engine(self), slots[kIndex]...);
  } else {
    // A static method: CPython passes no receiver.
    return kImpl(slots[kIndex]...);
  }
}

template <const Signature& kSignature, auto kImpl>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) noexcept {
  constexpr std::size_t kCount = kSignature.params.size();
  std::array<PyObject*, kCount> slots{};  // borrowed references
  if (!parse_arguments(kSignature, args, nargs, kwnames, slots.data())) {
    return nullptr;
  }
  return guard_entry([&] {
    return call_with<kImpl>(self, slots.data(),
                            std::make_index_sequence<kCount>{});
  });
}

template <auto kImpl>
PyObject* noargs_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  return guard_entry([&] { return kImpl(as_engine(self)); });
}

template <auto kImpl>
PyObject* getter_entry(PyObject* self, void* /*closure*/) noexcept {
  return guard_entry([&] { return kImpl(as_engine(self)); });
}

PyObject* repr_entry(PyObject* self) noexcept {
  return guard_entry([&] { return repr(as_engine(self)); });
}

PyObject* new_entry(PyTypeObject* type, PyObject* /*args*/,
                    PyObject* /*kwargs*/) noexcept {
  raise_error(PyExc_TypeError, no_constructor_message(type->tp_name));
  return nullptr;
}

void dealloc_entry(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  PyPolicyEngine* self = as_engine(object);
  // The keys refer to the engine's field use: they go first.
  self->field_keys.~FieldKeys();
  self->engine.~EngineLock();
  self->names.~ResultNames();
  self->skipped_keys.~vector();
  self->scratch.~ScratchSlot();
  self->held_depths.~HeldDepths();
  self->held_strings.~HeldStrings();
  self->policy_name.~basic_string();
  type->tp_free(object);
  // An instance of a heap type owns a reference to its type.
  Py_DECREF(type);
}

// --- signatures, docstrings and tables -------------------------------------

constexpr Param kPathParams[] = {{"path", ParamType::Path}};
constexpr Param kDataParams[] = {{"data", ParamType::Bytes}};
constexpr Param kJsonParams[] = {{"json_str", ParamType::Text}};
constexpr Param kEvaluateParams[] = {{"event_type", ParamType::Text},
                                     {"fields", ParamType::DictOrNone}};
constexpr Param kKeyValueParams[] = {{"key", ParamType::Text},
                                     {"value", ParamType::Any}};

constexpr Signature kFromFile{"from_file", kPathParams, 1};
constexpr Signature kFromBytes{"from_bytes", kDataParams, 1};
constexpr Signature kFromJson{"from_json", kJsonParams, 1};
constexpr Signature kEvaluate{"evaluate", kEvaluateParams, 1};
constexpr Signature kSetContext{"set_context", kKeyValueParams, 2};
constexpr Signature kSetConfig{"set_config", kKeyValueParams, 2};

constexpr char kClassDoc[] =
    "The Corvanth policy engine.\n"
    "\n"
    "Load a compiled policy and evaluate agent events against it.\n"
    "\n"
    "Example:\n"
    "    engine = PolicyEngine.from_file(\"guard.halvoc\")\n"
    "    result = engine.evaluate(\"tool_call\", {\"tool\": \"http_request\", "
    "\"url\": \"https://example.com\"})\n"
    "    if result[\"verdict\"] == \"deny\":\n"
    "        raise PermissionError(result[\"reason\"])";

constexpr char kFromFileDoc[] =
    "from_file(path)\n--\n\nLoad a policy engine from a compiled .halvoc "
    "file.";
constexpr char kFromBytesDoc[] =
    "from_bytes(data)\n--\n\nLoad a policy engine from raw .halvoc bytes.";
constexpr char kFromJsonDoc[] =
    "from_json(json_str)\n--\n\nLoad a policy engine from a JSON string "
    "(debug format).";
constexpr char kEvaluateDoc[] =
    "evaluate($self, event_type, fields=None)\n"
    "--\n"
    "\n"
    "Evaluate an event against the policy.\n"
    "\n"
    "Args:\n"
    "    event_type: The event type string (e.g., \"tool_call\", "
    "\"data_access\")\n"
    "    fields: A dict of event fields\n"
    "\n"
    "Returns:\n"
    "    A dict with keys: verdict, reason, triggered_rules, actions,\n"
    "    violations, constraint_violations, eval_time_us";
constexpr char kSetContextDoc[] =
    "set_context($self, key, value)\n--\n\nSet a persistent context value.";
constexpr char kSetConfigDoc[] =
    "set_config($self, key, value)\n--\n\nSet a policy configuration value.";
constexpr char kResetDoc[] =
    "reset($self)\n--\n\nReset the engine state (state machines, counters).";
constexpr char kStatusDoc[] = "status($self)\n--\n\nGet engine status summary.";
constexpr char kEvaluateAtDoc[] =
    "evaluate_at($self, timestamp_ms, event_type, fields=None)\n"
    "--\n"
    "\n"
    "Evaluate an event stamped with the given time instead of the clock.\n"
    "\n"
    "Args:\n"
    "    timestamp_ms: The event time, in milliseconds since the Unix epoch\n"
    "        (int, 0 to 2**64-1)\n"
    "    event_type: The event type string\n"
    "    fields: A dict of event fields\n"
    "\n"
    "Returns:\n"
    "    The same dict as evaluate().";
constexpr char kResetAtDoc[] =
    "reset_at($self, timestamp_ms)\n--\n\nReset the engine state, starting "
    "the state machines at the given time (milliseconds since the Unix "
    "epoch).";
constexpr char kExplainDoc[] =
    "explain($self, event_type, fields=None, timestamp_ms=None)\n"
    "--\n"
    "\n"
    "Explain an event without changing the engine.\n"
    "\n"
    "Returns the dict evaluate() would give (same keys, same order) with one\n"
    "key more, \"trace\": the rate limit's count, each rule's filter,\n"
    "condition, verdict candidates and actions, and each machine's state,\n"
    "guard values and transition. The event is stamped timestamp_ms, or the\n"
    "wall clock when it is None.";
constexpr char kSnapshotDoc[] =
    "snapshot($self, *, key=None)\n--\n\nReturn the engine's runtime state "
    "(state machines, rate windows, event count, context and configuration) "
    "as bytes, for restore().\n"
    "\n"
    "With key (a non-empty bytes-like object) the snapshot is signed with\n"
    "HMAC-SHA256 under that key, and only restore(data, key=key) accepts it.";
constexpr char kRestoreDoc[] =
    "restore($self, data, *, key=None, max_bytes=None)\n--\n\nPut back a "
    "state saved by snapshot() from an engine of the same policy; refused "
    "data leaves the engine unchanged.\n"
    "\n"
    "With key, only a snapshot signed with that key is accepted; without,\n"
    "a signed one is refused. max_bytes bounds the memory the restored\n"
    "state may take (None: 32 times len(data), which every snapshot that\n"
    "snapshot() writes fits). Raises ValueError \"Invalid snapshot: ...\"\n"
    "for refused data, and RecursionError when its values are nested deeper\n"
    "than this thread's stack has room for (restore on a thread with a\n"
    "larger stack).";
constexpr char kToJsonDoc[] =
    "to_json($self)\n--\n\nReturn the loaded policy as canonical JSON (object "
    "forms, declared field order, every optional field written).";
constexpr char kToBytesDoc[] =
    "to_bytes($self)\n--\n\nReturn the loaded policy as a version-1 .halvoc "
    "container around its canonical JSON.";
constexpr char kCopyDoc[] =
    "__copy__($self)\n--\n\nReturn an independent engine with the same "
    "policy and the same runtime state.";
constexpr char kDeepCopyDoc[] =
    "__deepcopy__($self, memo)\n--\n\nReturn an independent engine with the "
    "same policy and the same runtime state (as __copy__).";
constexpr char kReduceDoc[] =
    "__reduce__($self)\n--\n\nPickle support: the policy as a .halvoc "
    "container and the runtime state as a snapshot.";
constexpr char kDiagnosticsDoc[] =
    "diagnostics($self)\n--\n\nList the likely mistakes of the loaded policy: "
    "dicts with keys severity, code, message, path.";
constexpr Param kReplayParams[] = {{"trace", ParamType::Bytes},
                                   {"results", ParamType::Any},
                                   {"lines", ParamType::Any}};
constexpr Param kReplayFileParams[] = {{"path", ParamType::Path},
                                       {"results", ParamType::Any},
                                       {"lines", ParamType::Any}};
constexpr Signature kReplay{"replay", kReplayParams, 1, 1};
constexpr Signature kReplayFile{"replay_file", kReplayFileParams, 1, 1};
constexpr char kReplayDoc[] =
    "replay($self, trace, *, results=False, lines=False)\n"
    "--\n"
    "\n"
    "Replay a recorded session (the bytes of a JSON Lines trace) natively.\n"
    "\n"
    "Event lines are evaluated at their recorded time (the engine is reset to\n"
    "the first one's), setting lines set configuration and context, bad lines\n"
    "are reported and skipped. Returns a dict with keys events, verdicts,\n"
    "rules, invariants, limits, bad_lines, and with results=True also\n"
    "results: one dict per evaluated event, as evaluate_at() gives it; with\n"
    "lines=True also lines: per evaluated event its line, type and\n"
    "timestamp_ms (None when the line has none).";
constexpr char kReplayFileDoc[] =
    "replay_file($self, path, *, results=False, lines=False)\n"
    "--\n"
    "\n"
    "replay() of the trace file at path, read by blocks so that memory stays\n"
    "flat however long the file is (without results).";
constexpr Param kDeciderParams[] = {{"template", ParamType::Any},
                                    {"serials", ParamType::Any},
                                    {"settle", ParamType::Any},
                                    {"admit", ParamType::Any},
                                    {"clock", ParamType::Any}};
constexpr Signature kDecider{"decider", kDeciderParams, 3, 3};
constexpr char kDeciderDoc[] =
    "decider($self, template, serials, settle, *, admit=False, clock=None)\n"
    "--\n"
    "\n"
    "A callable (event_type, fields=None, surface=None) that evaluates as\n"
    "evaluate() does (at clock()'s time, when given, as evaluate_at()) and\n"
    "answers a decision: a copy of template, whose class has __slots__,\n"
    "with _serial the next of serials and _result the result dict; or\n"
    "settle(decision) when the result holds actions. With admit=True a\n"
    "result with an allowing verdict and no action answers its verdict\n"
    "alone, and any other settle(decision). The guard's hot path; surface\n"
    "is accepted and ignored.";
constexpr char kPolicyNameDoc[] = "Get the policy name.";
constexpr char kEventCountDoc[] = "Get the total number of events processed.";

template <const Signature& kSignature, auto kImpl>
PyCFunction fastcall_method() noexcept {
  // PyMethodDef stores every kind of C function under the PyCFunction type;
  // the flags tell CPython the real signature.
  return reinterpret_cast<PyCFunction>(
      reinterpret_cast<void (*)()>(&fastcall_entry<kSignature, kImpl>));
}

template <auto kImpl>
PyCFunction noargs_method() noexcept {
  return &noargs_entry<kImpl>;
}

constexpr int kStaticFastcall = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"from_file", fastcall_method<kFromFile, from_file>(), kStaticFastcall,
     kFromFileDoc},
    {"from_bytes", fastcall_method<kFromBytes, from_bytes>(), kStaticFastcall,
     kFromBytesDoc},
    {"from_json", fastcall_method<kFromJson, from_json>(), kStaticFastcall,
     kFromJsonDoc},
    {"evaluate", fastcall_method<kEvaluate, evaluate>(), kFastcall,
     kEvaluateDoc},
    {"set_context", fastcall_method<kSetContext, set_context>(), kFastcall,
     kSetContextDoc},
    {"set_config", fastcall_method<kSetConfig, set_config>(), kFastcall,
     kSetConfigDoc},
    {"reset", noargs_method<reset>(), METH_NOARGS, kResetDoc},
    {"status", noargs_method<status>(), METH_NOARGS, kStatusDoc},
    {"evaluate_at", fastcall_method<kEvaluateAt, evaluate_at>(), kFastcall,
     kEvaluateAtDoc},
    {"reset_at", fastcall_method<kResetAt, reset_at>(), kFastcall, kResetAtDoc},
    {"explain", fastcall_method<kExplain, explain>(), kFastcall, kExplainDoc},
    {"snapshot", fastcall_method<kSnapshot, snapshot>(), kFastcall,
     kSnapshotDoc},
    {"restore", fastcall_method<kRestore, restore>(), kFastcall, kRestoreDoc},
    {"to_json", noargs_method<to_json>(), METH_NOARGS, kToJsonDoc},
    {"to_bytes", noargs_method<to_bytes>(), METH_NOARGS, kToBytesDoc},
    {"diagnostics", noargs_method<diagnostics>(), METH_NOARGS, kDiagnosticsDoc},
    {"__copy__", noargs_method<copy_engine>(), METH_NOARGS, kCopyDoc},
    {"__deepcopy__", fastcall_method<kDeepCopy, deep_copy_engine>(), kFastcall,
     kDeepCopyDoc},
    {"__reduce__", noargs_method<reduce_engine>(), METH_NOARGS, kReduceDoc},
    {"replay", fastcall_method<kReplay, replay_bytes>(), kFastcall, kReplayDoc},
    {"replay_file", fastcall_method<kReplayFile, replay_path>(), kFastcall,
     kReplayFileDoc},
    {"decider", fastcall_method<kDecider, make_decider>(), kFastcall,
     kDeciderDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"policy_name", &getter_entry<policy_name>, nullptr, kPolicyNameDoc,
     nullptr},
    {"event_count", &getter_entry<event_count>, nullptr, kEventCountDoc,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(&new_entry)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_entry)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

// The name given to PyType_FromSpec carries the module, so that the class
// gets its __module__; the type's own name, which CPython shows in its
// messages, is set to the bare class name once the type exists.
PyType_Spec g_spec = {
    kQualifiedTypeName,
    static_cast<int>(sizeof(PyPolicyEngine)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    g_slots,
};

}  // namespace

PyObject* policy_engine_type() noexcept {
  if (g_type == nullptr) {
    if (!init_result_keys()) return nullptr;
    PyObject* type = PyType_FromSpec(&g_spec);  // new reference, kept
    if (type == nullptr) return nullptr;
    g_type = reinterpret_cast<PyTypeObject*>(type);
    g_type->tp_name = kTypeName;
  }
  return Py_NewRef(reinterpret_cast<PyObject*>(g_type));
}

}  // namespace corvanth_core
