#include "tavrin_account/connection.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>

#include "common/fd_io.hpp"
#include "common/invariant.hpp"
#include "common/peer_credentials.hpp"
#include "socket_file_trust.hpp"

namespace tavrin_account {
namespace {

common::IoError write_zero() {
  return common::IoError::with_message(common::ErrorKind::WriteZero, "failed to write whole buffer");
}

// Sends every byte of both pieces, prefix and body, in as few system calls as
// the socket allows. A watched stop makes the sends non-blocking, so that a
// daemon that stopped reading cannot hold the program past the grace.
std::expected<void, common::IoError> send_all(int fd, std::span<const std::uint8_t> first,
                                              std::span<const std::uint8_t> second, StopRequestGrace& stop_grace) {
  const int flags = MSG_NOSIGNAL | (stop_grace.watching() ? MSG_DONTWAIT : 0);
  while (!first.empty() || !second.empty()) {
    std::array<iovec, 2> pieces{};
    std::size_t count = 0;
    for (const auto piece : {first, second}) {
      if (piece.empty()) continue;
      // sendmsg only reads through iov_base, which is not const for readv.
      // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
      pieces[count++] = iovec{const_cast<std::uint8_t*>(piece.data()), piece.size()};
    }
    msghdr message{};
    message.msg_iov = pieces.data();
    message.msg_iovlen = count;
    const ssize_t sent = ::sendmsg(fd, &message, flags);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN && stop_grace.watching()) {
        if (auto ready = stop_grace.wait(fd, POLLOUT); !ready) return ready;
        continue;
      }
      return std::unexpected(common::IoError::last_os_error());
    }
    if (sent == 0) return std::unexpected(write_zero());
    auto done = static_cast<std::size_t>(sent);
    const std::size_t from_first = std::min(done, first.size());
    first = first.subspan(from_first);
    second = second.subspan(done - from_first);
  }
  return {};
}

// Anyone may bind a free abstract name, and no file permission guards it: a
// daemon found there is believed only when it runs as root or as ourselves.
// A socket file may belong to a daemon that runs as a user of its own, but
// only where nobody else could have put it first: a name in a directory that
// anyone may write is anyone's.
std::expected<void, common::IoError> check_peer(int socket, const EndpointAddress& endpoint,
                                                const struct stat* socket_file) {
  auto credentials = common::peer_credentials(socket);
  if (!credentials) return std::unexpected(std::move(credentials).error());
  if (credentials->uid == 0 || credentials->uid == ::geteuid()) return {};
  if (socket_file != nullptr && socket_file_is_held_by(endpoint.bytes, credentials->uid, *socket_file)) return {};
  return std::unexpected(common::IoError::with_message(common::ErrorKind::PermissionDenied,
                                                       "account service endpoint is held by an untrusted user"));
}

}  // namespace

AccountConnection::AccountConnection(common::UniqueFd socket) : socket_(std::move(socket)) {
  buffer_.reserve(INITIAL_BUFFER_CAPACITY);
}

std::uint32_t decode_frame_length(const std::uint8_t* prefix) noexcept {
  return static_cast<std::uint32_t>(prefix[0]) | (static_cast<std::uint32_t>(prefix[1]) << 8U) |
         (static_cast<std::uint32_t>(prefix[2]) << 16U) | (static_cast<std::uint32_t>(prefix[3]) << 24U);
}

void encode_frame_length(std::uint32_t length, std::uint8_t* prefix) noexcept {
  for (std::size_t i = 0; i < FRAME_PREFIX_LENGTH; ++i) prefix[i] = static_cast<std::uint8_t>(length >> (8U * i));
}

namespace {

// The socket file a path leads to, held open so that the connection goes to
// exactly the file that is judged and locked, whatever is renamed meanwhile.
struct SocketFile {
  common::UniqueFd fd;
  struct stat status {};
};

std::expected<SocketFile, common::IoError> open_socket_file(const std::string& path) {
  SocketFile file;
  file.fd.reset(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!file.fd.valid() || ::fstat(file.fd.get(), &file.status) != 0) {
    return std::unexpected(common::IoError::last_os_error());
  }
  return file;
}

// Through /proc the kernel reaches the opened file itself; without /proc,
// by its name.
int connect_to_file(int socket, const SocketFile& file, const SocketAddress& by_name) {
  const std::string through_proc = "/proc/self/fd/" + std::to_string(file.fd.get());
  auto address = make_socket_address({EndpointAddress::Kind::Pathname, through_proc});
  if (!address) common::invariant_broken("/proc/self/fd/N does not fit a socket address");
  if (::connect(socket, address->get(), address->length) == 0) return 0;
  if (errno != ENOENT || ::access("/proc/self/fd", F_OK) == 0) return -1;
  return ::connect(socket, by_name.get(), by_name.length);
}

}  // namespace

