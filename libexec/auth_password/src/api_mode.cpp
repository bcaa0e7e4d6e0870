#include "auth_password/api_mode.hpp"

#include <unistd.h>

#include <string>
#include <utility>

#include "attempt_log.hpp"
#include "change_steps.hpp"
#include "common/message_error.hpp"
#include "password_backend/operations.hpp"
#include "password_request.hpp"
#include "standard_input.hpp"
#include "tavrin_account/connection.hpp"

namespace auth_password {
namespace {

// A change that failed in a way that may have left the two secrets apart:
// the failure as it stands, and how to finish it.
class UnfinishedChange {
 public:
  explicit UnfinishedChange(common::AnyError error) : error_(std::move(error)) {}

  [[nodiscard]] std::string display() const { return error_.display() + RUN_AGAIN; }
  [[nodiscard]] std::string debug() const { return error_.debug() + RUN_AGAIN; }
  [[nodiscard]] common::FailureClass failure_class() const { return error_.failure_class(); }

 private:
  static constexpr const char* RUN_AGAIN = "; the same change run again completes it";
  common::AnyError error_;
};

// The program's whole input: as much as one message to the account service
// may carry.
std::expected<std::vector<common::SecretBytes>, InputError> read_request(std::span<const std::string_view> members) {
  auto input = read_all_input(STDIN_FILENO, tavrin_account::MAX_MESSAGE_LENGTH);
  if (!input) return std::unexpected(std::move(input).error());
  return read_password_request(input->bytes(), members);
}

}  // namespace

Outcome ApiMode::authenticate(ModeArguments arguments) {
  auto request = read_request(AUTHENTICATE_MEMBERS);
  if (!request) {
    log_attempt(Operation::Authenticate, arguments, failed_for(Reason::BadInput, request.error().display()));
    return std::unexpected(std::move(request).error());
  }
  auto accepted = password_backend::check_password(arguments.user_uuid, request->front().bytes());
  log_attempt(Operation::Authenticate, arguments, outcome_of_check(accepted));
  if (accepted && *accepted) return {};
  // A wrong password, no password and a stored hash that cannot be used are
  // one answer, so the caller cannot tell which; a service that cannot be
  // reached or does not follow the protocol is told as what it is.
  if (!accepted) {
    if (const auto kind = accepted.error().failure_class();
        kind == common::FailureClass::Unreachable || kind == common::FailureClass::PeerFault) {
      return std::unexpected(std::move(accepted).error());
    }
  }
  return std::unexpected(common::MessageError("password not accepted", common::FailureClass::CredentialRejected));
}

Outcome ApiMode::update(ModeArguments arguments) {
  auto request = read_request(UPDATE_MEMBERS);
  if (!request) {
    log_attempt(Operation::Update, arguments, failed_for(Reason::BadInput, request.error().display()));
    return std::unexpected(std::move(request).error());
  }
  if (auto locked = lock_for_the_rest_of_the_process(arguments.user_uuid); !locked) {
    log_attempt(Operation::Update, arguments, outcome_of_failure(locked.error()));
    return std::unexpected(std::move(locked).error());
  }
  auto changed = password_backend::change_password(arguments.user_uuid, std::move((*request)[0]),
                                                   std::move((*request)[1]), hold_termination_signals);
  log_attempt(Operation::Update, arguments, outcome_of_change(changed));
  if (!changed) {
    auto failure = std::move(changed).error();
    if (failure.may_be_apart) return std::unexpected(UnfinishedChange(std::move(failure.error)));
    return std::unexpected(std::move(failure.error));
  }
  return {};
}

}  // namespace auth_password
