#include "halvo_runtime/plan_check.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace halvo_runtime::eval {

using event::Value;
using Kind = Value::Kind;

bool same_value(const Value& a, const Value& b) noexcept {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Float: {
      const double x = a.float_value();
      const double y = b.float_value();
      if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
      return x == y && std::signbit(x) == std::signbit(y);
    }
    case Kind::List: {
      const auto& left = a.list_items();
      const auto& right = b.list_items();
      if (left.size() != right.size()) return false;
      for (std::size_t i = 0; i < left.size(); ++i) {
        if (!same_value(left[i], right[i])) return false;
      }
      return true;
    }
    case Kind::Map: {
      const auto& left = a.map_entries();
      const auto& right = b.map_entries();
      if (left.size() != right.size()) return false;
      auto other = right.begin();
      for (const auto& entry : left) {
        if (!(entry.key == other->key) ||
            !same_value(entry.value, other->value))
          return false;
        ++other;
      }
      return true;
    }
    default:
      return a == b;
  }
}

void plan_disagreement(std::string_view what, const Value& plan,
                       const Value& tree) noexcept {
  try {
    std::fprintf(stderr,
                 "evaluation plan and tree evaluator disagree on %.*s: plan "
                 "gives %s (kind %d), tree gives %s (kind %d)\n",
                 static_cast<int>(what.size()), what.data(),
                 plan.text().c_str(), static_cast<int>(plan.kind()),
                 tree.text().c_str(), static_cast<int>(tree.kind()));
  } catch (...) {
    // Out of memory for the texts: the abort below still says enough.
  }
  std::abort();
}

}  // namespace halvo_runtime::eval
