#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace auth_password::backend {

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

class Argon2Engine {
 public:
  Argon2Engine() = default;
  Argon2Engine(const Argon2Engine&) = delete;
  Argon2Engine& operator=(const Argon2Engine&) = delete;
  virtual ~Argon2Engine() = default;

  [[nodiscard]] virtual std::string_view name() const = 0;
  [[nodiscard]] virtual bool can_compute(const Argon2Job& job, std::size_t output_length) const = 0;
  [[nodiscard]] virtual std::expected<void, Argon2Failure> compute(const Argon2Job& job,
                                                                   std::span<std::uint8_t> output) const = 0;
};

// libsodium's crypto_pwhash: vectorised, but only Argon2id/Argon2i version 19,
// one lane, a 16-byte salt, at least 16 output bytes, no secret and no
// associated data (and Argon2i with at least 3 passes).
[[nodiscard]] const Argon2Engine& sodium_argon2();
// libargon2's argon2_ctx, single-threaded: every valid computation.
[[nodiscard]] const Argon2Engine& reference_argon2();

// The fastest engine that can compute the job.
[[nodiscard]] const Argon2Engine& argon2_engine_for(const Argon2Job& job, std::size_t output_length);
[[nodiscard]] std::expected<void, Argon2Failure> compute_argon2(const Argon2Job& job, std::span<std::uint8_t> output);

}  // namespace auth_password::backend
