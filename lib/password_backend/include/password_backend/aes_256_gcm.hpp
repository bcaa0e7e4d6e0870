#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/secret_bytes.hpp"

namespace password_backend {

inline constexpr std::size_t AES_256_KEY_BYTES = 32;
inline constexpr std::size_t GCM_NONCE_BYTES = 12;
inline constexpr std::size_t GCM_TAG_BYTES = 16;
// GCM's own bound on one message under one nonce: 2^32 - 2 blocks.
inline constexpr std::size_t GCM_MAX_MESSAGE_BYTES = ((std::size_t{1} << 32) - 2) * 16;

// AES-256-GCM with a 96-bit nonce, a 128-bit tag and no additional data, on
// nettle, which picks AES-NI and carry-less multiply at run time where the
// processor has them. The key must be 32 bytes and the nonce 12 (callers
// check; anything else aborts).

// Appends the ciphertext and then the tag to `out`; false, with `out` as it
// was, for a message longer than GCM allows.
[[nodiscard]] bool aes_256_gcm_seal(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                                    std::span<const std::uint8_t> plaintext, std::vector<std::uint8_t>& out);

// Decrypts ciphertext-and-tag into `plaintext`, replacing its bytes and
// reusing its capacity; false when it is shorter than a tag, longer than GCM
// allows, or the tag does not verify, and then `plaintext` is wiped and left
// empty.
[[nodiscard]] bool aes_256_gcm_open(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                                    std::span<const std::uint8_t> ciphertext_and_tag, common::SecretBytes& plaintext);

}  // namespace password_backend
