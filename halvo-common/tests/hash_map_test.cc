#include "halvo/hash_map.h"

#include <string>
#include <vector>

#include "check.h"

using halvo::HashMap;
using halvo::SmallString;

namespace {

std::vector<std::string> keys_of(const HashMap<int>& map) {
  std::vector<std::string> keys;
  for (const auto& entry : map) keys.push_back(entry.key.str());
  return keys;
}

void keeps_insertion_order_and_replaces_in_place() {
  HashMap<int> map;
  map.insert_or_assign(SmallString("b"), 1);
  map.insert_or_assign(SmallString("a"), 2);
  map.insert_or_assign(SmallString("b"), 3);
  CHECK(map.size() == 2);
  CHECK((keys_of(map) == std::vector<std::string>{"b", "a"}));
  CHECK(*map.find("b") == 3);
  CHECK(map.find("c") == nullptr);
}

void finds_every_key_past_the_linear_limit() {
  HashMap<int> map;
  for (int i = 0; i < 1000; ++i) {
    map.insert_or_assign(SmallString("key_" + std::to_string(i)), i);
  }
  CHECK(map.size() == 1000);
  bool all_found = true;
  for (int i = 0; i < 1000; ++i) {
    const int* value = map.find("key_" + std::to_string(i));
    all_found = all_found && value != nullptr && *value == i;
  }
  CHECK(all_found);
  CHECK(map.find("key_1000") == nullptr);
  CHECK(keys_of(map).front() == "key_0");
  CHECK(keys_of(map).back() == "key_999");
}

void copies_iterate_like_the_original() {
  HashMap<int> map;
  for (int i = 20; i > 0; --i) {
    map.insert_or_assign(SmallString(std::to_string(i)), i);
  }
  const HashMap<int> copy = map;
  CHECK(keys_of(copy) == keys_of(map));
  CHECK(*copy.find("7") == 7);
}

void clear_empties_and_allows_reuse() {
  HashMap<int> map;
  for (int i = 0; i < 50; ++i)
    map.insert_or_assign(SmallString(std::to_string(i)), i);
  map.clear();
  CHECK(map.empty());
  CHECK(map.find("3") == nullptr);
  map.insert_or_assign(SmallString("3"), 33);
  CHECK(*map.find("3") == 33);
}

// The storage is reallocated only when it doubles, whether the map grows
// one key at a time or its callers reserve one more entry each time: a copy
// per insertion made filling a map quadratic.
std::size_t reallocations_filling(std::size_t count, bool reserve_each) {
  HashMap<int> map;
  std::size_t reallocations = 0;
  std::size_t capacity = map.capacity();
  for (std::size_t i = 0; i < count; ++i) {
    if (reserve_each) map.reserve(map.size() + 1);
    map.insert_or_assign(SmallString("key_" + std::to_string(i)), 0);
    if (map.capacity() != capacity) ++reallocations;
    capacity = map.capacity();
  }
  return reallocations;
}

void grows_geometrically() {
  // 100,000 entries: 17 doublings from one entry.
  CHECK(reallocations_filling(100000, false) <= 18);
  CHECK(reallocations_filling(100000, true) <= 18);
}

}  // namespace

int main() {
  keeps_insertion_order_and_replaces_in_place();
  finds_every_key_past_the_linear_limit();
  copies_iterate_like_the_original();
  clear_empties_and_allows_reuse();
  grows_geometrically();
  return halvo::testing::failures();
}
