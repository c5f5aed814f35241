#include "policy_path.h"

#include <charconv>

namespace halvo_compiler {

std::string PolicyPath::path_text(std::span<const PathStep> steps) {
  std::string out;
  for (const PathStep& step : steps) {
    if (step.is_index) {
      char digits[24];
      const auto end =
          std::to_chars(digits, digits + sizeof digits, step.index).ptr;
      out.push_back('[');
      out.append(digits, end);
      out.push_back(']');
      continue;
    }
    if (!out.empty()) out.push_back('.');
    out.append(step.key);
  }
  return out;
}

}  // namespace halvo_compiler
