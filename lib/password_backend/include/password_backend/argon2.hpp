#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

namespace password_backend {

enum class Argon2Variant : std::uint8_t { Argon2d, Argon2i, Argon2id };

inline constexpr std::uint32_t ARGON2_VERSION_16 = 0x10;
inline constexpr std::uint32_t ARGON2_VERSION_19 = 0x13;

// One Argon2 computation (RFC 9106): everything but the output buffer, whose
// length is the tag length.
struct Argon2Job {
  Argon2Variant variant = Argon2Variant::Argon2id;
  std::uint32_t version = ARGON2_VERSION_19;
  std::uint32_t memory_kib = 19456;
  std::uint32_t passes = 2;
  std::uint32_t lanes = 1;
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

// The job on libsodium wherever it can compute it, on libargon2 otherwise.
[[nodiscard]] std::expected<void, Argon2Failure> compute_argon2(const Argon2Job& job, std::span<std::uint8_t> output);

}  // namespace password_backend
