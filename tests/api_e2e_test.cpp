// The program as another program meets it: the passwords as one JSON object
// on standard input (a pipe or a regular file), the answer in the exit status
// and one line on standard error, against accountd.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "account_endpoint.hpp"
#include "password_backend/operations.hpp"
#include "pty_session.hpp"
#include "run_process.hpp"
#include "running_accountd.hpp"
#include "tavrin_account/endpoint.hpp"
#include "test_bytes.hpp"
#include "unix_socket.hpp"

namespace {

using test_support::Endpoint;
using test_support::ProcessOptions;
using test_support::ProcessResult;
using test_support::PtyOptions;
using test_support::PtySession;
using test_support::RunningAccountd;

const std::string USER_TEXT = "7a41c0de-2b9e-4f13-8d6c-5e0f1a2b3c40";
constexpr std::size_t INPUT_LIMIT = 131072;

common::Uuid user_number(std::uint8_t n) {
  common::Uuid user = *common::parse_uuid(USER_TEXT);
  user.bytes[15] = n;
  return user;
}

std::vector<std::string> api_args(std::string_view verb, const common::Uuid& user) {
  return {std::string(verb), "user_uuid=" + user.hyphenated(), "mode=API"};
}

std::string authenticate_input(std::string_view password) {
  return R"({"password": ")" + std::string(password) + R"("})";
}
std::string update_input(std::string_view old_password, std::string_view new_password) {
  return R"({"new_password":")" + std::string(new_password) + R"(", "old_password":")" + std::string(old_password) +
         R"("})";
}

// Standard input as a pipe holding the bytes, or as a regular file.
enum class Input : std::uint8_t { Pipe, File };

ProcessResult run_api(std::string_view verb, const common::Uuid& user, const std::string& uri, std::string input,
                      Input how = Input::Pipe) {
  ProcessOptions options{.args = api_args(verb, user), .env = {{"ACCOUNT_IPC_URI", uri}}};
  if (how == Input::Pipe) {
    options.stdin_data = std::move(input);
  } else {
    const std::string file = test_support::make_temp_directory("auth-api-input") + "/input.json";
    std::ofstream(file, std::ios::binary) << input;
    options.stdin_file = file;
  }
  return test_support::run_process(AUTH_PASSWORD_BIN, options);
}

// The exit status of the terminal mode, answering its prompts in order.
int at_terminal(std::string_view verb, const common::Uuid& user, const std::string& uri,
                const std::vector<std::string>& typed) {
  PtySession session(AUTH_PASSWORD_BIN,
                     PtyOptions{.args = {std::string(verb), "user_uuid=" + user.hyphenated(), "mode=CLI"},
                                .env = {{"ACCOUNT_IPC_URI", uri}}});
  const std::vector<std::string> prompts =
      typed.size() == 1 ? std::vector<std::string>{"Password"}
                        : std::vector<std::string>{"Old Password", "New Password", "Confirm password"};
  std::vector<test_support::Answer> answers;
  for (std::size_t i = 0; i < typed.size(); ++i) answers.push_back({prompts[i], typed[i] + "\n"});
  test_support::answer_all(session, answers);
  return session.wait_exit().exit_status;
}

void expect_failure(const ProcessResult& result, const std::string& error_line) {
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, error_line);
  EXPECT_EQ(result.out, "");
}

class ApiMode : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(daemon_.ready()) << daemon_.log(); }
  RunningAccountd daemon_{ACCOUNTD_BIN, std::nullopt};
};

TEST_F(ApiMode, PasswordsSetInOneModeOpenInTheOther) {
  struct Case {
    std::string name;
    bool update_through_api;
    Input input;
  };
  const std::vector<Case> cases = {
      {"API update through a pipe, CLI authenticate", true, Input::Pipe},
      {"CLI update, API authenticate from a file", false, Input::File},
  };
  std::uint8_t number = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto user = user_number(++number);
    // UTF-8 and escapes: what the program hashes is the decoded text.
    const std::string first = "caf\u00e9 \\\"one\\\"";
    const std::string first_typed = "caf\u00e9 \"one\"";
    const std::string second = "zw\\u00eb\\ud83d\\ude00 two";
    const std::string second_typed = "zw\u00eb\U0001F600 two";
    ASSERT_EQ(run_api("Update", user, daemon_.uri(), update_input("", first), c.input).exit_status, 0);
    if (c.update_through_api) {
      const auto changed = run_api("Update", user, daemon_.uri(), update_input(first, second), c.input);
      EXPECT_EQ(changed.exit_status, 0) << changed.err;
      EXPECT_EQ(changed.err + changed.out, "");
      EXPECT_EQ(at_terminal("Authenticate", user, daemon_.uri(), {second_typed}), 0);
      EXPECT_EQ(at_terminal("Authenticate", user, daemon_.uri(), {first_typed}), 1);
    } else {
      ASSERT_EQ(at_terminal("Update", user, daemon_.uri(), {first_typed, second_typed, second_typed}), 0);
      const auto accepted = run_api("Authenticate", user, daemon_.uri(), authenticate_input(second), c.input);
      EXPECT_EQ(accepted.exit_status, 0) << accepted.err;
      EXPECT_EQ(accepted.err + accepted.out, "");
      expect_failure(run_api("Authenticate", user, daemon_.uri(), authenticate_input(first), c.input),
                     "Error: \"password not accepted\"\n");
    }
  }
}

