#include "listener.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace accountd {
namespace {

std::unexpected<common::MessageError> refuse(std::string text) {
  return std::unexpected(common::MessageError(std::move(text)));
}

std::unexpected<common::MessageError> system_failure(std::string_view what) {
  return refuse(std::string(what) + ": " + common::IoError::last_os_error().display());
}

// A socket file left by a daemon that is gone is replaced; a live daemon's
// socket, or any other kind of file, is left alone.
std::expected<void, common::MessageError> clear_stale_socket(const tavrin_account::SocketAddress& address,
                                                             const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return {};
    return system_failure("cannot inspect " + path);
  }
  if (!S_ISSOCK(info.st_mode)) return refuse(path + " exists and is not a socket");
  common::UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (probe.valid() && ::connect(probe.get(), address.get(), address.length) == 0) {
    return refuse("another daemon is listening on " + path);
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return system_failure("cannot remove the stale socket " + path);
  }
  return {};
}

}  // namespace

std::expected<Listener, common::MessageError> Listener::open(const tavrin_account::EndpointAddress& endpoint) {
  auto address = tavrin_account::make_socket_address(endpoint);
  if (!address) return refuse(address.error().display());
  const bool is_path = endpoint.kind == tavrin_account::EndpointAddress::Kind::Pathname;
  if (is_path) {
    if (auto cleared = clear_stale_socket(*address, endpoint.bytes); !cleared) return std::unexpected(cleared.error());
  }
  // A socket file appears only once it accepts connections: it is bound
  // under a temporary name and renamed into place after listen(), so a
  // script may wait for the file alone. Paths too long for the temporary
  // name are bound in place.
  std::string bind_path = endpoint.bytes;
  auto bind_address = *address;
  if (is_path) {
    const std::string temporary = endpoint.bytes + ".new-" + std::to_string(::getpid());
    auto temporary_address = tavrin_account::make_socket_address({endpoint.kind, temporary});
    if (temporary_address) {
      bind_path = temporary;
      bind_address = *temporary_address;
      ::unlink(temporary.c_str());
    }
  }
  common::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return system_failure("cannot create a socket");
  // Only the owner may connect: the file is born with mode 0600.
  const mode_t previous = ::umask(0177);
  const int bound = ::bind(fd.get(), bind_address.get(), bind_address.length);
  const int bind_errno = errno;
  ::umask(previous);
  if (bound != 0) {
    errno = bind_errno;
    return system_failure("cannot bind the socket");
  }
  Listener listener(std::move(fd), is_path ? bind_path : std::string());
  if (::listen(listener.fd(), SOMAXCONN) != 0) return system_failure("cannot listen");
  if (is_path && bind_path != endpoint.bytes) {
    if (::rename(bind_path.c_str(), endpoint.bytes.c_str()) != 0) {
      return system_failure("cannot move the socket into place");
    }
    listener.path_ = endpoint.bytes;
  }
  return listener;
}

Listener::Listener(Listener&& other) noexcept : fd_(std::move(other.fd_)), path_(std::move(other.path_)) {
  other.path_.clear();
}

Listener::~Listener() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

}  // namespace accountd