std::expected<std::string, common::IoError> endpoint_identity(const EndpointAddress& endpoint) {
  std::string identity(1, static_cast<char>(endpoint.kind));
  if (endpoint.kind == EndpointAddress::Kind::Abstract) return identity + endpoint.bytes;
  auto file = open_socket_file(endpoint.bytes);
  if (!file) return std::unexpected(std::move(file).error());
  for (const std::uint64_t number :
       {static_cast<std::uint64_t>(file->status.st_dev), static_cast<std::uint64_t>(file->status.st_ino)}) {
    for (std::size_t i = 0; i < sizeof number; ++i) identity += static_cast<char>(number >> (8U * i));
  }
  return identity;
}

std::expected<AccountConnection, common::IoError> connect_to_endpoint(std::string_view uri) {
  auto endpoint = parse_endpoint_uri(uri);
  if (!endpoint) return std::unexpected(std::move(endpoint).error());
  auto address = make_socket_address(*endpoint);
  if (!address) return std::unexpected(std::move(address).error());
  std::optional<SocketFile> file;
  if (endpoint->kind == EndpointAddress::Kind::Pathname) {
    auto opened = open_socket_file(endpoint->bytes);
    if (!opened) return std::unexpected(std::move(opened).error());
    file.emplace(std::move(*opened));
  }
  common::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.valid()) return std::unexpected(common::IoError::last_os_error());
  const int connected =
      file ? connect_to_file(socket.get(), *file, *address) : ::connect(socket.get(), address->get(), address->length);
  if (connected != 0) {
    const int code = errno;
    socket.reset();
    return std::unexpected(common::IoError::from_os_code(code));
  }
  // The socket closes before a single byte of a request reaches the peer.
  if (auto trusted = check_peer(socket.get(), *endpoint, file ? &file->status : nullptr); !trusted) {
    return std::unexpected(std::move(trusted).error());
  }
  return AccountConnection(std::move(socket));
}

std::expected<AccountConnection, common::IoError> connect_account_service() {
  return connect_to_endpoint(resolve_endpoint_uri());
}

namespace {

// As common::read_exact, each read waiting as the stop watch allows.
std::expected<void, common::IoError> receive_exact(int fd, std::span<std::uint8_t> into, StopRequestGrace& stop_grace) {
  if (!stop_grace.watching()) return common::read_exact(fd, into);
  while (!into.empty()) {
    if (auto ready = stop_grace.wait(fd, POLLIN); !ready) return ready;
    const ssize_t got = ::recv(fd, into.data(), into.size(), MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return std::unexpected(common::IoError::last_os_error());
    }
    if (got == 0) {
      return std::unexpected(
          common::IoError::with_message(common::ErrorKind::UnexpectedEof, "failed to fill whole buffer"));
    }
    into = into.subspan(static_cast<std::size_t>(got));
  }
  return {};
}

std::expected<void, common::IoError> exchange_frames(int socket, std::vector<std::uint8_t>& buffer,
                                                     StopRequestGrace& stop_grace) {
  std::array<std::uint8_t, FRAME_PREFIX_LENGTH> prefix{};
  encode_frame_length(static_cast<std::uint32_t>(buffer.size()), prefix.data());
  if (auto sent = send_all(socket, prefix, buffer, stop_grace); !sent) return sent;

  if (auto got = receive_exact(socket, prefix, stop_grace); !got) return got;
  const std::uint32_t length = decode_frame_length(prefix.data());
  if (length > MAX_MESSAGE_LENGTH) {
    return std::unexpected(common::IoError::from_kind(common::ErrorKind::FileTooLarge));
  }
  buffer.resize(length);
  return receive_exact(socket, buffer, stop_grace);
}

}  // namespace

std::expected<void, common::IoError> exchange_message(AccountConnection& connection) {
  if (connection.out_of_step_) {
    return std::unexpected(common::IoError::with_message(common::ErrorKind::NotConnected,
                                                         "connection is out of step after a failed exchange"));
  }
  if (connection.buffer_.size() > MAX_MESSAGE_LENGTH) {
    return std::unexpected(common::IoError::from_kind(common::ErrorKind::FileTooLarge));
  }
  auto exchanged = exchange_frames(connection.socket(), connection.buffer_, connection.stop_grace_);
  if (!exchanged) connection.out_of_step_ = true;
  return exchanged;
}

}  // namespace tavrin_account
