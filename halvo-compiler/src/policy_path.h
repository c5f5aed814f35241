// PolicyPath: where a value sits in a policy document, as the text
// "rules[3].condition" or "state_machines[0].transitions[2].to".
//
// A path is a list of steps from the document's root: the key of a record
// field (named as in its shape, policy_schema.h, in object and array form
// alike), the key of a variant object ("Binary", "Ref", ...), or a position
// in a list or a pair. The root itself is the empty path "". Load errors,
// skipped keys and diagnostics all name their place this way.
//
//   PolicyPath p;
//   p.push_field("rules");
//   p.push_index(3);
//   p.push_field("condition");
//   p.text();   // "rules[3].condition"
//
// Nothing throws except std::bad_alloc.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace halvo_compiler {

struct PathStep {
  std::string key;        // a field or variant key; unused for a position
  std::size_t index = 0;  // a position in a list or pair
  bool is_index = false;
};

class PolicyPath {
 public:
  void push_field(std::string_view key) {
    steps_.push_back({std::string(key), 0, false});
  }
  void push_index(std::size_t index) { steps_.push_back({{}, index, true}); }
  void pop() { steps_.pop_back(); }
  bool empty() const noexcept { return steps_.empty(); }

  std::string text() const { return path_text(steps_); }

  // The text of `steps`, root first.
  static std::string path_text(std::span<const PathStep> steps);

 private:
  std::vector<PathStep> steps_;
};

}  // namespace halvo_compiler
