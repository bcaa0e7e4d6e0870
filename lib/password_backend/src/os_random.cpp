#include "password_backend/os_random.hpp"
#include "password_backend/os_random_seams.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "common/fd_io.hpp"
#include "common/unique_fd.hpp"

namespace password_backend {

std::expected<void, common::IoError> fill_from_random_device(const char* path, std::span<std::uint8_t> out) {
  const common::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::unexpected(common::IoError::last_os_error());
  return common::read_exact(fd.get(), out);
}

std::expected<void, common::IoError> fill_from_os_random(std::span<std::uint8_t> out) {
  std::size_t filled = 0;
  while (filled < out.size()) {
    const ssize_t got = ::getrandom(out.data() + filled, out.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSYS) return fill_from_random_device("/dev/urandom", out.subspan(filled));
      return std::unexpected(common::IoError::last_os_error());
    }
    filled += static_cast<std::size_t>(got);
  }
  return {};
}

}  // namespace password_backend
