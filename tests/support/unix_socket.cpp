#include "unix_socket.hpp"

#include <sys/socket.h>

#include <cstdlib>

namespace test_support {

common::UniqueFd bound_socket(const tavrin_account::EndpointAddress& endpoint) {
  const auto address = tavrin_account::make_socket_address(endpoint);
  common::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!address || !socket.valid() || ::bind(socket.get(), address->get(), address->length) != 0) return {};
  return socket;
}

common::UniqueFd listening_socket(const tavrin_account::EndpointAddress& endpoint, int backlog) {
  common::UniqueFd socket = bound_socket(endpoint);
  if (socket.valid() && ::listen(socket.get(), backlog) != 0) socket.reset();
  return socket;
}

std::string stale_socket_uri(const std::string& directory) {
  const tavrin_account::EndpointAddress endpoint{tavrin_account::EndpointAddress::Kind::Pathname,
                                                 directory + "/stale.sock"};
  if (!bound_socket(endpoint).valid()) std::abort();
  return "unix://" + endpoint.bytes;
}

}  // namespace test_support
