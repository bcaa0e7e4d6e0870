#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace password_backend {

// The B64 of password-hash strings: the standard Base64 alphabet without
// "=" padding.
[[nodiscard]] std::string b64_encode(std::span<const std::uint8_t> bytes);

// Why a text is not the B64 of at most max_bytes bytes.
enum class B64Error : std::uint8_t {
  // Longer than the encoding of max_bytes: found before decoding anything.
  TooLong,
  // A character outside the alphabet, a length no encoding has, or unused
  // trailing bits that are not zero.
  Malformed,
};

// Strict decoding: every character must belong to the alphabet, the length
// must be a possible encoded length, unused trailing bits must be zero, and
// the result may hold at most max_bytes (checked before decoding).
[[nodiscard]] std::expected<std::vector<std::uint8_t>, B64Error> b64_decode(std::string_view text,
                                                                            std::size_t max_bytes);

// Characters needed to encode n bytes.
[[nodiscard]] constexpr std::size_t b64_encoded_length(std::size_t n) { return ((n * 4) + 2) / 3; }

}  // namespace password_backend
