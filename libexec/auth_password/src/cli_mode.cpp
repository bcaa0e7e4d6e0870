#include "auth_password/cli_mode.hpp"

#include <sys/signalfd.h>

#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>

#include "attempt_log.hpp"
#include "change_steps.hpp"
#include "common/invariant.hpp"
#include "common/io_error.hpp"
#include "common/quote.hpp"
#include "common/signal_sets.hpp"
#include "common/unique_fd.hpp"
#include "password_backend/change_lock.hpp"
#include "password_backend/operations.hpp"
#include "prompt/password_prompt.hpp"

namespace auth_password {
namespace {

constexpr std::string_view UPDATE_FAILED = "Unable to update user password: ";
// After a failure that may have left the envelope and the hash under
// different passwords: true whether they are apart or in step, since the same
// change finishes the one and is an ordinary change in the other.
constexpr std::string_view RUN_AGAIN = "Run the same change again to complete it.\n";

}  // namespace

// From the first write on, a change runs to its end and says how it ended: a
// signal that killed or stopped the process with a write in flight would
// leave the secrets half changed, or changed with nobody told. The signals
// stay blocked until exit, so one that arrives meanwhile goes with the process
// instead of turning a completed change into a death by signal. The block
// starts at the backend's hook, not when the prompts end, because until the
// first write an interrupt still abandons a change that has touched nothing;
// the prompts have given back their own signal handling by then.
//
// A held signal that would have ended the process is still a request to
// stop: the descriptor handed to the backend becomes readable when one is
// pending, and the backend then waits for the daemon only so much longer.
// Nobody reads it, so the signal stays pending and goes with the process.
std::expected<int, common::AnyError> hold_termination_signals() {
  const common::WritePhaseSignals signals = common::write_phase_signals();
  // Kept, like the block, until the process exits. Made first, so that a
  // failure leaves the signals as they were and nothing written.
  static common::UniqueFd stop_requests;
  stop_requests.reset(::signalfd(-1, &signals.stop_requests, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!stop_requests.valid()) return std::unexpected(common::IoError::last_os_error());
  if (common::block_signals_by_kernel(signals.held) != 0)
    common::invariant_broken("the write phase cannot hold its signals");
  return stop_requests.get();
}

// Held from before the first read of the user's secrets until the process
// exits, when the kernel gives it back however the process ends: a second
// change of the same user reads the secrets only once this one has written
// them and is gone.
std::expected<void, common::AnyError> lock_for_the_rest_of_the_process(const common::Uuid& user) {
  static std::optional<password_backend::ChangeLock> held;
  auto lock = password_backend::lock_password_change(user);
  if (!lock) return std::unexpected(std::move(lock).error());
  held.emplace(std::move(*lock));
  return {};
}

namespace {

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
