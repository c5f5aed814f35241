// SmallString: the immutable text type of every identifier, key and string
// value in the policy model, the runtime values and the results.
//
// Texts of up to 23 bytes live inline in the 24-byte object, so short
// identifiers cost no heap allocation. Longer texts live in one
// reference-counted heap block that every copy shares; copying never copies
// bytes. Comparison is byte for byte and case-sensitive.
//
//   halvo::SmallString name("tool_call");     // inline, no allocation
//   halvo::SmallString copy = name;           // 24-byte copy
//   if (copy == "tool_call") { ... }          // compares with string_view
//
// Construction from text may throw std::bad_alloc (long texts only); every
// other operation is noexcept.
#pragma once

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "halvo/same_text.h"

namespace halvo {

class SmallString {
 public:
  static constexpr std::size_t kInlineCapacity = 23;

  SmallString() noexcept { clear_inline(); }
  explicit SmallString(std::string_view text) {
    // Short texts are the common case (identifiers, field names); keeping
    // this branch inline makes them a copy of a few bytes.
    if (text.size() <= kInlineCapacity) {
      set_inline(text);
    } else {
      init_heap(text, {});
    }
  }
  SmallString(const char* text) : SmallString(std::string_view(text)) {}

  // The text `first` followed by `second`, built in place: joining two
  // texts costs at most the one allocation of the result.
  static SmallString joined(std::string_view first, std::string_view second) {
    SmallString text;
    const std::size_t size = first.size() + second.size();
    if (size <= kInlineCapacity) {
      if (!first.empty())
        std::memcpy(text.storage_.bytes, first.data(), first.size());
      if (!second.empty()) {
        std::memcpy(text.storage_.bytes + first.size(), second.data(),
                    second.size());
      }
      text.storage_.bytes[kInlineCapacity] = static_cast<char>(size);
    } else {
      text.init_heap(first, second);
    }
    return text;
  }

  SmallString(const SmallString& other) noexcept : storage_(other.storage_) {
    if (!is_inline()) {
      storage_.heap.block->refs.fetch_add(1, std::memory_order_relaxed);
    }
  }
  SmallString(SmallString&& other) noexcept : storage_(other.storage_) {
    other.clear_inline();
  }
  SmallString& operator=(const SmallString& other) noexcept {
    if (this != &other) {
      SmallString copy(other);
      *this = std::move(copy);
    }
    return *this;
  }
  SmallString& operator=(SmallString&& other) noexcept {
    if (this != &other) {
      release();
      storage_ = other.storage_;
      other.clear_inline();
    }
    return *this;
  }
  ~SmallString() {
    if (!is_inline()) release_heap();
  }

  // Makes this the text `text`. A short text is written straight into
  // place: building a temporary and moving it in would store the bytes one
  // by one and load them back as words at once, a load the processor cannot
  // serve from its pending stores. A long text takes an allocation, which
  // may throw std::bad_alloc; this string is unchanged then. `text` must
  // not point into this string.
  void assign(std::string_view text) {
    if (text.size() > kInlineCapacity) {
      *this = SmallString(text);
      return;
    }
    if (!is_inline()) release_heap();
    set_inline(text);
  }

  const char* data() const noexcept {
    return is_inline() ? storage_.bytes : storage_.heap.block->bytes;
  }
  std::size_t size() const noexcept {
    return is_inline() ? static_cast<std::size_t>(tag()) : storage_.heap.size;
  }
  bool empty() const noexcept { return size() == 0; }
  std::string_view view() const noexcept { return {data(), size()}; }
  operator std::string_view() const noexcept { return view(); }
  std::string str() const { return std::string(view()); }

  // True when the text is held inline (exposed for tests of the layout).
  bool is_inline() const noexcept { return tag() != kHeapTag; }

  friend bool operator==(const SmallString& a, const SmallString& b) noexcept {
    return same_text(a.view(), b.view());
  }
  friend bool operator==(const SmallString& a, std::string_view b) noexcept {
    return same_text(a.view(), b);
  }
  friend bool operator==(const SmallString& a, const char* b) noexcept {
    return same_text(a.view(), std::string_view(b));
  }
  friend std::strong_ordering operator<=>(const SmallString& a,
                                          const SmallString& b) noexcept {
    return a.view() <=> b.view();
  }

 private:
  static constexpr unsigned char kHeapTag = 0xFF;

  struct HeapBlock {
    std::atomic<std::uint64_t> refs;
    char bytes[1];  // the text follows, NUL-terminated
  };

  unsigned char tag() const noexcept {
    return static_cast<unsigned char>(storage_.bytes[kInlineCapacity]);
  }
  // Holds `text` inline. Precondition: it fits and nothing is on the heap.
  void set_inline(std::string_view text) noexcept {
    if (!text.empty()) std::memcpy(storage_.bytes, text.data(), text.size());
    storage_.bytes[kInlineCapacity] = static_cast<char>(text.size());
  }
  void clear_inline() noexcept {
    storage_.bytes[0] = '\0';
    storage_.bytes[kInlineCapacity] = 0;
  }
  // Takes a heap block holding `first` then `second`.
  void init_heap(std::string_view first, std::string_view second);
  void release() noexcept {
    if (!is_inline()) release_heap();
    clear_inline();
  }
  void release_heap() noexcept;

  // Byte 23 is the tag: the inline length (0..23), or kHeapTag.
  union Storage {
    char bytes[kInlineCapacity + 1];
    struct {
      HeapBlock* block;
      std::size_t size;
    } heap;
  } storage_;
};

static_assert(sizeof(SmallString) == 24);

}  // namespace halvo
