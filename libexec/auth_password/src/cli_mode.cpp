#include "auth_password/cli_mode.hpp"

#include "common/message_error.hpp"

namespace auth_password {

Outcome CliMode::authenticate(ModeArguments /*arguments*/) {
  return std::unexpected(common::MessageError("not yet implemented"));
}

Outcome CliMode::update(ModeArguments /*arguments*/) {
  return std::unexpected(common::MessageError("not yet implemented"));
}

}  // namespace auth_password
