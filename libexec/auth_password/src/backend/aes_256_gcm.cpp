#include "auth_password/backend/aes_256_gcm.hpp"

#include <openssl/evp.h>
#include <sodium.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>

#include "auth_password/backend/sodium_ready.hpp"

namespace auth_password::backend {
namespace {

// Freeing the context also cleanses the expanded key schedule.
struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const noexcept { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

// EVP takes int lengths: longer inputs go through in slices.
constexpr std::size_t SLICE = std::size_t{1} << 30;

int as_int(std::size_t n) { return static_cast<int>(std::min(n, std::size_t{std::numeric_limits<int>::max()})); }

CipherContext start(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce, bool encrypt) {
  if (key.size() != AES_256_KEY_BYTES || nonce.size() != GCM_NONCE_BYTES) std::abort();
  CipherContext context(EVP_CIPHER_CTX_new());
  if (!context) return nullptr;
  // The default GCM nonce length is the 12 bytes used here.
  if (EVP_CipherInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce.data(), encrypt ? 1 : 0) != 1) {
    return nullptr;
  }
  return context;
}

bool update(EVP_CIPHER_CTX* context, std::span<const std::uint8_t> in, std::uint8_t* out) {
  for (std::size_t done = 0; done < in.size();) {
    const std::size_t slice = std::min(in.size() - done, SLICE);
    int written = 0;
    if (EVP_CipherUpdate(context, out + done, &written, in.data() + done, as_int(slice)) != 1 ||
        static_cast<std::size_t>(written) != slice) {
      return false;
    }
    done += slice;
  }
  return true;
}

bool use_sodium(AesGcmEngine engine, std::size_t length) {
  if (engine != AesGcmEngine::Fastest || length > crypto_aead_aes256gcm_MESSAGEBYTES_MAX) return false;
  ensure_sodium_ready();
  return crypto_aead_aes256gcm_is_available() == 1;
}

bool sodium_seal(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                 std::span<const std::uint8_t> plaintext, std::vector<std::uint8_t>& out) {
  if (key.size() != AES_256_KEY_BYTES || nonce.size() != GCM_NONCE_BYTES) std::abort();
  const std::size_t at = out.size();
  out.resize(at + plaintext.size() + GCM_TAG_BYTES);
  if (crypto_aead_aes256gcm_encrypt_detached(out.data() + at, out.data() + at + plaintext.size(), nullptr,
                                             plaintext.data(), plaintext.size(), nullptr, 0, nullptr, nonce.data(),
                                             key.data()) != 0) {
    out.resize(at);
    return false;
  }
  return true;
}

bool sodium_open(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                 std::span<const std::uint8_t> ciphertext, std::span<const std::uint8_t> tag,
                 common::SecretBytes& plaintext) {
  if (key.size() != AES_256_KEY_BYTES || nonce.size() != GCM_NONCE_BYTES) std::abort();
  plaintext.resize(ciphertext.size());
  // The tag is checked in constant time; on a mismatch nothing is released.
  if (crypto_aead_aes256gcm_decrypt_detached(plaintext.data(), nullptr, ciphertext.data(), ciphertext.size(),
                                             tag.data(), nullptr, 0, nonce.data(), key.data()) != 0) {
    plaintext.clear();
    return false;
  }
  return true;
}

}  // namespace

bool aes_256_gcm_seal(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                      std::span<const std::uint8_t> plaintext, std::vector<std::uint8_t>& out, AesGcmEngine engine) {
  if (use_sodium(engine, plaintext.size())) return sodium_seal(key, nonce, plaintext, out);
  const CipherContext context = start(key, nonce, true);
  if (!context) return false;
  const std::size_t at = out.size();
  out.resize(at + plaintext.size() + GCM_TAG_BYTES);
  int final_bytes = 0;
  if (!update(context.get(), plaintext, out.data() + at) ||
      EVP_EncryptFinal_ex(context.get(), out.data() + at + plaintext.size(), &final_bytes) != 1 || final_bytes != 0 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, GCM_TAG_BYTES, out.data() + at + plaintext.size()) !=
          1) {
    out.resize(at);
    return false;
  }
  return true;
}

bool aes_256_gcm_open(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                      std::span<const std::uint8_t> ciphertext_and_tag, common::SecretBytes& plaintext,
                      AesGcmEngine engine) {
  plaintext.clear();
  if (ciphertext_and_tag.size() < GCM_TAG_BYTES) return false;
  const auto ciphertext = ciphertext_and_tag.first(ciphertext_and_tag.size() - GCM_TAG_BYTES);
  if (use_sodium(engine, ciphertext.size())) {
    return sodium_open(key, nonce, ciphertext, ciphertext_and_tag.last(GCM_TAG_BYTES), plaintext);
  }
  // EVP reads the expected tag through a non-const pointer but does not write it.
  std::array<std::uint8_t, GCM_TAG_BYTES> tag{};
  std::ranges::copy(ciphertext_and_tag.last(GCM_TAG_BYTES), tag.begin());
  const CipherContext context = start(key, nonce, false);
  if (!context) return false;
  // Decrypts in place of the caller's buffer (reusing its capacity); until
  // the tag agrees, EVP_DecryptFinal_ex comparing it in constant time, the
  // bytes are not released but wiped.
  plaintext.resize(ciphertext.size());
  int final_bytes = 0;
  if (!update(context.get(), ciphertext, plaintext.data()) ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, GCM_TAG_BYTES, tag.data()) != 1 ||
      EVP_DecryptFinal_ex(context.get(), plaintext.data() + ciphertext.size(), &final_bytes) != 1 || final_bytes != 0) {
    plaintext.clear();
    return false;
  }
  return true;
}

}  // namespace auth_password::backend
