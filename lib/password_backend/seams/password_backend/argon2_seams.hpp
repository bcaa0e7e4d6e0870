#pragma once

// The two Argon2 engines one by one, for tests and benchmarks that hold them
// against each other; the program only ever lets compute_argon2 choose.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "password_backend/argon2.hpp"

namespace password_backend {

enum class Argon2Engine : std::uint8_t {
  // crypto_pwhash: vectorised, but only Argon2id/Argon2i version 19, one lane,
  // a 16-byte salt, 16 output bytes or more, no secret and no associated data
  // (and Argon2i with at least 3 passes).
  Libsodium,
  // argon2_ctx, single-threaded: every valid computation.
  Libargon2,
};

// Libsodium wherever it can compute the job, libargon2 for everything else.
[[nodiscard]] Argon2Engine argon2_engine_for(const Argon2Job& job, std::size_t output_length);

// The job on the given engine; libsodium refuses what it cannot compute.
[[nodiscard]] std::expected<void, Argon2Failure> compute_argon2_with(Argon2Engine engine, const Argon2Job& job,
                                                                     std::span<std::uint8_t> output);

}  // namespace password_backend
