#include "prompt/read_secret.hpp"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "common/unique_fd.hpp"
#include "echo_off.hpp"
#include "secret_line.hpp"

namespace prompt {
namespace {

std::expected<common::SecretBytes, common::IoError> read_hidden_line(int fd, Reprompt reprompt) {
  termios saved{};
  if (::tcgetattr(fd, &saved) != 0) return std::unexpected(common::IoError::last_os_error());

  detail::EchoOff echo_off;
  if (auto started = echo_off.start(fd, saved, reprompt); !started) return std::unexpected(std::move(started.error()));
  auto line = detail::read_line(fd);
  // The settings come back before the outcome is looked at; if that fails,
  // the person's terminal is what matters most and its error wins.
  if (auto restored = echo_off.restore(); !restored) return std::unexpected(std::move(restored.error()));
  if (!line) return line;
  detail::trim_line_end(*line);
  return line;
}

}  // namespace

std::expected<common::SecretBytes, common::IoError> read_secret(Reprompt reprompt) {
  if (::isatty(0) == 1) return read_hidden_line(0, reprompt);
  // Standard input is redirected: the person is still at the controlling
  // terminal, and the redirected input is left unread.
  const common::UniqueFd tty(::open("/dev/tty", O_RDWR | O_CLOEXEC));
  if (!tty.valid()) return std::unexpected(common::IoError::last_os_error());
  return read_hidden_line(tty.get(), reprompt);
}

}  // namespace prompt
