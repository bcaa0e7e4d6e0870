#include "prompt/terminal.hpp"

#include <unistd.h>

#include <string>

#include "common/fd_io.hpp"
#include "prompt/read_secret.hpp"

namespace prompt {

Terminal::Terminal() : is_terminal_(::isatty(fd_) == 1) {}

std::expected<void, common::IoError> Terminal::write_str(std::string_view text) const {
  return common::write_all(fd_, text);
}

std::expected<void, common::IoError> Terminal::write_line(std::string_view text) const {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  return common::write_all(fd_, line);
}

std::expected<void, common::IoError> Terminal::clear_last_lines(std::size_t count) const {
  if (count == 0) return {};
  const std::string up = "\x1b[" + std::to_string(count) + "A";
  std::string sequence = up;
  for (std::size_t i = 0; i < count; ++i) sequence += "\r\x1b[2K\x1b[1B";
  sequence += up;
  return write_str(sequence);
}

std::expected<common::SecretBytes, common::IoError> Terminal::read_secret_line(std::string_view reprompt) const {
  auto line = read_secret(Reprompt{.fd = fd_, .text = reprompt});
  if (!line) return line;
  // Enter was not echoed; move to the next line as it would have.
  if (auto written = write_line(""); !written) return std::unexpected(std::move(written.error()));
  return line;
}

}  // namespace prompt
