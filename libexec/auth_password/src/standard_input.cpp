#include "standard_input.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "common/io_error.hpp"

namespace auth_password {
namespace {

constexpr std::size_t FIRST_CHUNK = 4096;

InputError read_failed() {
  return InputError("cannot read standard input: " + common::IoError::last_os_error().display());
}

}  // namespace

std::expected<common::SecretBytes, InputError> read_all_input(int fd, std::size_t limit) {
  if (::isatty(fd) == 1) return std::unexpected(InputError("standard input is a terminal; a person uses mode=CLI"));
  common::SecretBytes input;
  std::size_t used = 0;
  for (;;) {
    if (used == input.size()) {
      // One byte beyond the limit is room enough to see that there is more.
      input.resize(std::min(std::max(FIRST_CHUNK, 2 * input.size()), limit + 1));
    }
    const ssize_t got = ::read(fd, input.data() + used, input.size() - used);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      // A caller may hand over a descriptor in non-blocking mode.
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd readable{.fd = fd, .events = POLLIN, .revents = 0};
        if (::poll(&readable, 1, -1) < 0 && errno != EINTR) return std::unexpected(read_failed());
        continue;
      }
      return std::unexpected(read_failed());
    }
    used += static_cast<std::size_t>(got);
    if (used > limit) {
      return std::unexpected(InputError("standard input is longer than " + std::to_string(limit) + " bytes"));
    }
  }
  input.resize(used);
  return input;
}

}  // namespace auth_password
