#pragma once

#include <string>
#include <vector>

namespace test_support {

// The words that start `program`: the program itself or, when the
// environment variable AUTH_TEST_WRAPPER holds a command (for example
// "valgrind --log-file=... --error-exitcode=99"), that command's words before
// it, so every program the end-to-end tests start runs under it. Words are
// separated by spaces (no quoting); a first word without a slash is looked up
// in PATH, so the result can go to execv.
std::vector<std::string> command_words(const std::string& program);

}  // namespace test_support
