#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.hpp"

namespace test_support {

using common::bytes_of;

// Lower-case hex, two digits a byte.
[[nodiscard]] std::string to_hex(std::span<const std::uint8_t> bytes);

// The bytes that hex digits spell; aborts on anything else, since a test's
// own data is broken then.
[[nodiscard]] std::vector<std::uint8_t> from_hex(std::string_view hex);

}  // namespace test_support
