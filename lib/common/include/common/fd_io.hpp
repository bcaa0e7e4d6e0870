#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "common/io_error.hpp"

namespace common {

// Writes every byte to the descriptor: partial writes continue, interrupted
// writes are retried, a write that accepts nothing is WriteZero
// "failed to write whole buffer".
[[nodiscard]] std::expected<void, IoError> write_all(int fd, std::span<const std::uint8_t> bytes);
[[nodiscard]] std::expected<void, IoError> write_all(int fd, std::string_view text);

// Fills the buffer from the descriptor: short reads continue, interrupted
// reads are retried, an end before the last byte is UnexpectedEof "failed to
// fill whole buffer".
[[nodiscard]] std::expected<void, IoError> read_exact(int fd, std::span<std::uint8_t> into);

}  // namespace common
