#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The bytes the password dialogue writes to the terminal, for tests to compare
// transcripts with.
namespace test_support {

// One request for an entry: the prompt, then the newline written after the
// hidden line.
[[nodiscard]] inline std::string asked(std::string_view prompt) {
  std::string bytes = "\r";
  return bytes.append(prompt).append(": \n");
}

// Erasing the last `lines` lines and returning to the first of them.
[[nodiscard]] inline std::string cleared(std::size_t lines) {
  const std::string up = "\x1b[" + std::to_string(lines) + "A";
  std::string bytes = up;
  for (std::size_t i = 0; i < lines; ++i) bytes += "\r\x1b[2K\x1b[1B";
  return bytes + up;
}

// The line that replaces an accepted entry's dialogue.
[[nodiscard]] inline std::string summary(std::string_view prompt) {
  std::string bytes(prompt);
  return bytes.append(": [hidden]\n");
}

}  // namespace test_support
