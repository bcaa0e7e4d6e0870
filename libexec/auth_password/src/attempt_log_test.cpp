#include "attempt_log.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/io_error.hpp"
#include "common/message_error.hpp"
#include "tavrin_account/error.hpp"

namespace auth_password {
namespace {

using common::FailureClass;
using common::MessageError;
using password_backend::ChangeFailure;

const ModeArguments ARGUMENTS{.user_uuid = *common::parse_uuid("2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10"), .mode = "API"};

std::string line(Operation operation, const AttemptOutcome& outcome) {
  const std::string text = attempt_line(operation, ARGUMENTS, 1000, "/dev/pts/3", outcome);
  const std::string head = std::string(operation == Operation::Authenticate ? "Authenticate" : "Update") +
                           " mode=API user=2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10 uid=1000 tty=/dev/pts/3: ";
  EXPECT_TRUE(text.starts_with(head)) << text;
  return text.substr(head.size());
}

std::expected<bool, common::AnyError> check_error(common::AnyError error) { return std::unexpected(std::move(error)); }

TEST(AttemptLog, EveryCheckEndsInOneFixedWordAndReason) {
  struct Case {
    std::string name;
    std::expected<bool, common::AnyError> checked;
    std::string shown;
  };
  std::vector<Case> cases;
  cases.push_back({"accepted", true, "accepted"});
  cases.push_back({"wrong password", false, "refused (wrong password)"});
  cases.push_back({"no such secret", check_error(tavrin_account::Error::no_such_secret()), "refused (no password)"});
  cases.push_back({"no such user", check_error(tavrin_account::Error::no_such_user()), "refused (no password)"});
  cases.push_back({"refused connection", check_error(common::IoError::from_os_code(ECONNREFUSED)),
                   "failed (service unreachable): Connection refused (os error 111)"});
  cases.push_back({"unreadable reply", check_error(tavrin_account::Error::communication("bad\x1b[2Jreply")),
                   "failed (protocol error): communication error: bad\\u{1b}[2Jreply"});
  cases.push_back({"unusable hash", check_error(MessageError("insecure password secret")),
                   "failed (system error): insecure password secret"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(line(Operation::Authenticate, outcome_of_check(c.checked)), c.shown);
  }
}

TEST(AttemptLog, EveryChangeEndsInOneFixedWordAndReason) {
  struct Case {
    std::string name;
    std::expected<void, ChangeFailure> changed;
    std::string shown;
  };
  const auto failure = [](common::AnyError error, bool apart = false) {
    return std::unexpected(ChangeFailure{.error = std::move(error), .may_be_apart = apart});
  };
  std::vector<Case> cases;
  cases.push_back({"changed", {}, "changed"});
  cases.push_back({"wrong old password",
                   failure(MessageError("decryption failure: Error", FailureClass::CredentialRejected)),
                   "failed (wrong password): decryption failure: Error"});
  cases.push_back({"apart", failure(MessageError("interrupted", FailureClass::Unreachable), true),
                   "failed (interrupted change): interrupted"});
  cases.push_back({"daemon refusal", failure(tavrin_account::Error::permission_denied()),
                   "failed (protocol error): permission denied"});
  cases.push_back({"long text", failure(MessageError(std::string(300, 'x') + "\xc3\xa9")),
                   "failed (system error): " + std::string(240, 'x') + "..."});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(line(Operation::Update, outcome_of_change(c.changed)), c.shown);
  }
  EXPECT_EQ(line(Operation::Update, outcome_of_failure(MessageError(
                                        "another password change for this user is in progress", FailureClass::Busy))),
            "failed (another change in progress): another password change for this user is in progress");
  EXPECT_EQ(line(Operation::Update, failed_for(Reason::BadInput, "bad input: missing field `new_password`")),
            "failed (bad input): bad input: missing field `new_password`");
}

}  // namespace
}  // namespace auth_password
