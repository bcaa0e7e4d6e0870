#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "common/any_error.hpp"
#include "common/io_error.hpp"

namespace auth_password::backend {

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

// Errors only when the stored data cannot be used at all (not UTF-8, not a
// password-hash string, not Argon2); a mismatch and every failure to
// recompute the stored hash are false.
[[nodiscard]] std::expected<bool, common::AnyError> password_matches(std::span<const std::uint8_t> stored_data,
                                                                     std::span<const std::uint8_t> password);

// Stored parameters are untrusted: a corrupted or hostile hash must not make
// the helper allocate gigabytes or run for minutes. What a recomputation
// costs is its memory and its memory times its passes; lanes only divide the
// memory, so Argon2's own rules on them are bound enough. A stored hash above
// the bound cannot be recomputed, so it matches nothing.
struct StoredHashBound {
  std::uint32_t max_memory_kib = 1024U * 1024U;          // 1 GiB
  std::uint64_t max_memory_passes = std::uint64_t{4} * 1024U * 1024U;  // KiB times passes: 1 GiB at t=4

  [[nodiscard]] bool admits(std::uint32_t memory_kib, std::uint32_t passes) const {
    return memory_kib <= max_memory_kib && std::uint64_t{memory_kib} * passes <= max_memory_passes;
  }
};

[[nodiscard]] std::expected<bool, common::AnyError> password_matches_within(const StoredHashBound& bound,
                                                                            std::span<const std::uint8_t> stored_data,
                                                                            std::span<const std::uint8_t> password);

using RandomFill = std::expected<void, common::IoError> (*)(std::span<std::uint8_t>);

// make_password_hash with the salt drawn from `fill` instead of the kernel.
[[nodiscard]] std::expected<std::string, common::AnyError> make_password_hash_using(
    RandomFill fill, std::span<const std::uint8_t> password);

}  // namespace auth_password::backend
