#include "auth_password/command_line.hpp"

#include "common/message_error.hpp"
#include "common/uuid.hpp"

namespace auth_password {

using common::AnyError;
using common::MessageError;

std::expected<Command, AnyError> parse_command(std::span<const std::string_view> words) {
  if (words.empty()) return std::unexpected(MessageError("no command specified"));
  const std::string_view command = words.front();
  const auto rest = words.subspan(1);
  if (command == "QueryInformation") return QueryInformation{};
  if (command == "Authenticate" || command == "Update") {
    auto arguments = parse_mode_arguments(rest);
    if (!arguments) return std::unexpected(std::move(arguments).error());
    if (command == "Authenticate") return Authenticate{std::move(*arguments)};
    return Update{std::move(*arguments)};
  }
  return std::unexpected(MessageError("unexpected command `" + std::string(command) + "`"));
}

std::expected<KeyValues, AnyError> parse_key_values(std::span<const std::string_view> words) {
  KeyValues map;
  for (const std::string_view word : words) {
    const auto equals = word.find('=');
    if (equals == std::string_view::npos) return std::unexpected(MessageError("invalid argument format"));
    map.insert_or_assign(std::string(word.substr(0, equals)), std::string(word.substr(equals + 1)));
  }
  return map;
}

std::expected<ModeArguments, AnyError> parse_mode_arguments(std::span<const std::string_view> words) {
  auto map = parse_key_values(words);
  if (!map) return std::unexpected(std::move(map).error());

  const auto user = map->find("user_uuid");
  if (user == map->end()) return std::unexpected(MessageError("argument user_uuid not found"));
  auto uuid = common::parse_uuid(user->second);
  if (!uuid) return std::unexpected(std::move(uuid).error());

  const auto mode = map->find("mode");
  if (mode == map->end()) return std::unexpected(MessageError("argument mode not found"));
  return ModeArguments{.user_uuid = *uuid, .mode = std::move(mode->second)};
}

}  // namespace auth_password
