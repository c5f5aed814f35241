// fill_event_fields: the fields of an evaluated event, converted from the
// caller's dict into the event, in the slots of the engine's plan.
//
// Only what the policy can observe is converted: a field no expression
// reads is left out when its value is a plain str, int, float, bool or
// None, whose conversion could have no effect; any other value is
// converted all the same, so that a failing conversion (a raising __str__)
// fails the call whatever the policy reads. Each field a policy names goes
// to its slot (event.h), where the plan reads it without a search, unless
// the policy reads the whole event: then every field goes to the map, in
// the dict's order.
//
//   if (!fill_event_fields(fields, event, self->field_keys, sources)) {
//     return nullptr;                         // exception set
//   }
//
// May run Python code (the conversions), so never under the engine lock.
// Fails with the exceptions of py_to_value.h and each_entry (dict_walk.h);
// the event's fields are unspecified then. May throw std::bad_alloc.
#pragma once

#include <Python.h>

#include "field_keys.h"
#include "halvo_runtime/event.h"
#include "source_strings.h"

namespace corvanth_core {

// Replaces the fields of `event` with those of `dict` (a dict or subclass),
// noting their str values in `sources`.
bool fill_event_fields(PyObject* dict, halvo_runtime::event::Event& event,
                       FieldKeys& keys, SourceStrings& sources);

}  // namespace corvanth_core
