#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "common/secret_bytes.hpp"
#include "input_error.hpp"

namespace auth_password {

inline constexpr std::array<std::string_view, 1> AUTHENTICATE_MEMBERS = {"password"};
inline constexpr std::array<std::string_view, 2> UPDATE_MEMBERS = {"old_password", "new_password"};

// Reads `text` as exactly one JSON object whose members are exactly
// `members`, each once and each a string, in any order, with only blank,
// tab, line feed and carriage return around the tokens. Returns the strings'
// values, decoded to UTF-8, in the order of `members`.
//
// The values are decoded straight into secret memory, and nothing of a
// string is copied anywhere else: not into a failure, whose text names the
// line and column instead (counting bytes, as the account-service client's
// strict reader does), nor into a general JSON library, which keeps copies of
// every token it reads in memory it never wipes.
[[nodiscard]] std::expected<std::vector<common::SecretBytes>, InputError> read_password_request(
    std::span<const std::uint8_t> text, std::span<const std::string_view> members);

}  // namespace auth_password
