#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

// A view of the text's own bytes: valid only while the text is.
[[nodiscard]] std::span<const std::uint8_t> bytes_of(std::string_view text);

// Lower-case hex, two digits a byte.
[[nodiscard]] std::string to_hex(std::span<const std::uint8_t> bytes);

// The bytes that hex digits spell; aborts on anything else, since a test's
// own data is broken then.
[[nodiscard]] std::vector<std::uint8_t> from_hex(std::string_view hex);

}  // namespace test_support
