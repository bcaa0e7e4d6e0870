#include "test_bytes.hpp"

#include <sodium.h>

#include <cstdlib>

namespace test_support {

// libsodium's codecs keep no state, so they need no sodium_init.

std::string to_hex(std::span<const std::uint8_t> bytes) {
  std::string hex(bytes.size() * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes.data(), bytes.size());
  hex.pop_back();
  return hex;
}

std::vector<std::uint8_t> from_hex(std::string_view hex) {
  if (hex.empty()) return {};  // libsodium wants somewhere to write, even nothing
  std::vector<std::uint8_t> bytes(hex.size() / 2);
  std::size_t length = 0;
  if (hex.size() % 2 != 0 ||
      sodium_hex2bin(bytes.data(), bytes.size(), hex.data(), hex.size(), nullptr, &length, nullptr) != 0 ||
      length != bytes.size()) {
    std::abort();
  }
  return bytes;
}

}  // namespace test_support
