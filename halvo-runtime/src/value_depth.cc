#include "halvo_runtime/value_depth.h"

#include <algorithm>

namespace halvo_runtime::event {

std::size_t nesting_depth(const Value& value) noexcept {
  switch (value.kind()) {
    case Value::Kind::List: {
      std::size_t deepest = 0;
      for (const Value& item : value.list_items()) {
        deepest = std::max(deepest, nesting_depth(item));
      }
      return deepest + 1;
    }
    case Value::Kind::Map:
      return nesting_depth(value.map_entries()) + 1;
    default:
      return 0;
  }
}

std::size_t nesting_depth(const ValueMap& map) noexcept {
  std::size_t deepest = 0;
  for (const auto& entry : map) {
    deepest = std::max(deepest, nesting_depth(entry.value));
  }
  return deepest;
}

}  // namespace halvo_runtime::event
