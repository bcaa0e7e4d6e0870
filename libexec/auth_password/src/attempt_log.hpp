#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "auth_password/mode.hpp"
#include "common/any_error.hpp"
#include "password_backend/operations.hpp"

namespace auth_password {

// Every Authenticate and Update leaves exactly one line in the system log
// (authpriv, ident auth_password), as password checkers on this kind of
// system do, for administrators and intrusion detectors:
//
//   Authenticate mode=API user=UUID uid=1000 tty=none: refused (wrong password)
//   Update mode=CLI user=UUID uid=1000 tty=/dev/pts/3: changed
//   Update mode=API user=UUID uid=0 tty=none: failed (service unreachable): why
//
// at LOG_INFO for accepted and changed, LOG_NOTICE otherwise. The words are
// fixed; "why" is the error's display form made terminal-safe and cut short,
// and never holds a password, a hash or an envelope.

enum class Operation : std::uint8_t { Authenticate, Update };
enum class Verdict : std::uint8_t { Accepted, Refused, Changed, Failed };
enum class Reason : std::uint8_t {
  None,
  WrongPassword,
  NoPassword,
  ServiceUnreachable,
  ProtocolError,
  InterruptedChange,
  BadInput,
  AnotherChangeInProgress,
  // Nothing to do with the user or the service: the program could not do its
  // part (no memory, no randomness, a lock file that is not private).
  SystemError,
};

struct AttemptOutcome {
  Verdict verdict = Verdict::Failed;
  Reason reason = Reason::None;
  std::string detail;  // for a failure: what went wrong, as the error says it
};

// How a check of a password ended, and how a change ended.
[[nodiscard]] AttemptOutcome outcome_of_check(const std::expected<bool, common::AnyError>& checked);
[[nodiscard]] AttemptOutcome outcome_of_change(const std::expected<void, password_backend::ChangeFailure>& changed);
// A failure before the backend was reached, or on the way to it.
[[nodiscard]] AttemptOutcome outcome_of_failure(const common::AnyError& error);
[[nodiscard]] AttemptOutcome failed_for(Reason reason, std::string detail);

// The message, without the ident and pid syslog(3) puts before it.
[[nodiscard]] std::string attempt_line(Operation operation, const ModeArguments& arguments, unsigned caller_uid,
                                       std::string_view terminal, const AttemptOutcome& outcome);

// Writes the line for this process: its real uid and the terminal on
// standard input, error or output, if any. Without a system logger the line
// is lost and nothing else changes.
void log_attempt(Operation operation, const ModeArguments& arguments, const AttemptOutcome& outcome);

}  // namespace auth_password
