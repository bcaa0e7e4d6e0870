#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>

#include "auth_password/mode.hpp"
#include "common/any_error.hpp"

namespace auth_password {

struct QueryInformation {};
struct Authenticate {
  ModeArguments arguments;
};
struct Update {
  ModeArguments arguments;
};
using Command = std::variant<QueryInformation, Authenticate, Update>;

using KeyValues = std::unordered_map<std::string, std::string>;

// From all words after the program name.
[[nodiscard]] std::expected<Command, common::AnyError> parse_command(std::span<const std::string_view> words);
// From the words after the command word.
[[nodiscard]] std::expected<ModeArguments, common::AnyError> parse_mode_arguments(
    std::span<const std::string_view> words);
[[nodiscard]] std::expected<KeyValues, common::AnyError> parse_key_values(std::span<const std::string_view> words);

}  // namespace auth_password
