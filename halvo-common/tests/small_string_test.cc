#include "halvo/small_string.h"

#include <string>
#include <string_view>
#include <utility>

#include "check.h"
#include "halvo/same_text.h"

using halvo::SmallString;

namespace {

void inline_up_to_23_bytes() {
  const std::string text23(23, 'a');
  const std::string text24(24, 'b');
  CHECK(SmallString("").is_inline());
  CHECK(SmallString(text23).is_inline());
  CHECK(!SmallString(text24).is_inline());
  CHECK(SmallString(text23).view() == text23);
  CHECK(SmallString(text24).view() == text24);
  CHECK(SmallString(text23).size() == 23);
}

void copies_share_long_text() {
  const SmallString original(std::string(100, 'x'));
  const SmallString copy = original;
  CHECK(copy.data() == original.data());  // same heap block, no byte copy
  CHECK(copy == original);
}

void moves_leave_empty() {
  SmallString source(std::string(40, 'y'));
  SmallString target = std::move(source);
  CHECK(source.empty());  // NOLINT: moved-from state is specified
  CHECK(target.view() == std::string(40, 'y'));
  SmallString assigned("short");
  assigned = std::move(target);
  CHECK(assigned.size() == 40);
  assigned = assigned;  // self-assignment keeps the text
  CHECK(assigned.size() == 40);
}

void compares_bytewise() {
  CHECK(SmallString("abc") == SmallString("abc"));
  CHECK(SmallString("abc") == "abc");
  CHECK(SmallString("abc") == std::string_view("abc"));
  CHECK(!(SmallString("abc") == SmallString("ABC")));
  CHECK(SmallString("ab") < SmallString("abc"));
  CHECK(SmallString("b") > SmallString("abc"));
  const std::string with_nul("a\0b", 3);
  CHECK(SmallString(with_nul).size() == 3);
  CHECK(SmallString(with_nul) != SmallString("a"));
}

void joins_two_texts() {
  struct Case {
    std::string first;
    std::string second;
  };
  const Case cases[] = {
      {"", ""},
      {"ab", ""},
      {"", "cd"},
      {"ab", "cd"},
      {std::string(11, 'a'), std::string(12, 'b')},  // 23: still inline
      {std::string(12, 'a'), std::string(12, 'b')},  // 24: on the heap
      {std::string(40, 'a'), ""},
      {"", std::string(40, 'b')},
      {std::string("a\0", 2), std::string("\0b", 2)},
  };
  for (const Case& c : cases) {
    const SmallString text = SmallString::joined(c.first, c.second);
    CHECK(text.view() == c.first + c.second);
    CHECK(text.is_inline() == (c.first.size() + c.second.size() <= 23));
    CHECK(text.data()[text.size()] == '\0' || text.is_inline());
  }
}

// Every length across the word boundaries of same_text, each byte position
// changed in turn, from an unaligned start.
void same_text_reads_every_byte() {
  for (std::size_t n = 0; n <= 40; ++n) {
    std::string buffer(n + 1, '\0');
    for (std::size_t i = 0; i < n; ++i) {
      buffer[i + 1] = static_cast<char>('a' + i % 26);
    }
    const std::string_view text(buffer.data() + 1, n);
    std::string other(text);
    CHECK(halvo::same_text(text, other));
    CHECK(!halvo::same_text(text, other + "x"));
    for (std::size_t i = 0; i < n; ++i) {
      other[i] ^= 0x20;
      CHECK(!halvo::same_text(text, other));
      other[i] ^= 0x20;
    }
  }
}

void assign_replaces_in_place() {
  const std::string long_text(30, 'L');
  struct Case {
    std::string before;
    std::string after;
  };
  const Case cases[] = {
      {"", "tool"},
      {"tool", ""},
      {"short", long_text},
      {long_text, "ab"},
      {long_text, long_text + "M"},
      {std::string(23, 'x'), std::string(23, 'y')},
  };
  for (const Case& c : cases) {
    SmallString text(c.before);
    const SmallString shared = text;  // a long text's block outlives it
    text.assign(c.after);
    CHECK(text.view() == c.after);
    CHECK(text.is_inline() == (c.after.size() <= 23));
    CHECK(shared.view() == c.before);
  }
}

}  // namespace

int main() {
  inline_up_to_23_bytes();
  copies_share_long_text();
  moves_leave_empty();
  compares_bytewise();
  joins_two_texts();
  same_text_reads_every_byte();
  assign_replaces_in_place();
  return halvo::testing::failures();
}
