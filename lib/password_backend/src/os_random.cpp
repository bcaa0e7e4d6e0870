#include "password_backend/os_random.hpp"

#include <sodium.h>

#include "common/sodium_ready.hpp"

namespace password_backend {

std::expected<void, common::IoError> fill_from_os_random(std::span<std::uint8_t> out) {
  common::ensure_sodium_ready();
  // An empty span may have no storage at all, and the library takes a
  // pointer it may not be given null.
  if (out.empty()) return {};
  randombytes_buf(out.data(), out.size());
  return {};
}

}  // namespace password_backend
