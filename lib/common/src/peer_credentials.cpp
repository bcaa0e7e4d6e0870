#include "common/peer_credentials.hpp"

namespace common {

std::expected<ucred, IoError> peer_credentials(int socket) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return std::unexpected(IoError::last_os_error());
  }
  return credentials;
}

}  // namespace common
