// Decodes names, timestamps and runtime Values from fuzz input bytes.
//
//   fuzz::ValueDecoder input(bytes, policy_text);
//   while (!input.empty()) {
//     SmallString key = input.name();
//     Value value = input.value();
//   }
//
// Every read succeeds: past the end the bytes read as 0, so a decoder never
// fails and a short input simply ends in Nulls and empty names. Names come
// mostly from the quoted strings of a text (the policy), so decoded events
// hit the names the policy looks for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "halvo/small_string.h"
#include "halvo_runtime/value.h"
#include "halvo_runtime/value_depth.h"

namespace fuzz {

class ValueDecoder {
 public:
  ValueDecoder(std::string_view bytes, std::string_view names_from)
      : bytes_(bytes) {
    collect_names(names_from);
  }

  bool empty() const noexcept { return pos_ >= bytes_.size(); }

  std::uint8_t byte() noexcept {
    return empty() ? 0 : static_cast<std::uint8_t>(bytes_[pos_++]);
  }

  std::uint64_t u64() noexcept {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= std::uint64_t{byte()} << (8 * i);
    return v;
  }

  // 0xFF: an absolute time (8 bytes). Otherwise a step forward of up to
  // 32767 milliseconds, or seconds when the top bit is set.
  std::uint64_t next_time(std::uint64_t now) noexcept {
    const std::uint8_t first = byte();
    if (first == 0xFF) return u64();
    std::uint64_t step = (std::uint64_t{first & 0x7Fu} << 8) | byte();
    if (first & 0x80) step *= 1000;
    return now + step;
  }

  // One of the collected names, or below 16 raw bytes of the input.
  halvo::SmallString name() {
    const std::uint8_t pick = byte();
    if (!names_.empty() && pick < 0xF0) {
      return halvo::SmallString(names_[pick % names_.size()]);
    }
    const std::size_t length = byte() % 16;
    const std::size_t start = pos_ < bytes_.size() ? pos_ : bytes_.size();
    const std::string_view raw = bytes_.substr(start, length);
    pos_ = start + raw.size();
    return halvo::SmallString(raw);
  }

  // A value of the kind given by the next byte (Value::Kind order), nested
  // at most kMaxInputDepth levels deep.
  halvo_runtime::event::Value value(std::size_t depth = 0) {
    using halvo_runtime::event::Value;
    switch (byte() % 8) {
      case 0:
        return Value::null();
      case 1:
        return Value::boolean(byte() & 1);
      case 2:
        return Value::integer(small_or_wide());
      case 3: {
        const std::uint64_t bits = u64();
        double real;
        std::memcpy(&real, &bits, sizeof real);
        return Value::floating(real);
      }
      case 4:
        return Value::string(name());
      case 5:
        return Value::duration(static_cast<std::uint64_t>(small_or_wide()));
      case 6: {
        if (depth >= halvo_runtime::event::kMaxInputDepth) return Value();
        halvo_runtime::event::ValueList items(byte() % 5);
        for (Value& item : items) item = value(depth + 1);
        return Value::list(std::move(items));
      }
      default: {
        if (depth >= halvo_runtime::event::kMaxInputDepth) return Value();
        halvo_runtime::event::ValueMap entries;
        for (std::size_t n = byte() % 5; n > 0; --n) {
          halvo::SmallString key = name();
          entries.insert_or_assign(std::move(key), value(depth + 1));
        }
        return Value::map(std::move(entries));
      }
    }
  }

 private:
  static constexpr std::size_t kMaxNames = 64;
  static constexpr std::size_t kMaxNameLength = 64;

  // Small numbers (one signed byte) reach more comparisons with literals
  // than full 64-bit patterns; both occur.
  std::int64_t small_or_wide() noexcept {
    if (byte() & 1) return static_cast<std::int8_t>(byte());
    return static_cast<std::int64_t>(u64());
  }

  bool known(std::string_view name) const noexcept {
    for (std::string_view n : names_) {
      if (n == name) return true;
    }
    return false;
  }

  // The distinct quoted strings without escapes, in order of appearance.
  void collect_names(std::string_view text) {
    std::size_t pos = 0;
    while (names_.size() < kMaxNames) {
      const std::size_t open = text.find('"', pos);
      if (open == std::string_view::npos) return;
      const std::size_t close = text.find('"', open + 1);
      if (close == std::string_view::npos) return;
      const std::string_view name = text.substr(open + 1, close - open - 1);
      if (name.size() <= kMaxNameLength &&
          name.find('\\') == std::string_view::npos && !known(name)) {
        names_.push_back(name);
      }
      pos = close + 1;
    }
  }

  std::string_view bytes_;
  std::size_t pos_ = 0;
  std::vector<std::string_view> names_;
};

}  // namespace fuzz
