#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "common/any_error.hpp"
#include "password_backend/argon2.hpp"
#include "password_backend/os_random.hpp"

namespace password_backend {

// The settings of every hash this program makes: Argon2id version 19 at the
// cost argon2.hpp gives (HASH_MEMORY_KIB, HASH_PASSES, HASH_LANES), with
// these lengths.
inline constexpr std::size_t HASH_SALT_BYTES = 16;
inline constexpr std::size_t HASH_OUTPUT_BYTES = 32;

// Making a hash failed: "rng failure", or the Argon2 library's text.
struct PasswordHashError {
  std::string text;

  [[nodiscard]] std::string display() const { return text; }
  [[nodiscard]] std::string debug() const;
};

// "$argon2id$v=19$m=19456,t=2,p=1$<22 B64 salt>$<43 B64 hash>" over the whole
// password with a fresh salt from `fill`: the program's random source unless
// a test gives another.
[[nodiscard]] std::expected<std::string, common::AnyError> make_password_hash(std::span<const std::uint8_t> password,
                                                                              RandomFill fill = fill_from_os_random);

// One hash of `password` with the settings above, its result wiped unread:
// the work of checking a password against a hash this program made, for a
// user who has none, so that the answer takes as long to come.
void hash_and_discard(std::span<const std::uint8_t> password);

// Stored parameters are untrusted: a corrupted or hostile hash must not make
// the helper allocate gigabytes or run for minutes. A recomputation costs
// filling its memory once and then its memory times its passes; many lanes
// add their own overhead on top (each lane is a thread in Argon2's design,
// run one after another here). The bound is on the memory (at most 512 MiB),
// on the memory times the passes (at most 1 GiB: 512 MiB at two passes, 64
// MiB at sixteen) and on the lanes (at most 64). With it the costliest
// admitted hash (512 MiB, 2 passes, 64 lanes, computed by libargon2) takes
// about 2.4 s of CPU on a 2-vCPU EPYC; 1 GiB at 4 passes took three times
// that. A stored hash above the bound cannot be recomputed, so it matches
// nothing.
struct StoredHashBound {
  std::uint32_t max_memory_kib = 512U * 1024U;                         // 512 MiB
  std::uint64_t max_memory_passes = std::uint64_t{1} * 1024U * 1024U;  // KiB times passes: 512 MiB at t=2
  std::uint32_t max_lanes = 64;

  [[nodiscard]] bool admits(std::uint32_t memory_kib, std::uint32_t passes, std::uint32_t lanes) const {
    return memory_kib <= max_memory_kib && std::uint64_t{memory_kib} * passes <= max_memory_passes &&
           lanes <= max_lanes;
  }
};

// Errors only when the stored data cannot be used at all (not UTF-8, not a
// password-hash string, not Argon2); a mismatch and every failure to
// recompute the stored hash are false. A stored hash that `bound` does not
// admit matches nothing, and nothing is allocated for it; the program keeps
// the bound above, and tests and fuzz targets take a smaller one.
[[nodiscard]] std::expected<bool, common::AnyError> password_matches(std::span<const std::uint8_t> stored_data,
                                                                     std::span<const std::uint8_t> password,
                                                                     const StoredHashBound& bound = {});

}  // namespace password_backend
