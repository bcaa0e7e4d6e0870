#pragma once

#include <span>
#include <string_view>

#include "auth_password/method_descriptor.hpp"
#include "auth_password/mode.hpp"

namespace auth_password {

// One run of the program: parse the words after the program name, then
// describe the method or dispatch to a mode. Consumes the descriptor.
[[nodiscard]] Outcome run(MethodDescriptor descriptor, std::span<const std::string_view> words);

// Turns the outcome into the exit status; a failure's report goes to
// standard error.
[[nodiscard]] int report(const Outcome& outcome);

}  // namespace auth_password
