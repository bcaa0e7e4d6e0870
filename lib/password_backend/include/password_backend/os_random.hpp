#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "common/io_error.hpp"

namespace password_backend {

// Fills the buffer from the kernel's random source: getrandom(2), or
// /dev/urandom on kernels that lack the call.
[[nodiscard]] std::expected<void, common::IoError> fill_from_os_random(std::span<std::uint8_t> out);

}  // namespace password_backend
