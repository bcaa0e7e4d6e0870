#include "auth_password/cli_mode.hpp"

#include <csignal>
#include <cstdlib>
#include <string>

#include "common/quote.hpp"
#include "password_backend/operations.hpp"
#include "prompt/password_prompt.hpp"

namespace auth_password {
namespace {

// From the first write on, a change runs to its end and says how it ended: a
// signal that killed or stopped the process with a write in flight would
// leave the secrets half changed, or changed with nobody told. The signals
// stay blocked until exit, so one that arrives meanwhile goes with the process
// instead of turning a completed change into a death by signal. The block
// starts at the backend's hook, not when the prompts end, because until the
// first write an interrupt still abandons a change that has touched nothing;
// the prompts have given back their own signal handling by then.
void hold_termination_signals() {
  sigset_t held;
  sigemptyset(&held);
  for (const int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) sigaddset(&held, signo);
  if (::sigprocmask(SIG_BLOCK, &held, nullptr) != 0) std::abort();
}

}  // namespace

Outcome CliMode::authenticate(ModeArguments arguments) {
  auto password = prompt::interact(prompt::PasswordPrompt().with_prompt("Password").with_allow_empty(true));
  if (!password) return std::unexpected(std::move(password).error());
  // A wrong password, a missing or unusable hash and an unreachable account
  // service must look the same to whoever is typing.
  if (!password_backend::check_password(arguments.user_uuid, password->bytes()).value_or(false)) {
    return std::unexpected(Failure::refusal("Sorry.\n"));
  }
  return {};
}

Outcome CliMode::update(ModeArguments arguments) {
  auto old_password = prompt::interact(prompt::PasswordPrompt().with_prompt("Old Password").with_allow_empty(true));
  if (!old_password) return std::unexpected(std::move(old_password).error());
  auto new_password = prompt::interact(prompt::PasswordPrompt()
                                           .with_prompt("New Password")
                                           .with_allow_empty(true)
                                           .with_confirmation("Confirm password", "Passwords mismatching"));
  if (!new_password) return std::unexpected(std::move(new_password).error());

  auto changed = password_backend::change_password(arguments.user_uuid, old_password->bytes(), new_password->bytes(),
                                                   hold_termination_signals);
  if (!changed) {
    // The reason may carry the daemon's bytes: shown, never obeyed.
    return std::unexpected(
        Failure::refusal("Unable to update user password: " + common::terminal_safe(changed.error().display()) + "\n"));
  }
  return {};
}

}  // namespace auth_password
