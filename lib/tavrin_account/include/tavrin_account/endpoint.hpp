#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "common/io_error.hpp"

namespace tavrin_account {

inline constexpr std::string_view DEFAULT_ACCOUNT_IPC_URI = "unix://@verified:org.norvalex.os/accountd";
inline constexpr std::string_view ACCOUNT_IPC_URI_VARIABLE = "ACCOUNT_IPC_URI";

// Where the daemon's socket lives: a name in the abstract namespace, or a
// file system path.
struct EndpointAddress {
  enum class Kind : std::uint8_t { Abstract, Pathname };
  Kind kind = Kind::Abstract;
  std::string bytes;

  friend bool operator==(const EndpointAddress&, const EndpointAddress&) = default;
};

// The endpoint URI from the environment, read afresh on every call; the
// default when the variable is unset or not UTF-8.
[[nodiscard]] std::string resolve_endpoint_uri();

// "unix://@NAME" or "unix:///PATH", compared byte for byte; anything else is
// AddrNotAvailable.
[[nodiscard]] std::expected<EndpointAddress, common::IoError> parse_endpoint_uri(std::string_view uri);

struct SocketAddress {
  sockaddr_un address{};
  socklen_t length = 0;

  [[nodiscard]] const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&address); }
};

// The kernel's form of an endpoint, with the length that names exactly the
// abstract name or the path plus its terminating zero.
[[nodiscard]] std::expected<SocketAddress, common::IoError> make_socket_address(const EndpointAddress& endpoint);

}  // namespace tavrin_account
