// PyPolicyEngine: the Python class PolicyEngine, a thin shell that owns one
// runtime PolicyEngine behind an EngineLock and forwards every call to it.
//
//   PyObject* type = policy_engine_type();   // new reference
//   if (type == nullptr) return nullptr;     // exception set
//
// Instances come only from the static factories from_file, from_bytes and
// from_json; calling the class raises TypeError. The type is created from a
// PyType_Spec on the first call and reused for the rest of the process; it
// cannot be subclassed, and its instances have no __dict__, no weak
// reference slot and take no part in cyclic garbage collection (the only
// Python objects they hold are strs, which refer to nothing).
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine_lock.h"
#include "evaluation_scratch.h"
#include "field_keys.h"
#include "halvo_compiler/policy_reader.h"
#include "held_depths.h"
#include "held_strings.h"
#include "result_names.h"

namespace corvanth_core {

struct PyPolicyEngine {
  PyObject_HEAD std::string
      policy_name;  // copied from the policy; never changes
  EngineLock engine;
  ResultNames names;  // the Python texts of the policy's action results
  // The keys the reader passed over, for diagnostics().
  std::vector<halvo_compiler::SkippedKey> skipped_keys;
  ScratchSlot scratch;  // the storage of an evaluation, reused
  // The keys of the field dicts seen so far, with the engine's field use:
  // which fields the policy reads and their slots.
  FieldKeys field_keys;
  // The nesting depths of the context and configuration values the engine
  // holds, for the stack guard (stack_guard.h).
  HeldDepths held_depths;
  // The str values of the context and configuration, for the results.
  HeldStrings held_strings;
};

// What evaluate_event answers: always the result dict, or the verdict's
// name alone when the result is plain (an allowing verdict and no action),
// which spares building a dict nobody reads.
enum class Reply { Dict, VerdictWhenPlain };

// Evaluates an event of the type whose UTF-8 text is `type_text`, stamped
// `timestamp` with the fields of `fields` (nullptr, None or a dict): the common
// part of evaluate, evaluate_at and the guard's decider. Returns a new
// reference (the result dict, or with Reply::VerdictWhenPlain possibly the
// verdict's name, a str), or nullptr with the Python exception set.
// `has_actions`, when given, learns whether the result holds an action.
PyObject* evaluate_event(PyPolicyEngine* self, std::string_view type_text,
                         std::uint64_t timestamp, PyObject* fields, Reply reply,
                         bool* has_actions = nullptr);

// Returns a new reference to the PolicyEngine type, creating it on the first
// call; nullptr with the Python exception set when creation fails.
PyObject* policy_engine_type() noexcept;

}  // namespace corvanth_core
