// FieldKeys: what an engine knows of the keys of the field dicts it is
// given, remembered by the key object so that a key seen before costs a
// pointer comparison instead of a text lookup.
//
// Hosts mostly pass dicts written as literals, whose keys are the same
// interned str objects on every call. For such a key the engine needs its
// UTF-8 text (the field's name in the event), whether the policy reads the
// field at all and its slot (event_field_use.h). describe() works these out
// once per key object and keeps them:
//
//   FieldKeys keys(engine.field_use());
//   FieldKeys::Key scratch;
//   const FieldKeys::Key* key = keys.describe(key_object, n, scratch);
//   if (key == nullptr) return false;        // exception set
//   if (!key->read) { ... }                  // the policy never reads it
//
// Only exact str keys are kept, at most kMaxKept of them, each with a strong
// reference: a kept key cannot die and have its address reused by another
// object. Past that bound keys are described afresh on every call. Entries
// are only ever appended, so a returned entry stays valid, and unchanged,
// for the object's life. Use it with the interpreter lock held.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "halvo/small_string.h"
#include "halvo_runtime/event_field_use.h"

namespace corvanth_core {

class FieldKeys {
 public:
  struct Key {
    halvo::SmallString text;  // the key's UTF-8 text
    std::uint32_t slot = halvo_runtime::event::EventFieldUse::kNoSlot;
    bool read = false;  // whether some expression may read the field
  };

  explicit FieldKeys(const halvo_runtime::event::EventFieldUse& use) noexcept
      : use_(use) {}
  FieldKeys(const FieldKeys&) = delete;
  FieldKeys& operator=(const FieldKeys&) = delete;
  ~FieldKeys();

  // What is known of `key`, a str: a kept entry, else `scratch` filled in
  // (and kept when there is room). nullptr with UnicodeEncodeError set when
  // the key holds lone surrogates. May throw std::bad_alloc. `hint` is
  // where the key probably is: the n-th key of a dict is looked for at n
  // first, since a host passes dicts of one shape, in one order.
  const Key* describe(PyObject* key, std::size_t hint, Key& scratch) {
    if (hint < kept_ && objects_[hint] == key) return &keys_[hint];
    return find_or_learn(key, scratch);
  }

  const halvo_runtime::event::EventFieldUse& use() const noexcept {
    return use_;
  }

 private:
  static constexpr std::size_t kMaxKept = 32;

  const Key* find_or_learn(PyObject* key, Key& scratch);

  const halvo_runtime::event::EventFieldUse& use_;
  std::array<PyObject*, kMaxKept> objects_{};  // owned references
  std::array<Key, kMaxKept> keys_;
  std::size_t kept_ = 0;
};

}  // namespace corvanth_core
