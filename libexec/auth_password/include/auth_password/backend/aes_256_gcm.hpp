#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/secret_bytes.hpp"

namespace auth_password::backend {

inline constexpr std::size_t AES_256_KEY_BYTES = 32;
inline constexpr std::size_t GCM_NONCE_BYTES = 12;
inline constexpr std::size_t GCM_TAG_BYTES = 16;

// AES-256-GCM with a 96-bit nonce, a 128-bit tag and no additional data.
// The key must be 32 bytes and the nonce 12 (callers check; anything else
// aborts).
//
// Where the processor has AES and carry-less multiply instructions the
// cipher runs on libsodium, which is ready at once; elsewhere on OpenSSL,
// whose first use in a process costs about a millisecond of set-up. Both give
// the same bytes; tests pin OpenSSL to compare them.
enum class AesGcmEngine : std::uint8_t { Fastest, OpenSsl };

// Appends the ciphertext and then the tag to `out`; false when the cipher
// fails (only for inputs of many gigabytes).
[[nodiscard]] bool aes_256_gcm_seal(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                                    std::span<const std::uint8_t> plaintext, std::vector<std::uint8_t>& out,
                                    AesGcmEngine engine = AesGcmEngine::Fastest);

// Decrypts ciphertext-and-tag into `plaintext`, replacing its bytes and
// reusing its capacity; false when it is shorter than a tag or the tag does
// not verify, and then `plaintext` is wiped and left empty.
[[nodiscard]] bool aes_256_gcm_open(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                                    std::span<const std::uint8_t> ciphertext_and_tag, common::SecretBytes& plaintext,
                                    AesGcmEngine engine = AesGcmEngine::Fastest);

}  // namespace auth_password::backend
