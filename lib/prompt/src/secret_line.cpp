#include "secret_line.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "common/utf8.hpp"

namespace prompt::detail {
namespace {

// Enough for any password typed by hand, so the buffer is normally never
// moved while it holds one.
constexpr std::size_t LINE_CAPACITY = 256;

}  // namespace

std::expected<common::SecretBytes, common::IoError> read_line(int fd) {
  common::SecretBytes line;
  line.reserve(LINE_CAPACITY);
  for (;;) {
    // The byte lands directly in secret memory; nothing is staged on the stack.
    const std::size_t length = line.size();
    line.resize(length + 1);
    const ssize_t got = ::read(fd, line.data() + length, 1);
    if (got < 0) {
      const int code = errno;
      line.resize(length);
      if (code == EINTR) continue;
      return std::unexpected(common::IoError::from_os_code(code));
    }
    if (got == 0) {
      line.resize(length);
      break;
    }
    if (line.bytes()[length] == '\n') break;
  }
  if (!common::check_utf8(line.bytes())) {
    return std::unexpected(
        common::IoError::with_message(common::ErrorKind::InvalidData, "stream did not contain valid UTF-8"));
  }
  return line;
}

void trim_line_end(common::SecretBytes& line) noexcept {
  std::size_t length = line.size();
  while (length > 0 && (line.bytes()[length - 1] == '\n' || line.bytes()[length - 1] == '\r')) --length;
  line.resize(length);
}

}  // namespace prompt::detail
