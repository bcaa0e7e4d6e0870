#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace common {

// Where and why a byte string stops being UTF-8.
struct Utf8Error {
  std::size_t valid_up_to;   // bytes before the fault are valid
  std::size_t error_length;  // 0: the input ends inside a sequence

  [[nodiscard]] std::string display() const;
  [[nodiscard]] std::string debug() const;
};

[[nodiscard]] std::expected<void, Utf8Error> check_utf8(std::span<const std::uint8_t> bytes);
[[nodiscard]] std::expected<void, Utf8Error> check_utf8(std::string_view text);
[[nodiscard]] inline bool is_utf8(std::string_view text) { return check_utf8(text).has_value(); }

}  // namespace common
