#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "common/any_error.hpp"
#include "common/secret_bytes.hpp"

namespace password_backend {

// A sealed master key: "AES-256-GCM", one zero byte, then the sealed part:
// the 12-byte nonce, the ciphertext and the 16-byte tag.
inline constexpr std::string_view ENVELOPE_CIPHER_NAME = "AES-256-GCM";
inline constexpr std::size_t ENVELOPE_KEY_BYTES = 32;
inline constexpr std::size_t MASTER_KEY_BYTES = 32;

// The password's first 32 bytes, zero-padded when it is shorter. Stored
// envelopes open only under keys made this way.
[[nodiscard]] common::SecretBytes envelope_key(std::span<const std::uint8_t> password);

// A fresh nonce each call. A key that is not 32 bytes, or a failing cipher,
// is a broken invariant and ends the process.
[[nodiscard]] std::vector<std::uint8_t> seal_master_key(const common::SecretBytes& key,
                                                        std::span<const std::uint8_t> master_key);

// "invalid master key format", "unknown crypto algorithm", or what
// open_sealed says.
[[nodiscard]] std::expected<common::SecretBytes, common::AnyError> open_master_key(const common::SecretBytes& key,
                                                                                   std::span<const std::uint8_t> data);

// "Data too short" or "decryption failure: Error"; nothing of the plaintext
// is released unless the tag verifies.
[[nodiscard]] std::expected<common::SecretBytes, common::AnyError> open_sealed(const common::SecretBytes& key,
                                                                               std::span<const std::uint8_t> sealed);

// 32 bytes from libsodium's generator, which the kernel seeds.
[[nodiscard]] common::SecretBytes new_master_key();

}  // namespace password_backend
