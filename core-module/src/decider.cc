#include "decider.h"

#include <structmember.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "arg_parser.h"
#include "binding_messages.h"
#include "engine_lock.h"
#include "halvo_runtime/clock.h"
#include "py_ref.h"
#include "py_to_value.h"

namespace corvanth_core {

namespace {

// A slot of the decisions' class and the template's value in it (a strong
// reference; nullptr when the template left it unset).
struct SlotValue {
  Py_ssize_t offset;
  PyObject* value;
};

// Where a decision's slots lie (the class's own and its bases'): those
// that receive the serial and the result, and the others with the values
// the template gave them when the decider was made.
struct DecisionLayout {
  std::vector<SlotValue> copied;
  Py_ssize_t serial = -1;
  Py_ssize_t result = -1;
};

struct PyDecider {
  PyObject_HEAD PyObject* engine;  // the PolicyEngine; every member strong
  PyObject* decision_type;         // the template's class
  PyObject* serials;
  PyObject* settle;
  PyObject* clock;  // nullptr: the wall clock
  vectorcallfunc vectorcall;
  DecisionLayout* layout;  // owned
  bool admit;
};

// Created once and kept for the life of the process, as the engine's type.
PyTypeObject* g_type = nullptr;

PyDecider* as_decider(PyObject* self) noexcept {
  return reinterpret_cast<PyDecider*>(self);
}

PyObject*& slot_at(PyObject* object, Py_ssize_t offset) noexcept {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) +
                                       offset);
}

// A copy of the template (allocated as object.__new__ allocates, every
// slot's value shared) with `serial` and `result` in their slots. The
// slots are written directly: the class's own __setattr__ (a frozen
// dataclass's) refuses.
PyObject* new_decision(PyDecider* self, PyObject* result) {
  auto* type = reinterpret_cast<PyTypeObject*>(self->decision_type);
  PyRef decision(type->tp_alloc(type, 0));
  if (!decision) return nullptr;
  PyObject* serial = PyIter_Next(self->serials);  // new reference
  if (serial == nullptr) {
    if (!PyErr_Occurred()) {
      raise_error(PyExc_RuntimeError, serials_exhausted_message());
    }
    return nullptr;
  }
  const DecisionLayout& layout = *self->layout;
  PyObject* object = decision.get();
  // The slots of a fresh object are empty (nullptr).
  for (const SlotValue& slot : layout.copied) {
    slot_at(object, slot.offset) = Py_XNewRef(slot.value);
  }
  slot_at(object, layout.serial) = serial;  // stolen
  slot_at(object, layout.result) = Py_NewRef(result);
  return decision.release();
}

constexpr Param kCallParams[] = {{"event_type", ParamType::Text},
                                 {"fields", ParamType::DictOrNone},
                                 {"surface", ParamType::Any}};
constexpr Signature kCall{"evaluate", kCallParams, 1};

constexpr Param kStampParams[] = {{"timestamp_ms", ParamType::Index}};
constexpr Signature kStamp{"evaluate_at", kStampParams, 1};

// The time of an event: the wall clock's, or the clock's answer read as
// evaluate_at() reads its timestamp_ms. False with the exception set.
bool event_time(PyDecider* self, std::uint64_t& stamp) {
  if (self->clock == nullptr) {
    stamp = halvo_runtime::wall_clock_millis();
    return true;
  }
  PyRef answer(PyObject_CallNoArgs(self->clock));
  if (!answer) return false;
  PyObject* const given[1] = {answer.get()};
  PyObject* slots[1] = {};  // borrowed
  return parse_arguments(kStamp, given, 1, nullptr, slots) &&
         uint64_argument(kStamp, "timestamp_ms", answer.get(), stamp);
}

