// The stack guard: how much of the current thread's C stack is left, and
// whether a recursion over values of a given depth still fits in it.
//
//   if (!stack_allows(self->held_depth)) {   // before touching held values
//     raise_error(PyExc_RecursionError, held_values_too_deep_message());
//     return nullptr;
//   }
//
// Converting, copying, comparing, destroying and giving back a Value recurse
// once per level of nesting on the calling thread's stack, and Python
// threads may have small stacks (threading.stack_size). The interpreter's
// recursion limit does not protect them: hosts raise it, and it counts
// calls, not bytes. So the conversion checks the headroom at every level,
// and every call that works on the values an engine holds checks first that
// the stack has room for their depth.
#pragma once

#include <cstddef>

namespace corvanth_core {

// Stack a runtime recursion takes per level, with room to spare: twice the
// costliest one measured (giving back a map: 128 bytes per level with g++
// -O3; copying 80, comparing 112, destroying 48).
inline constexpr std::size_t kStackPerLevel = 256;

// Stack the snapshot decoder takes per level of nested maps (528 bytes
// with g++ -O3: reading a value and the map around it), with room to spare.
inline constexpr std::size_t kDecodeStackPerLevel = 768;

// Sanitizers pad every frame: the same recursions need several times the
// stack under them (with AddressSanitizer, copying a map nested 1000 deep
// took more than four times the release build's allowance). The tests of
// small stacks scale their stacks by the same factor under that build.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::size_t kFrameGrowth = 8;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr std::size_t kFrameGrowth = 8;
#else
inline constexpr std::size_t kFrameGrowth = 1;
#endif
#else
inline constexpr std::size_t kFrameGrowth = 1;
#endif

// Left free beyond the recursions for the calls at their leaves (Python
// allocations, a str() of an object, the result dictionary).
inline constexpr std::size_t kStackMargin = 16 * 1024;

// Bytes between the current frame and the low end of this thread's stack.
// The bounds are read once per thread; where they cannot be read the
// headroom counts as unlimited and only the depth bound applies.
std::size_t stack_headroom() noexcept;

// Whether recursions over values `depth` levels deep, and the levels that
// evaluation may wrap around them, fit in the headroom with the margin left.
bool stack_allows(std::size_t depth) noexcept;

// The deepest values a snapshot may hold to be decoded here: values that
// stack_allows accepts and whose decoding fits the headroom. 0 (scalars
// only) also where stack_allows(0) is false: building scalars does not
// recurse.
std::size_t stack_depth_budget() noexcept;

}  // namespace corvanth_core
