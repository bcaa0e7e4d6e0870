#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "common/io_error.hpp"

namespace auth_password::backend {

// Fills the buffer from the kernel's random source: getrandom(2), or
// /dev/urandom on kernels that lack the call.
[[nodiscard]] std::expected<void, common::IoError> fill_from_os_random(std::span<std::uint8_t> out);

// Fills the buffer by reading a random device (the fallback above uses
// "/dev/urandom"); a device that ends early is UnexpectedEof.
[[nodiscard]] std::expected<void, common::IoError> fill_from_random_device(const char* path,
                                                                           std::span<std::uint8_t> out);

}  // namespace auth_password::backend
