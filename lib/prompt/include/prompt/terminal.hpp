#pragma once

#include <cstddef>
#include <expected>
#include <string_view>

#include "common/io_error.hpp"
#include "common/secret_bytes.hpp"

namespace prompt {

// The dialogue's side of the terminal: standard error. Writes are
// unbuffered and complete, so there is never anything left to flush.
class Terminal {
 public:
  // Whether descriptor 2 is a terminal is decided here, once.
  Terminal();

  [[nodiscard]] int fd() const noexcept { return fd_; }
  [[nodiscard]] bool is_terminal() const noexcept { return is_terminal_; }

  [[nodiscard]] std::expected<void, common::IoError> write_str(std::string_view text) const;
  // The text and its 0x0A go out in one write.
  [[nodiscard]] std::expected<void, common::IoError> write_line(std::string_view text) const;
  // Erases the `count` lines above the cursor and leaves the cursor at the
  // start of the first of them. Nothing is written for 0.
  [[nodiscard]] std::expected<void, common::IoError> clear_last_lines(std::size_t count) const;
  // read_secret, then a newline in place of the Enter that was not echoed.
  // `reprompt` is written here again when the process is continued after a
  // stop at the prompt.
  [[nodiscard]] std::expected<common::SecretBytes, common::IoError> read_secret_line(
      std::string_view reprompt = {}) const;

 private:
  int fd_ = 2;  // standard error
  bool is_terminal_;
};

}  // namespace prompt
