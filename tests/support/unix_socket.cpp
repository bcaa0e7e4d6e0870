#include "unix_socket.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "temp_directory.hpp"

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

std::atomic<unsigned> next_name{0};

common::UniqueFd listen_on_fresh_socket(SocketNamespace where, std::string& uri, std::string& directory) {
  tavrin_account::EndpointAddress endpoint;
  if (where == SocketNamespace::Path) {
    directory = make_temp_directory("fake-accountd");
    endpoint = {tavrin_account::EndpointAddress::Kind::Pathname, directory + "/accountd.sock"};
    uri = "unix://" + endpoint.bytes;
  } else {
    endpoint = {tavrin_account::EndpointAddress::Kind::Abstract,
                "fake-accountd-" + std::to_string(::getpid()) + "-" + std::to_string(next_name++)};
    uri = "unix://@" + endpoint.bytes;
  }
  common::UniqueFd listener = listening_socket(endpoint, 16);
  if (!listener.valid()) std::abort();
  return listener;
}

}  // namespace test_support
