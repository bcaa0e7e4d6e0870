#pragma once

#include <sys/socket.h>

#include <expected>

#include "common/io_error.hpp"

namespace common {

// Who is at the other end of a connected AF_UNIX socket, as the kernel
// recorded it when the connection was made (SO_PEERCRED): it cannot be
// forged by the peer, and it does not change afterwards.
[[nodiscard]] std::expected<ucred, IoError> peer_credentials(int socket);

}  // namespace common
