// Pattern: the simple pattern language of Matches, classified once.
//
// A pattern is one of four shapes, decided by the first rule that applies:
//   "^text$"   Exact: the subject is exactly `text`
//   "text.*"   Prefix: the subject starts with `text`
//   ".*text"   Suffix: the subject ends with `text`
//   otherwise  Substring: the pattern occurs in the subject
// No other character is special. Value::matches_pattern classifies its
// pattern per call; the evaluation plan classifies a constant pattern when
// it is built. Both then match through Pattern::matches.
//
//   const Pattern p = Pattern::classify(".*.pdf");   // Suffix ".pdf"
//   bool yes = p.matches("report.pdf");              // true
#pragma once

#include <cstdint>
#include <string_view>

namespace halvo_runtime::event {

struct Pattern {
  enum class Shape : std::uint8_t { Exact, Prefix, Suffix, Substring };

  Shape shape = Shape::Substring;
  std::string_view text;  // a view into the classified pattern

  static Pattern classify(std::string_view pattern) noexcept;
  bool matches(std::string_view subject) const noexcept;
};

}  // namespace halvo_runtime::event
