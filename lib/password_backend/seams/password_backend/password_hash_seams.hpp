#pragma once

// Ways into the password hash for tests, fuzz targets and benchmarks: another
// cost bound and another salt source. The program takes neither.

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "common/any_error.hpp"
#include "common/io_error.hpp"

namespace password_backend {

// Stored parameters are untrusted: a corrupted or hostile hash must not make
// the helper allocate gigabytes or run for minutes. What a recomputation
// costs is its memory and its memory times its passes; lanes only divide the
// memory, so Argon2's own rules on them are bound enough. A stored hash above
// the bound cannot be recomputed, so it matches nothing.
struct StoredHashBound {
  std::uint32_t max_memory_kib = 1024U * 1024U;                        // 1 GiB
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

}  // namespace password_backend