PyObject* decide(PyDecider* self, PyObject* event_type, PyObject* fields) {
  std::string_view type_text;
  if (!utf8_text(event_type, type_text)) return nullptr;
  std::uint64_t stamp = 0;
  if (!event_time(self, stamp)) return nullptr;
  auto* engine = reinterpret_cast<PyPolicyEngine*>(self->engine);
  bool has_actions = false;
  PyRef reply(evaluate_event(
      engine, type_text, stamp, fields,
      self->admit ? Reply::VerdictWhenPlain : Reply::Dict, &has_actions));
  if (!reply) return nullptr;
  // Admitting: a plain result came back as its verdict's name alone.
  if (PyUnicode_Check(reply.get())) return reply.release();
  PyRef decision(new_decision(self, reply.get()));
  if (!decision) return nullptr;
  if (!self->admit && !has_actions) return decision.release();
  return PyObject_CallOneArg(self->settle, decision.get());
}

PyObject* call_entry(PyObject* callable, PyObject* const* args,
                     std::size_t nargsf, PyObject* kwnames) noexcept {
  std::array<PyObject*, 3> slots{};  // borrowed references
  if (!parse_arguments(kCall, args, PyVectorcall_NARGS(nargsf), kwnames,
                       slots.data())) {
    return nullptr;
  }
  return guard_entry(
      [&] { return decide(as_decider(callable), slots[0], slots[1]); });
}

int traverse_entry(PyObject* object, visitproc visit, void* arg) noexcept {
  PyDecider* self = as_decider(object);
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(self->engine);
  Py_VISIT(self->decision_type);
  if (self->layout != nullptr) {
    for (const SlotValue& slot : self->layout->copied) Py_VISIT(slot.value);
  }
  Py_VISIT(self->serials);
  Py_VISIT(self->settle);
  Py_VISIT(self->clock);
  return 0;
}

int clear_entry(PyObject* object) noexcept {
  PyDecider* self = as_decider(object);
  Py_CLEAR(self->engine);
  Py_CLEAR(self->decision_type);
  if (self->layout != nullptr) {
    for (SlotValue& slot : self->layout->copied) Py_CLEAR(slot.value);
  }
  Py_CLEAR(self->serials);
  Py_CLEAR(self->settle);
  Py_CLEAR(self->clock);
  return 0;
}

void dealloc_entry(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_UnTrack(object);
  clear_entry(object);
  delete as_decider(object)->layout;
  type->tp_free(object);
  // An instance of a heap type owns a reference to its type.
  Py_DECREF(type);
}

PyObject* new_entry(PyTypeObject* type, PyObject* /*args*/,
                    PyObject* /*kwargs*/) noexcept {
  raise_error(PyExc_TypeError, no_constructor_message(type->tp_name));
  return nullptr;
}

constexpr char kDeciderDoc[] =
    "A PolicyEngine's evaluate() that answers a decision object; made by "
    "PolicyEngine.decider().";

