#pragma once

#include <cstddef>
#include <expected>

#include "common/secret_bytes.hpp"
#include "input_error.hpp"

namespace auth_password {

// Reads the descriptor to its end straight into secret memory. A terminal is
// refused before anything is read: a person uses the terminal front end. More
// than `limit` bytes is refused as soon as the byte after the limit arrives,
// without reading on. Whatever was read is wiped on every path.
[[nodiscard]] std::expected<common::SecretBytes, InputError> read_all_input(int fd, std::size_t limit);

}  // namespace auth_password
