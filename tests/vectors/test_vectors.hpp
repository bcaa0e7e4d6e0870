#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace auth_password::backend::testing {

// The tab-separated lines of a file in tests/vectors/, comments and blank lines skipped.
[[nodiscard]] std::vector<std::vector<std::string>> read_vectors(std::string_view file_name);
[[nodiscard]] std::vector<std::uint8_t> from_hex(std::string_view hex);
[[nodiscard]] std::span<const std::uint8_t> bytes_of(std::string_view text);

}  // namespace auth_password::backend::testing