PyMemberDef g_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(PyDecider, vectorcall)), READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDeciderDoc)},
    {Py_tp_new, reinterpret_cast<void*>(&new_entry)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_entry)},
    {Py_tp_traverse, reinterpret_cast<void*>(&traverse_entry)},
    {Py_tp_clear, reinterpret_cast<void*>(&clear_entry)},
    {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
    {Py_tp_members, g_members},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "_corvanth_core.Decider",
    static_cast<int>(sizeof(PyDecider)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC |
        Py_TPFLAGS_HAVE_VECTORCALL,
    g_slots,
};

PyTypeObject* decider_type() noexcept {
  if (g_type == nullptr) {
    PyObject* type = PyType_FromSpec(&g_spec);  // new reference, kept
    if (type == nullptr) return nullptr;
    g_type = reinterpret_cast<PyTypeObject*>(type);
  }
  return g_type;
}

constexpr char kMember[] = "decider";
constexpr char kTemplateKind[] =
    "an object whose class object.__new__ makes, with slots _serial and "
    "_result";

// Whether instances of `type` have a __dict__, which a copy of the slots
// would leave behind.
bool has_dict(PyTypeObject* type) noexcept {
#ifdef Py_TPFLAGS_MANAGED_DICT
  if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return true;
#endif
  return type->tp_dictoffset != 0;
}

// The slots of the template's class and of its bases, which must all be
// classes defined with __slots__ (heap types whose members are plain object
// slots) up to object, with the template's values. False when the class is
// not such a class or lacks either slot.
bool find_layout(PyObject* source, DecisionLayout& layout) {
  for (PyTypeObject* at = Py_TYPE(source); at != &PyBaseObject_Type;
       at = at->tp_base) {
    if (at == nullptr || !PyType_HasFeature(at, Py_TPFLAGS_HEAPTYPE) ||
        at->tp_new != PyBaseObject_Type.tp_new || has_dict(at)) {
      return false;
    }
    const auto* members =
        static_cast<const PyMemberDef*>(PyType_GetSlot(at, Py_tp_members));
    for (; members != nullptr && members->name != nullptr; ++members) {
      if (members->type != T_OBJECT_EX || (members->flags & READONLY) != 0) {
        return false;
      }
      const std::string_view name(members->name);
      if (name == "_serial") {
        layout.serial = members->offset;
      } else if (name == "_result") {
        layout.result = members->offset;
      } else {
        layout.copied.push_back(
            {members->offset, Py_XNewRef(slot_at(source, members->offset))});
      }
    }
  }
  return layout.serial >= 0 && layout.result >= 0;
}

bool check_arguments(PyObject* template_decision, PyObject* serials,
                     PyObject* settle, PyObject* clock,
                     DecisionLayout& layout) {
  if (!find_layout(template_decision, layout)) {
    raise_error(PyExc_TypeError,
                wrong_argument_type_message(kMember, "template", kTemplateKind,
                                            template_decision));
    return false;
  }
  if (!PyIter_Check(serials)) {
    raise_error(PyExc_TypeError,
                wrong_argument_type_message(kMember, "serials", "an iterator",
                                            serials));
    return false;
  }
  if (!PyCallable_Check(settle)) {
    raise_error(PyExc_TypeError, wrong_argument_type_message(
                                     kMember, "settle", "callable", settle));
    return false;
  }
  if (clock != nullptr && clock != Py_None && !PyCallable_Check(clock)) {
    raise_error(PyExc_TypeError,
                wrong_argument_type_message(kMember, "clock",
                                            "callable or None", clock));
    return false;
  }
  return true;
}

}  // namespace

PyObject* make_decider(PyPolicyEngine* self, PyObject* template_decision,
                       PyObject* serials, PyObject* settle, PyObject* admit,
                       PyObject* clock) {
  const int admitting = admit == nullptr ? 0 : PyObject_IsTrue(admit);
  if (admitting < 0) return nullptr;
  // Released by hand until the decider owns it: its values are references.
  auto layout = std::make_unique<DecisionLayout>();
  const auto release = [&layout] {
    for (SlotValue& slot : layout->copied) Py_CLEAR(slot.value);
  };
  if (!check_arguments(template_decision, serials, settle, clock, *layout)) {
    release();
    return nullptr;
  }
  PyTypeObject* type = decider_type();
  PyObject* object = type == nullptr ? nullptr : PyType_GenericAlloc(type, 0);
  if (object == nullptr) {
    release();
    return nullptr;
  }
  PyDecider* decider = as_decider(object);  // new reference, GC-tracked
  decider->engine = Py_NewRef(reinterpret_cast<PyObject*>(self));
  decider->decision_type = Py_NewRef(Py_TYPE(template_decision));
  decider->serials = Py_NewRef(serials);
  decider->settle = Py_NewRef(settle);
  decider->clock =
      clock == nullptr || clock == Py_None ? nullptr : Py_NewRef(clock);
  decider->vectorcall = &call_entry;
  decider->layout = layout.release();
  decider->admit = admitting != 0;
  return object;
}

}  // namespace corvanth_core
