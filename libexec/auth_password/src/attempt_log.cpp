#include "attempt_log.hpp"

#include <syslog.h>
#include <unistd.h>

#include <array>
#include <climits>

#include "common/quote.hpp"

namespace auth_password {
namespace {

// Enough to tell what went wrong; a service's text may be far longer.
constexpr std::size_t DETAIL_LIMIT = 240;

std::string_view operation_word(Operation operation) {
  return operation == Operation::Authenticate ? "Authenticate" : "Update";
}

std::string_view verdict_word(Verdict verdict) {
  switch (verdict) {
    case Verdict::Accepted: return "accepted";
    case Verdict::Refused: return "refused";
    case Verdict::Changed: return "changed";
    case Verdict::Failed: return "failed";
  }
  return "failed";
}

std::string_view reason_words(Reason reason) {
  switch (reason) {
    case Reason::None: return "";
    case Reason::WrongPassword: return "wrong password";
    case Reason::NoPassword: return "no password";
    case Reason::ServiceUnreachable: return "service unreachable";
    case Reason::ProtocolError: return "protocol error";
    case Reason::InterruptedChange: return "interrupted change";
    case Reason::BadInput: return "bad input";
    case Reason::AnotherChangeInProgress: return "another change in progress";
    case Reason::SystemError: return "system error";
  }
  return "system error";
}

Reason reason_of(common::FailureClass failure) {
  switch (failure) {
    case common::FailureClass::Unreachable: return Reason::ServiceUnreachable;
    case common::FailureClass::PeerFault: return Reason::ProtocolError;
    case common::FailureClass::NotFound: return Reason::NoPassword;
    case common::FailureClass::CredentialRejected: return Reason::WrongPassword;
    case common::FailureClass::Busy: return Reason::AnotherChangeInProgress;
    case common::FailureClass::BadInput: return Reason::BadInput;
    case common::FailureClass::Unclassified: return Reason::SystemError;
  }
  return Reason::SystemError;
}

// Terminal-safe (so a log viewer is not steered by a service's bytes), on
// one line, and cut at a character boundary.
std::string shown_detail(std::string_view detail) {
  std::string safe = common::terminal_safe(detail);
  if (safe.size() <= DETAIL_LIMIT) return safe;
  std::size_t cut = DETAIL_LIMIT;
  while (cut > 0 && (static_cast<unsigned char>(safe[cut]) & 0xC0U) == 0x80U) --cut;
  safe.resize(cut);
  return safe + "...";
}

std::string terminal_name() {
  for (const int fd : {STDIN_FILENO, STDERR_FILENO, STDOUT_FILENO}) {
    std::array<char, PATH_MAX> name{};
    if (::isatty(fd) == 1 && ::ttyname_r(fd, name.data(), name.size()) == 0) return name.data();
  }
  return "none";
}

}  // namespace

AttemptOutcome failed_for(Reason reason, std::string detail) {
  return {.verdict = Verdict::Failed, .reason = reason, .detail = std::move(detail)};
}

AttemptOutcome outcome_of_failure(const common::AnyError& error) {
  return failed_for(reason_of(error.failure_class()), error.display());
}

AttemptOutcome outcome_of_check(const std::expected<bool, common::AnyError>& checked) {
  if (checked) {
    if (*checked) return {.verdict = Verdict::Accepted};
    return {.verdict = Verdict::Refused, .reason = Reason::WrongPassword};
  }
  // A user without a password is turned away like a wrong password, and
  // said apart only here.
  const Reason reason = reason_of(checked.error().failure_class());
  if (reason == Reason::NoPassword) return {.verdict = Verdict::Refused, .reason = reason};
  return failed_for(reason, checked.error().display());
}

AttemptOutcome outcome_of_change(const std::expected<void, password_backend::ChangeFailure>& changed) {
  if (changed) return {.verdict = Verdict::Changed};
  const auto& failure = changed.error();
  if (failure.may_be_apart) return failed_for(Reason::InterruptedChange, failure.display());
  return outcome_of_failure(failure.error);
}

std::string attempt_line(Operation operation, const ModeArguments& arguments, unsigned caller_uid,
                         std::string_view terminal, const AttemptOutcome& outcome) {
  std::string line(operation_word(operation));
  line += " mode=" + common::terminal_safe(arguments.mode);
  line += " user=" + arguments.user_uuid.hyphenated();
  line += " uid=" + std::to_string(caller_uid);
  line += " tty=" + common::terminal_safe(terminal);
  line += ": ";
  line += verdict_word(outcome.verdict);
  if (outcome.reason != Reason::None) {
    line += " (";
    line += reason_words(outcome.reason);
    line += ')';
  }
  if (outcome.verdict == Verdict::Failed && !outcome.detail.empty()) line += ": " + shown_detail(outcome.detail);
  return line;
}

void log_attempt(Operation operation, const ModeArguments& arguments, const AttemptOutcome& outcome) {
  const std::string line = attempt_line(operation, arguments, ::getuid(), terminal_name(), outcome);
  const bool success = outcome.verdict == Verdict::Accepted || outcome.verdict == Verdict::Changed;
  // No LOG_CONS: without a logger the line is dropped, never sent elsewhere.
  ::openlog("auth_password", LOG_PID, LOG_AUTHPRIV);
  ::syslog(success ? LOG_INFO : LOG_NOTICE, "%s", line.c_str());
  ::closelog();
}

}  // namespace auth_password
