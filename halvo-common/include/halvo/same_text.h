// same_text: whether two texts hold the same bytes, for the short texts the
// engine compares on every event (field names, event types, constants).
//
//   if (halvo::same_text(entry.key.view(), wanted)) { ... }
//
// A text of at most 16 bytes is compared as two overlapping words (or
// halves, or three bytes) read in place, without the call into the C
// library that std::string_view's operator== makes for every length.
// Longer texts go to memcmp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace halvo {

namespace detail {

template <class Word>
inline Word word_at(const char* bytes) noexcept {
  Word word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// Whether `a` and `b`, of `n` bytes each with n in [sizeof(Word),
// 2 * sizeof(Word)], are equal: the first and the last word cover them.
template <class Word>
inline bool same_words(const char* a, const char* b, std::size_t n) noexcept {
  const std::size_t last = n - sizeof(Word);
  return ((word_at<Word>(a) ^ word_at<Word>(b)) |
          (word_at<Word>(a + last) ^ word_at<Word>(b + last))) == 0;
}

}  // namespace detail

inline bool same_text(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  const char* const x = a.data();
  const char* const y = b.data();
  if (n >= 8) {
    if (n > 16) return std::memcmp(x, y, n) == 0;
    return detail::same_words<std::uint64_t>(x, y, n);
  }
  if (n >= 4) return detail::same_words<std::uint32_t>(x, y, n);
  if (n == 0) return true;
  // One to three bytes: the first, the middle and the last cover them.
  return x[0] == y[0] && x[n / 2] == y[n / 2] && x[n - 1] == y[n - 1];
}

}  // namespace halvo
