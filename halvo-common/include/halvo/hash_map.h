// HashMap<V>: a map from SmallString keys to values of type V.
//
// Entries are kept in insertion order (a key that is assigned again keeps its
// place), so iteration is stable: a copy iterates exactly like its original.
// Maps of up to kLinearLimit entries are searched linearly and build no index;
// larger maps add an open-addressing index hashed with the per-process secret
// key (keyed_hash.h), so chosen keys cannot force collisions.
//
//   halvo::HashMap<int> counts;
//   counts.insert_or_assign(halvo::SmallString("a"), 1);
//   if (const int* n = counts.find("a")) { ... }
//   for (const auto& entry : counts) use(entry.key, entry.value);
//
// There is no removal of single keys; clear() empties the map and keeps its
// storage. V may be an incomplete type where the map is declared.
// Operations that add entries may throw std::bad_alloc and then leave the
// map unchanged.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "halvo/keyed_hash.h"
#include "halvo/same_text.h"
#include "halvo/small_string.h"

namespace halvo {

template <class V>
class HashMap {
 public:
  struct Entry {
    // Built in place by emplace_back, without a temporary to move from.
    Entry(SmallString&& k, V&& v) : key(std::move(k)), value(std::move(v)) {}
    SmallString key;
    V value;
  };
  using const_iterator = typename std::vector<Entry>::const_iterator;
  using iterator = typename std::vector<Entry>::iterator;

  static constexpr std::size_t kLinearLimit = 8;

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }
  iterator begin() noexcept { return entries_.begin(); }
  iterator end() noexcept { return entries_.end(); }

  // Returns the value stored under `key`, or nullptr when there is none.
  const V* find(std::string_view key) const noexcept {
    std::size_t index = index_of(key);
    return index == kNotFound ? nullptr : &entries_[index].value;
  }
  V* find(std::string_view key) noexcept {
    std::size_t index = index_of(key);
    return index == kNotFound ? nullptr : &entries_[index].value;
  }
  bool contains(std::string_view key) const noexcept {
    return index_of(key) != kNotFound;
  }

  // Stores `value` under `key`, replacing (and dropping) an earlier value.
  // Returns the stored value. The key is hashed at most once.
  V& insert_or_assign(SmallString&& key, V&& value) {
    std::uint64_t hash = 0;
    std::size_t index;
    if (slots_.empty()) {
      index = linear_index_of(key.view());
    } else {
      hash = hash_of(key.view());
      index = indexed_index_of(key.view(), hash);
    }
    if (index != kNotFound) {
      entries_[index].value = std::move(value);
      return entries_[index].value;
    }
    grow_entries(entries_.size() + 1);  // may throw; nothing changed yet
    if (entries_.size() + 1 > kLinearLimit) {
      if (slots_.empty()) hash = hash_of(key.view());
      ensure_index(entries_.size() + 1);
    }
    entries_.emplace_back(std::move(key), std::move(value));
    if (!slots_.empty()) place(entries_.size() - 1, hash);
    return entries_.back().value;
  }
  V& insert_or_assign(const SmallString& key, V value) {
    return insert_or_assign(SmallString(key), std::move(value));
  }

  // Appends an entry without searching for `key` first, for a caller that
  // knows no entry has it (the keys of a source that are unique already).
  // Precondition: !contains(key.view()).
  V& insert_new(SmallString&& key, V&& value) {
    grow_entries(entries_.size() + 1);  // may throw; nothing changed yet
    const bool indexed = entries_.size() + 1 > kLinearLimit;
    const std::uint64_t hash =
        indexed || !slots_.empty() ? hash_of(key.view()) : 0;
    if (indexed) ensure_index(entries_.size() + 1);
    entries_.emplace_back(std::move(key), std::move(value));
    if (!slots_.empty()) place(entries_.size() - 1, hash);
    return entries_.back().value;
  }

  // The position of `key`'s entry in iteration order, or size() when there
  // is none.
  std::size_t position_of(std::string_view key) const noexcept {
    const std::size_t index = index_of(key);
    return index == kNotFound ? entries_.size() : index;
  }

  // Reserves room for `count` entries. Callers that reserve a little more
  // each time still get geometric growth.
  void reserve(std::size_t count) {
    grow_entries(count);
    if (count > kLinearLimit) ensure_index(count);
  }

  // The entries there is room for without reallocating.
  std::size_t capacity() const noexcept { return entries_.capacity(); }

  // Removes every entry; the storage stays for reuse.
  void clear() noexcept {
    entries_.clear();
    for (auto& slot : slots_) slot = 0;
  }

 private:
  static constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

  // A slot holds 0 when empty, else (low 32 bits of hash) << 32 | (index + 1).
  static std::uint64_t make_slot(std::uint64_t hash, std::size_t index) {
    return (hash << 32) | static_cast<std::uint64_t>(index + 1);
  }

  // The low 32 bits of the keyed hash, as kept in a slot.
  static std::uint64_t hash_of(std::string_view key) noexcept {
    return keyed_hash(key) & 0xFFFFFFFFu;
  }

  std::size_t index_of(std::string_view key) const noexcept {
    return slots_.empty() ? linear_index_of(key)
                          : indexed_index_of(key, hash_of(key));
  }

  std::size_t linear_index_of(std::string_view key) const noexcept {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (same_text(entries_[i].key.view(), key)) return i;
    }
    return kNotFound;
  }

  std::size_t indexed_index_of(std::string_view key,
                               std::uint64_t hash) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t pos = hash & mask;; pos = (pos + 1) & mask) {
      const std::uint64_t slot = slots_[pos];
      if (slot == 0) return kNotFound;
      if ((slot >> 32) == hash) {
        const std::size_t index = (slot & 0xFFFFFFFFu) - 1;
        if (entries_[index].key == key) return index;
      }
    }
  }

  // Makes room for `count` entries, at least doubling the storage when it
  // grows: reserving exactly what one more key needs would copy every entry
  // on each insertion, and filling a map key by key would cost quadratic
  // time.
  void grow_entries(std::size_t count) {
    if (count <= entries_.capacity()) return;
    entries_.reserve(std::max(count, entries_.capacity() * 2));
  }

  // Keeps the load factor at or below one half for `count` entries; the
  // slot table doubles, so the rehashes of a growing map cost amortised
  // constant time per key.
  void ensure_index(std::size_t count) {
    std::size_t wanted = 16;
    while (wanted < count * 2) wanted *= 2;
    if (wanted <= slots_.size()) return;
    std::vector<std::uint64_t> fresh(wanted, 0);  // may throw; map unchanged
    slots_.swap(fresh);
    if (fresh.empty()) {
      for (std::size_t i = 0; i < entries_.size(); ++i) {
        place(i, hash_of(entries_[i].key.view()));
      }
      return;
    }
    // A slot keeps the 32 hash bits that any table size uses, so the keys
    // are neither hashed nor read again: only the old slots are.
    for (const std::uint64_t slot : fresh) {
      if (slot != 0) place((slot & 0xFFFFFFFFu) - 1, slot >> 32);
    }
  }

  // Enters entries_[index], whose key has `hash`, into the index.
  void place(std::size_t index, std::uint64_t hash) noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t pos = hash & mask;
    while (slots_[pos] != 0) pos = (pos + 1) & mask;
    slots_[pos] = make_slot(hash, index);
  }

  std::vector<Entry> entries_;
  std::vector<std::uint64_t> slots_;  // empty while the map is small
};

}  // namespace halvo
