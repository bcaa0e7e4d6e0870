#include "common/invariant.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace common {
namespace {

// Best effort: the process ends next whatever the write does.
void write_raw(std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

void invariant_broken(std::string_view what) noexcept {
  write_raw(what);
  write_raw("\n");
  std::abort();
}

}  // namespace common
