#include "attempt_log.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/message_error.hpp"
#include "tavrin_account/error.hpp"

namespace auth_password {
namespace {

using common::FailureClass;
using common::MessageError;

// The outcomes the end-to-end log test cannot bring about cheaply.
TEST(AttemptLog, ChangeFailuresGetTheirReasonFromTheirClassNotTheirText) {
  const auto failure = [](common::AnyError error, bool apart = false) {
    return std::expected<void, password_backend::ChangeFailure>(
        std::unexpect, password_backend::ChangeFailure{.error = std::move(error), .may_be_apart = apart});
  };
  struct Case {
    std::expected<void, password_backend::ChangeFailure> changed;
    std::string shown;
  };
  std::vector<Case> cases;
  cases.push_back(
      {failure(MessageError("gone", FailureClass::Unreachable), true), "failed (interrupted change): gone"});
  cases.push_back({failure(MessageError("another password change", FailureClass::Busy)),
                   "failed (another change in progress): another password change"});
  cases.push_back(
      {failure(tavrin_account::Error::internal("db\x1b[2J")), "failed (protocol error): internal error: db\\u{1b}[2J"});
  cases.push_back({failure(MessageError(std::string(300, 'x') + "\xc3\xa9")),
                   "failed (system error): " + std::string(240, 'x') + "..."});
  const ModeArguments arguments{.user_uuid = *common::parse_uuid("2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10"),
                                .mode = "CLI"};
  for (const auto& c : cases) {
    EXPECT_EQ(attempt_line(Operation::Update, arguments, 1000, "/dev/pts/3", outcome_of_change(c.changed)),
              "Update mode=CLI user=2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10 uid=1000 tty=/dev/pts/3: " + c.shown);
  }
}

}  // namespace
}  // namespace auth_password
