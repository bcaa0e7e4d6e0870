#pragma once

#include <cstdint>
#include <string>

#include "common/unique_fd.hpp"
#include "tavrin_account/endpoint.hpp"

namespace test_support {

// A stream socket bound to the endpoint, listening when a backlog is given;
// invalid when any step fails, so that a forked child can report it.
[[nodiscard]] common::UniqueFd bound_socket(const tavrin_account::EndpointAddress& endpoint);
[[nodiscard]] common::UniqueFd listening_socket(const tavrin_account::EndpointAddress& endpoint, int backlog);

// A socket file in `directory` that nobody listens on, as a daemon that died
// leaves it: connecting to it is refused.
[[nodiscard]] std::string stale_socket_uri(const std::string& directory);

// Where a stand-in daemon listens: a socket file in a fresh directory, or an
// abstract name.
enum class SocketNamespace : std::uint8_t { Path, Abstract };

// A listening socket under a name of its own; `uri` names it and `directory`
// is the directory made for a socket file (empty for an abstract name).
[[nodiscard]] common::UniqueFd listen_on_fresh_socket(SocketNamespace where, std::string& uri, std::string& directory);

}  // namespace test_support
