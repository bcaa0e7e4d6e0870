#include "service_manager.hpp"

#include <fcntl.h>
#include <systemd/sd-daemon.h>

#include <cstring>
#include <string>
#include <utility>

namespace accountd {
namespace {

std::unexpected<common::MessageError> refuse(std::string text) {
  return std::unexpected(common::MessageError(std::move(text)));
}

}  // namespace

std::expected<std::optional<common::UniqueFd>, common::MessageError> passed_listener(
    const tavrin_account::EndpointAddress& endpoint) {
  // The variables are cleared, so that nothing accountd starts believes
  // them.
  const int count = sd_listen_fds(1);
  if (count < 0) return refuse(std::string("cannot take the sockets passed: ") + std::strerror(-count));
  if (count == 0) return std::nullopt;
  if (count > 1) {
    return refuse("the service manager passed " + std::to_string(count) + " sockets; accountd takes one");
  }
  common::UniqueFd fd(SD_LISTEN_FDS_START);
  const auto address = tavrin_account::make_socket_address(endpoint);
  if (!address) return refuse(address.error().display());
  const bool abstract = endpoint.kind == tavrin_account::EndpointAddress::Kind::Abstract;
  const std::size_t name_length = abstract ? address->length - offsetof(sockaddr_un, sun_path) : 0;
  if (sd_is_socket_unix(fd.get(), SOCK_STREAM, 1, address->address.sun_path, name_length) <= 0) {
    return refuse("the socket passed by the service manager is not a listening stream socket on the endpoint");
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0 || ::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0) {
    return refuse("cannot make the passed socket non-blocking: " + common::IoError::last_os_error().display());
  }
  return fd;
}

void notify_service_manager(std::string_view state) { (void)sd_notify(0, std::string(state).c_str()); }

}  // namespace accountd
