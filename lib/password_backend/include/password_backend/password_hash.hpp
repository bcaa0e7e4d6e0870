#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "common/any_error.hpp"

namespace password_backend {

// The settings of every hash this program makes.
inline constexpr std::uint32_t HASH_MEMORY_KIB = 19456;
inline constexpr std::uint32_t HASH_PASSES = 2;
inline constexpr std::uint32_t HASH_LANES = 1;
inline constexpr std::size_t HASH_SALT_BYTES = 16;
inline constexpr std::size_t HASH_OUTPUT_BYTES = 32;

// Making a hash failed: "rng failure", or the Argon2 library's text.
struct PasswordHashError {
  std::string text;

  [[nodiscard]] std::string display() const { return text; }
  [[nodiscard]] std::string debug() const;
};

// "$argon2id$v=19$m=19456,t=2,p=1$<22 B64 salt>$<43 B64 hash>" over the whole
// password with a fresh salt from the kernel's random source.
[[nodiscard]] std::expected<std::string, common::AnyError> make_password_hash(std::span<const std::uint8_t> password);

// One hash of `password` with the settings above, its result wiped unread:
// the work of checking a password against a hash this program made, for a
// user who has none, so that the answer takes as long to come.
void hash_and_discard(std::span<const std::uint8_t> password);

// Errors only when the stored data cannot be used at all (not UTF-8, not a
// password-hash string, not Argon2); a mismatch and every failure to
// recompute the stored hash are false. Stored parameters are untrusted: a
// hash of more than 512 MiB, more than 1 GiB times passes or more than 64
// lanes matches nothing, and nothing is allocated for it.
[[nodiscard]] std::expected<bool, common::AnyError> password_matches(std::span<const std::uint8_t> stored_data,
                                                                     std::span<const std::uint8_t> password);

}  // namespace password_backend
