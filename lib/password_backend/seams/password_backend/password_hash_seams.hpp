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
// the helper allocate gigabytes or run for minutes. A recomputation costs
// filling its memory once and then its memory times its passes; many lanes
// add their own overhead on top (each lane is a thread in Argon2's design,
// run one after another here). With these limits the costliest admitted hash
// (512 MiB, 2 passes, 64 lanes, computed by libargon2) takes about 2.4 s of
// CPU on a 2-vCPU EPYC; 1 GiB at 4 passes took three times that. A stored
// hash above the bound cannot be recomputed, so it matches nothing.
struct StoredHashBound {
  std::uint32_t max_memory_kib = 512U * 1024U;                         // 512 MiB
  std::uint64_t max_memory_passes = std::uint64_t{1} * 1024U * 1024U;  // KiB times passes: 512 MiB at t=2
  std::uint32_t max_lanes = 64;

  [[nodiscard]] bool admits(std::uint32_t memory_kib, std::uint32_t passes, std::uint32_t lanes) const {
    return memory_kib <= max_memory_kib && std::uint64_t{memory_kib} * passes <= max_memory_passes &&
           lanes <= max_lanes;
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
