#pragma once

#include <expected>

#include "common/io_error.hpp"
#include "common/secret_bytes.hpp"

namespace prompt::detail {

// Reads bytes up to and including the first 0x0A, or up to end of input.
// It reads one byte at a time so that nothing after the line is taken from
// the descriptor. Interrupted reads are retried. A line that is not UTF-8 is
// wiped and reported as InvalidData.
[[nodiscard]] std::expected<common::SecretBytes, common::IoError> read_line(int fd);

// Removes every trailing 0x0D and 0x0A, in any order; nothing else.
void trim_line_end(common::SecretBytes& line) noexcept;

}  // namespace prompt::detail
