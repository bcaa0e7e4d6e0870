#pragma once

// The random source's fallback on its own, for tests that point it at a
// device of their choosing.

#include <cstdint>
#include <expected>
#include <span>

#include "common/io_error.hpp"

namespace password_backend {

// Fills the buffer by reading a random device (fill_from_os_random falls back
// on "/dev/urandom"); a device that ends early is UnexpectedEof.
[[nodiscard]] std::expected<void, common::IoError> fill_from_random_device(const char* path,
                                                                           std::span<std::uint8_t> out);

}  // namespace password_backend
