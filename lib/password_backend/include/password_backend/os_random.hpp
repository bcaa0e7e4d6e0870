#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "common/io_error.hpp"

namespace password_backend {

// Fills the buffer from libsodium's generator, which on Linux reads the
// kernel's getrandom(2) directly (or /dev/urandom on kernels that lack it).
// Salts come from here and nonces and master keys from the same generator,
// so the program has one random source. It cannot fail: libsodium ends the
// process when the kernel gives no randomness. The error is for a
// RandomFill that can.
[[nodiscard]] std::expected<void, common::IoError> fill_from_os_random(std::span<std::uint8_t> out);

// A source of random bytes, such as fill_from_os_random.
using RandomFill = std::expected<void, common::IoError> (*)(std::span<std::uint8_t>);

}  // namespace password_backend
