#pragma once

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

}  // namespace test_support
