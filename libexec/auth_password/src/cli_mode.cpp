#include "auth_password/cli_mode.hpp"

#include <string>
#include <string_view>
#include <utility>

#include "attempt_log.hpp"
#include "change_steps.hpp"
#include "common/quote.hpp"
#include "password_backend/operations.hpp"
#include "prompt/password_prompt.hpp"

namespace auth_password {
namespace {

constexpr std::string_view UPDATE_FAILED = "Unable to update user password: ";
// After a failure that may have left the envelope and the hash under
// different passwords: true whether they are apart or in step, since the same
// change finishes the one and is an ordinary change in the other.
constexpr std::string_view RUN_AGAIN = "Run the same change again to complete it.\n";

Failure update_failed(const common::AnyError& error, std::string_view more = {}) {
  // The reason may carry the daemon's bytes: shown, never obeyed.
  std::string message(UPDATE_FAILED);
  message += common::terminal_safe(error.display());
  message += '\n';
  message += more;
  return Failure::refusal(std::move(message));
}

}  // namespace

Outcome CliMode::authenticate(ModeArguments arguments) {
  auto password = prompt::interact(prompt::PasswordPrompt().with_prompt("Password").with_allow_empty(true));
  if (!password) {
    log_attempt(Operation::Authenticate, arguments, failed_for(Reason::BadInput, password.error().display()));
    return std::unexpected(std::move(password).error());
  }
  const auto checked = password_backend::check_password(arguments.user_uuid, password->bytes());
  log_attempt(Operation::Authenticate, arguments, outcome_of_check(checked));
  // A wrong password, a missing or unusable hash and an unreachable account
  // service must look the same to whoever is typing.
  if (!checked.value_or(false)) {
    return std::unexpected(Failure::refusal("Sorry.\n"));
  }
  return {};
}

Outcome CliMode::update(ModeArguments arguments) {
  auto old_password = prompt::interact(prompt::PasswordPrompt().with_prompt("Old Password").with_allow_empty(true));
  if (!old_password) {
    log_attempt(Operation::Update, arguments, failed_for(Reason::BadInput, old_password.error().display()));
    return std::unexpected(std::move(old_password).error());
  }
  auto new_password = prompt::interact(prompt::PasswordPrompt()
                                           .with_prompt("New Password")
                                           .with_allow_empty(true)
                                           .with_confirmation("Confirm password", "Passwords mismatching"));
  if (!new_password) {
    log_attempt(Operation::Update, arguments, failed_for(Reason::BadInput, new_password.error().display()));
    return std::unexpected(std::move(new_password).error());
  }

  if (auto locked = lock_for_the_rest_of_the_process(arguments.user_uuid); !locked) {
    log_attempt(Operation::Update, arguments, outcome_of_failure(locked.error()));
    return std::unexpected(update_failed(locked.error()));
  }
  auto changed = password_backend::change_password(arguments.user_uuid, std::move(*old_password),
                                                   std::move(*new_password), hold_termination_signals);
  log_attempt(Operation::Update, arguments, outcome_of_change(changed));
  if (!changed) {
    const auto& failure = changed.error();
    return std::unexpected(update_failed(failure.error, failure.may_be_apart ? RUN_AGAIN : ""));
  }
  return {};
}

}  // namespace auth_password
