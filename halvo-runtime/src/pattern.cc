#include "halvo_runtime/pattern.h"

namespace halvo_runtime::event {

Pattern Pattern::classify(std::string_view pattern) noexcept {
  if (!pattern.empty() && pattern.front() == '^' && pattern.back() == '$') {
    // "^$" leaves the empty text; a lone "^" or "$" does not get here.
    return {Shape::Exact, pattern.substr(1, pattern.size() - 2)};
  }
  if (pattern.size() >= 2 && pattern.ends_with(".*")) {
    return {Shape::Prefix, pattern.substr(0, pattern.size() - 2)};
  }
  if (pattern.size() >= 2 && pattern.starts_with(".*")) {
    return {Shape::Suffix, pattern.substr(2)};
  }
  return {Shape::Substring, pattern};
}

bool Pattern::matches(std::string_view subject) const noexcept {
  switch (shape) {
    case Shape::Exact:
      return subject == text;
    case Shape::Prefix:
      return subject.starts_with(text);
    case Shape::Suffix:
      return subject.ends_with(text);
    case Shape::Substring:
      return subject.find(text) != std::string_view::npos;
  }
  return false;
}

}  // namespace halvo_runtime::event
