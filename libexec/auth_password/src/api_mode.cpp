#include "auth_password/api_mode.hpp"

#include "common/message_error.hpp"

namespace auth_password {

Outcome ApiMode::authenticate(ModeArguments /*arguments*/) {
  return std::unexpected(common::MessageError("not yet implemented"));
}

Outcome ApiMode::update(ModeArguments /*arguments*/) {
  return std::unexpected(common::MessageError("not yet implemented"));
}

}  // namespace auth_password
