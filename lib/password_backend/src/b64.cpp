#include "password_backend/b64.hpp"

#include <sodium.h>

#include "common/sodium_ready.hpp"

namespace password_backend {

std::string b64_encode(std::span<const std::uint8_t> bytes) {
  common::ensure_sodium_ready();
  constexpr int variant = sodium_base64_VARIANT_ORIGINAL_NO_PADDING;
  // sodium_base64_ENCODED_LEN counts the terminating NUL.
  std::string text(sodium_base64_ENCODED_LEN(bytes.size(), variant), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), variant);
  text.resize(b64_encoded_length(bytes.size()));
  return text;
}

std::expected<std::vector<std::uint8_t>, B64Error> b64_decode(std::string_view text, std::size_t max_bytes) {
  common::ensure_sodium_ready();
  if (text.size() > b64_encoded_length(max_bytes)) return std::unexpected(B64Error::TooLong);
  std::vector<std::uint8_t> bytes((text.size() * 3 / 4) + 1);
  std::size_t decoded = 0;
  const char* end = nullptr;
  // No characters are ignored, so anything outside the alphabet stops the
  // decoder early and is caught by the end check. Within the length checked
  // above no text decodes to more than max_bytes; the last test only keeps
  // that promise should the two ever part.
  if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &decoded, &end,
                        sodium_base64_VARIANT_ORIGINAL_NO_PADDING) != 0 ||
      end != text.data() + text.size()) {
    return std::unexpected(B64Error::Malformed);
  }
  if (decoded > max_bytes) return std::unexpected(B64Error::TooLong);
  bytes.resize(decoded);
  return bytes;
}

}  // namespace password_backend
