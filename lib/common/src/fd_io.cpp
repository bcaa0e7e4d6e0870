#include "common/fd_io.hpp"

#include <unistd.h>

#include <cerrno>

#include "common/bytes.hpp"

namespace common {

std::expected<void, IoError> write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::last_os_error());
    }
    if (written == 0) {
      return std::unexpected(IoError::with_message(ErrorKind::WriteZero, "failed to write whole buffer"));
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return {};
}

std::expected<void, IoError> write_all(int fd, std::string_view text) { return write_all(fd, bytes_of(text)); }

std::expected<void, IoError> read_exact(int fd, std::span<std::uint8_t> into) {
  while (!into.empty()) {
    const ssize_t got = ::read(fd, into.data(), into.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::last_os_error());
    }
    if (got == 0)
      return std::unexpected(IoError::with_message(ErrorKind::UnexpectedEof, "failed to fill whole buffer"));
    into = into.subspan(static_cast<std::size_t>(got));
  }
  return {};
}

}  // namespace common
