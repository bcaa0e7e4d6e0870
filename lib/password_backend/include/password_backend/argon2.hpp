#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>

namespace password_backend {

enum class Argon2Variant : std::uint8_t { Argon2d, Argon2i, Argon2id };

inline constexpr std::uint32_t ARGON2_VERSION_16 = 0x10;
inline constexpr std::uint32_t ARGON2_VERSION_19 = 0x13;

// The cost of every hash this program makes (Argon2id, version 19), and what
// a stored hash that leaves a parameter out is taken to mean.
inline constexpr std::uint32_t HASH_MEMORY_KIB = 19456;
inline constexpr std::uint32_t HASH_PASSES = 2;
inline constexpr std::uint32_t HASH_LANES = 1;

// One Argon2 computation (RFC 9106): everything but the output buffer, whose
// length is the tag length.
struct Argon2Job {
  Argon2Variant variant = Argon2Variant::Argon2id;
  std::uint32_t version = ARGON2_VERSION_19;
  std::uint32_t memory_kib = HASH_MEMORY_KIB;
  std::uint32_t passes = HASH_PASSES;
  std::uint32_t lanes = HASH_LANES;
  std::span<const std::uint8_t> password;
  std::span<const std::uint8_t> salt;
  std::span<const std::uint8_t> secret;
  std::span<const std::uint8_t> associated_data;
};

// The library's reason for refusing or failing a computation.
struct Argon2Failure {
  std::string text;

  [[nodiscard]] std::string display() const { return text; }
  [[nodiscard]] std::string debug() const;
};

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

// The job on the engine argon2_engine_for chooses. The program always lets
// it choose; tests and benchmarks name an engine to hold the two against each
// other, and libsodium refuses what it cannot compute.
[[nodiscard]] std::expected<void, Argon2Failure> compute_argon2(const Argon2Job& job, std::span<std::uint8_t> output,
                                                                std::optional<Argon2Engine> engine = std::nullopt);

}  // namespace password_backend