TEST_F(ApiMode, FailuresAnswerAsTheCallerNeedsThem) {
  const auto with_password = user_number(20);
  const auto without_password = user_number(21);
  ASSERT_EQ(run_api("Update", with_password, daemon_.uri(), update_input("", "right")).exit_status, 0);
  const std::string directory = test_support::make_temp_directory("auth-api-stale");
  const std::string unreachable = test_support::stale_socket_uri(directory);
  struct Case {
    std::string name;
    std::string verb;
    common::Uuid user;
    std::string uri;
    std::string input;
    std::string error_line;
  };
  const std::vector<Case> cases = {
      {"wrong password", "Authenticate", with_password, daemon_.uri(), authenticate_input("wrong"),
       "Error: \"password not accepted\"\n"},
      {"no password", "Authenticate", without_password, daemon_.uri(), authenticate_input("right"),
       "Error: \"password not accepted\"\n"},
      {"service unreachable", "Authenticate", with_password, unreachable, authenticate_input("right"),
       "Error: Os { code: 111, kind: ConnectionRefused, message: \"Connection refused\" }\n"},
      {"wrong old password", "Update", with_password, daemon_.uri(), update_input("wrong", "new"),
       "Error: \"decryption failure: Error\"\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_failure(run_api(c.verb, c.user, c.uri, c.input), c.error_line);
  }
  EXPECT_EQ(run_api("Authenticate", with_password, daemon_.uri(), authenticate_input("right")).exit_status, 0);
}

// Every input that is not the one object is refused before the account
// service hears of it.
TEST(ApiModeInput, BadInputIsRefusedWithoutAWordToTheService) {
  const std::string uri = "unix://@auth-api-bad-input-" + std::to_string(::getpid());
  const auto listener = test_support::listening_socket(*tavrin_account::parse_endpoint_uri(uri), 8);
  ASSERT_TRUE(listener.valid());
  const auto nobody_connected = [&] {
    pollfd pending{.fd = listener.get(), .events = POLLIN, .revents = 0};
    return ::poll(&pending, 1, 0) == 0;
  };
  const auto user = user_number(30);
  struct Case {
    std::string name;
    std::string verb;
    std::string input;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"empty input", "Authenticate", "", "EOF while parsing a value at line 1 column 0"},
      {"not JSON", "Authenticate", "password=x", "expected value at line 1 column 1"},
      {"a trailing value", "Authenticate", R"({"password":"x"} {})", "trailing characters at line 1 column 18"},
      {"a missing member", "Update", R"({"old_password":"x"})", "missing field `new_password`"},
      {"an extra member", "Authenticate", "{\"password\":\"x\",\n\"user\":\"y\"}",
       "unknown field, expected `password` at line 2 column 1"},
      {"a repeated member", "Authenticate", R"({"password":"x","password":"x"})",
       "duplicate field `password` at line 1 column 17"},
      {"a member that is not a string", "Update", R"({"old_password":"x","new_password":5})",
       "invalid type: number, expected a string at line 1 column 36"},
      {"invalid UTF-8", "Authenticate", "{\"password\":\"\xc3(\"}", "invalid UTF-8 at line 1 column 14"},
      {"one byte over the limit", "Authenticate", std::string(INPUT_LIMIT + 1, ' '),
       "standard input is longer than 131072 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_failure(run_api(c.verb, user, uri, c.input), "Error: \"bad input: " + c.error + "\"\n");
    EXPECT_TRUE(nobody_connected());
  }
  // A wrapper such as valgrind holds descriptors of its own, so standard
  // input closed at start is not what the program finds.
  if (std::getenv("AUTH_TEST_WRAPPER") == nullptr) {
    SCOPED_TRACE("standard input closed");
    expect_failure(test_support::run_process(AUTH_PASSWORD_BIN, {.args = api_args("Authenticate", user),
                                                                 .close_stdin = true,
                                                                 .env = {{"ACCOUNT_IPC_URI", uri}}}),
                   "Error: \"bad input: EOF while parsing a value at line 1 column 0\"\n");
    EXPECT_TRUE(nobody_connected());
  }
  {
    SCOPED_TRACE("standard input a terminal");
    PtySession session(AUTH_PASSWORD_BIN,
                       PtyOptions{.args = api_args("Update", user), .env = {{"ACCOUNT_IPC_URI", uri}}});
    EXPECT_EQ(session.wait_exit().exit_status, 1);
    EXPECT_EQ(session.transcript(), "Error: \"bad input: standard input is a terminal; a person uses mode=CLI\"\n");
    EXPECT_EQ(session.standard_output(), "");
    EXPECT_TRUE(nobody_connected());
  }
}

}  // namespace
