// Words separated by NUL bytes, as the kernel hands them to main.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "auth_password/command_line.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> words;
  std::size_t start = 0;
  while (start <= input.size() && !input.empty()) {
    const auto end = std::min(input.find('\0', start), input.size());
    words.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  auto command = auth_password::parse_command(words);
  if (!command) {
    const std::string debug = command.error().debug();
    if (debug.empty()) std::abort();
    (void)command.error().display();
  }
  return 0;
}
