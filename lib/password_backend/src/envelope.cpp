#include "password_backend/envelope.hpp"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <utility>

#include "common/invariant.hpp"
#include "common/message_error.hpp"
#include "common/sodium_ready.hpp"
#include "common/utf8.hpp"
#include "password_backend/aes_256_gcm.hpp"

namespace password_backend {
namespace {

std::unexpected<common::AnyError> failure(const char* text) {
  return std::unexpected(common::AnyError(common::MessageError(text)));
}

}  // namespace

common::SecretBytes envelope_key(std::span<const std::uint8_t> password) {
  common::SecretBytes key(ENVELOPE_KEY_BYTES);
  const std::size_t used = std::min(password.size(), ENVELOPE_KEY_BYTES);
  std::ranges::copy(password.first(used), key.data());
  return key;
}

std::vector<std::uint8_t> seal_master_key(const common::SecretBytes& key, std::span<const std::uint8_t> master_key) {
  if (key.size() != ENVELOPE_KEY_BYTES) common::invariant_broken("Invalid key length");
  common::ensure_sodium_ready();
  std::array<std::uint8_t, GCM_NONCE_BYTES> nonce{};
  randombytes_buf(nonce.data(), nonce.size());
  const std::size_t header = ENVELOPE_CIPHER_NAME.size() + 1 + nonce.size();
  auto sealed = aes_256_gcm_seal(key.bytes(), nonce, master_key);
  if (!sealed) common::invariant_broken("encryption failure!");
  std::vector<std::uint8_t> envelope(header, 0);  // the separator stays zero
  envelope.reserve(header + sealed->size());
  std::ranges::copy(ENVELOPE_CIPHER_NAME, envelope.begin());
  std::ranges::copy(nonce, envelope.begin() + static_cast<std::ptrdiff_t>(ENVELOPE_CIPHER_NAME.size() + 1));
  envelope.insert(envelope.end(), sealed->begin(), sealed->end());
  return envelope;
}

std::expected<common::SecretBytes, common::AnyError> open_master_key(const common::SecretBytes& key,
                                                                     std::span<const std::uint8_t> data) {
  const auto separator = std::ranges::find(data, std::uint8_t{0});
  if (separator == data.end() || separator == data.begin()) return failure("invalid master key format");
  const auto name = data.first(static_cast<std::size_t>(separator - data.begin()));
  if (!common::check_utf8(name)) return failure("invalid master key format");
  if (!std::ranges::equal(name, ENVELOPE_CIPHER_NAME,
                          [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); })) {
    return failure("unknown crypto algorithm");
  }
  return open_sealed(key, data.subspan(name.size() + 1));
}

std::expected<common::SecretBytes, common::AnyError> open_sealed(const common::SecretBytes& key,
                                                                 std::span<const std::uint8_t> sealed) {
  if (key.size() != ENVELOPE_KEY_BYTES) common::invariant_broken("Invalid key length");
  if (sealed.size() < GCM_NONCE_BYTES) return failure("Data too short");
  auto master_key = aes_256_gcm_open(key.bytes(), sealed.first(GCM_NONCE_BYTES), sealed.subspan(GCM_NONCE_BYTES));
  if (!master_key) {
    // The one failure that says the password was the wrong one.
    return std::unexpected(common::MessageError("decryption failure: Error", common::FailureClass::CredentialRejected));
  }
  return std::move(*master_key);
}

common::SecretBytes new_master_key() {
  common::ensure_sodium_ready();
  common::SecretBytes key(MASTER_KEY_BYTES);
  randombytes_buf(key.data(), key.size());
  return key;
}

}  // namespace password_backend
