#include "test_command.hpp"

#include <unistd.h>

#include <cstdlib>
#include <string_view>

namespace test_support {
namespace {

std::string in_path(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string_view directories = path != nullptr ? path : "/usr/bin:/bin";
  while (!directories.empty()) {
    const std::size_t colon = directories.find(':');
    const std::string candidate = std::string(directories.substr(0, colon)) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) break;
    directories.remove_prefix(colon + 1);
  }
  return name;
}

}  // namespace

std::vector<std::string> command_words(const std::string& program) {
  std::vector<std::string> words;
  if (const char* wrapper = std::getenv("AUTH_TEST_WRAPPER"); wrapper != nullptr) {
    std::string_view rest = wrapper;
    while (!rest.empty()) {
      const std::size_t space = rest.find(' ');
      if (space != 0) words.emplace_back(rest.substr(0, space));
      if (space == std::string_view::npos) break;
      rest.remove_prefix(space + 1);
    }
  }
  if (!words.empty()) words.front() = in_path(words.front());
  words.push_back(program);
  return words;
}

}  // namespace test_support
