#include "common/secret_bytes.hpp"

#include <sodium.h>

namespace common {

void wipe(void* memory, std::size_t size) noexcept {
  if (size != 0) sodium_memzero(memory, size);
}

SecretBytes::SecretBytes(std::size_t size) : bytes_(size, 0) {}

SecretBytes SecretBytes::copy_of(std::span<const std::uint8_t> bytes) {
  SecretBytes copy;
  copy.bytes_.assign(bytes.begin(), bytes.end());
  return copy;
}

SecretBytes SecretBytes::copy_of(std::string_view text) { return copy_of(bytes_of(text)); }

void SecretBytes::resize(std::size_t n) {
  if (n < bytes_.size()) wipe(bytes_.data() + n, bytes_.size() - n);
  bytes_.resize(n, 0);
}

void SecretBytes::clear() noexcept {
  wipe(bytes_.data(), bytes_.size());
  bytes_.clear();
}

bool SecretBytes::equals(std::span<const std::uint8_t> other) const noexcept {
  if (other.size() != bytes_.size()) return false;
  if (bytes_.empty()) return true;
  return sodium_memcmp(bytes_.data(), other.data(), bytes_.size()) == 0;
}

}  // namespace common
