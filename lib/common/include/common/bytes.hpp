#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace common {

// A text's own bytes, and bytes seen as text (with no check that they are
// UTF-8): views, valid only while what they view is.
[[nodiscard]] inline std::span<const std::uint8_t> bytes_of(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

[[nodiscard]] inline std::string_view text_of(std::span<const std::uint8_t> bytes) noexcept {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace common
