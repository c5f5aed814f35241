// The nesting bound of runtime values.
//
// Copying, comparing, destroying and converting a Value recurse once per
// level of nested lists and maps, on the C stack of the calling thread. So
// that these recursions stay within a known stack budget on any thread,
// every Value the runtime holds is at most a bounded number of levels deep:
// whoever builds values from outside input (the Python binding, the fuzz
// harnesses) refuses input nested deeper than kMaxInputDepth.
//
//   if (depth > halvo_runtime::event::kMaxInputDepth) refuse();
//   std::size_t levels = halvo_runtime::event::nesting_depth(value);
//
// Evaluation can wrap a value in a few levels more: a list literal of the
// policy around a reference, the whole event or the context as a map. The
// policy reader bounds the nesting of a document (kMaxNesting), so no value
// the runtime makes is deeper than kMaxValueDepth.
#pragma once

#include <cstddef>

#include "halvo_compiler/policy_reader.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::event {

// Levels of nested lists and maps a value from outside may have: a scalar
// has none, [] has one, [[1]] two.
inline constexpr std::size_t kMaxInputDepth = 1000;

// The deepest value evaluation can produce from inputs within the bound.
inline constexpr std::size_t kMaxValueDepth =
    kMaxInputDepth + halvo_compiler::kMaxNesting + 1;

// The levels of nested lists and maps in `value` (0 for a scalar), and the
// largest of them over the values of `map`. Recurses once per level, like
// the operations it bounds.
std::size_t nesting_depth(const Value& value) noexcept;
std::size_t nesting_depth(const ValueMap& map) noexcept;

}  // namespace halvo_runtime::event
