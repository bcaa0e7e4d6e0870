// The program as a person at a terminal meets it: auth_password on a
// pseudo-terminal against accountd (or a scripted daemon), compared byte for
// byte and by what the screen finally shows.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "account_endpoint.hpp"
#include "common/unique_fd.hpp"
#include "dialogue_bytes.hpp"
#include "master_key.hpp"
#include "password_backend/envelope.hpp"
#include "password_backend/operations.hpp"
#include "pty_session.hpp"
#include "running_accountd.hpp"
#include "scripted_daemon.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/secrets.hpp"
#include "test_bytes.hpp"
#include "unix_socket.hpp"

namespace {

using test_support::Answer;
using test_support::answer_all;
using test_support::asked;
using test_support::bytes_of;
using test_support::cleared;
using test_support::Endpoint;
using test_support::FakeDaemon;
using test_support::FakeScript;
using test_support::PtyOptions;
using test_support::PtySession;
using test_support::RunningAccountd;
using test_support::stale_socket_uri;
using test_support::stored_master_key;
using test_support::summary;
using test_support::visible;

const std::string USER_TEXT = "2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10";

common::Uuid user_number(std::uint8_t n) {
  common::Uuid user = *common::parse_uuid(USER_TEXT);
  user.bytes[15] = n;
  return user;
}

void set_password(const std::string& uri, const common::Uuid& user, std::string_view password) {
  const Endpoint endpoint(uri);
  const auto changed = password_backend::change_password(user, {}, common::SecretBytes::copy_of(password));
  ASSERT_TRUE(changed.has_value()) << changed.error().display();
}

bool password_accepted(const std::string& uri, const common::Uuid& user, std::string_view password) {
  const Endpoint endpoint(uri);
  return password_backend::check_password(user, bytes_of(password)).value_or(false);
}

// What one request for an entry leaves on the terminal: the prompt, then the
// newline written after the hidden line.
const std::string PASSWORD_DONE = asked("Password") + cleared(1) + summary("Password");
const std::string OLD_DONE = asked("Old Password") + cleared(1) + summary("Old Password");

// The lines a terminal shows after these bytes, trailing empty lines left
// out. It follows what the program uses: CR, LF (which a terminal's output
// processing turns into CR LF), cursor up and down, and erasing a line.
std::vector<std::string> screen_after(std::string_view bytes) {
  std::vector<std::string> lines(1);
  std::size_t row = 0;
  std::size_t column = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      ++row;
      column = 0;
    } else if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
      std::size_t count = 0;
      for (i += 2; i < bytes.size() && bytes[i] >= '0' && bytes[i] <= '9'; ++i)
        count = count * 10 + static_cast<std::size_t>(bytes[i] - '0');
      if (i == bytes.size()) break;
      if (bytes[i] == 'A') row = count > row ? 0 : row - count;
      if (bytes[i] == 'B') row += count;
      if (bytes[i] == 'K' && count == 2) lines[row].clear();
    } else {
      if (lines[row].size() <= column) lines[row].resize(column + 1, ' ');
      lines[row][column++] = c;
    }
    if (lines.size() <= row) lines.resize(row + 1);
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

PtyOptions command(std::string_view verb, const common::Uuid& user, const std::string& uri) {
  return PtyOptions{.args = {std::string(verb), "user_uuid=" + user.hyphenated(), "mode=CLI"},
                    .env = {{"ACCOUNT_IPC_URI", uri}}};
}

// Runs the program under a shell that afterwards copies whatever is left on
// standard input to standard output: it shows what the program did not read.
PtyOptions command_then_rest_of_input(std::string_view verb, const common::Uuid& user, const std::string& uri,
                                      std::string input) {
  PtyOptions options = command(verb, user, uri);
  options.args.insert(options.args.begin(), {"-c", R"("$0" "$@"; status=$?; cat; exit $status)", AUTH_PASSWORD_BIN});
  options.stdin_data = std::move(input);
  return options;
}

std::vector<Answer> update_answers(std::string_view old_password, const std::vector<std::string>& new_entries) {
  std::vector<Answer> answers = {{"Old Password", std::string(old_password) + "\n"}};
  for (std::size_t i = 0; i < new_entries.size(); ++i) {
    answers.push_back({i % 2 == 0 ? "New Password" : "Confirm password", new_entries[i] + "\n"});
  }
  return answers;
}

// A daemon socket that takes connections but never answers, to tell whether
// anyone tried to connect.
class SilentListener {
 public:
  SilentListener() : directory_(test_support::make_temp_directory("cli-silent")) {
    const tavrin_account::EndpointAddress endpoint{tavrin_account::EndpointAddress::Kind::Pathname,
                                                   directory_ + "/accountd.sock"};
    fd_ = test_support::listening_socket(endpoint, 4);
    if (!fd_.valid()) std::abort();
    uri_ = "unix://" + endpoint.bytes;
  }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  ~SilentListener() { std::filesystem::remove_all(directory_); }

  [[nodiscard]] const std::string& uri() const { return uri_; }
  [[nodiscard]] bool contacted() const {
    pollfd waiting{fd_.get(), POLLIN, 0};
    return ::poll(&waiting, 1, 0) > 0;
  }

 private:
  std::string directory_;
  std::string uri_;
  common::UniqueFd fd_;
};

std::string contents_of(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

TEST(CliAuthenticate, OnlyTheSummaryLineOnSuccessAndSorryOtherwise) {
  RunningAccountd daemon(ACCOUNTD_BIN, std::nullopt);
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  const auto horse = user_number(1);
  const auto empty = user_number(2);
  const auto spaced = user_number(3);
  const auto nobody = user_number(4);
  set_password(daemon.uri(), horse, "correct horse");
  set_password(daemon.uri(), empty, "");
  set_password(daemon.uri(), spaced, " pass word ");
  struct Case {
    std::string name;
    common::Uuid user;
    std::string typed;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"right password", horse, "correct horse\n", true},
      {"wrong password", horse, "correct hors\n", false},
      {"CR LF line end", horse, "correct horse\x16\r\n", true},  // ^V passes the CR on as a character
      {"Enter at once, empty password stored", empty, "\n", true},
      {"Enter at once, another password stored", horse, "\n", false},
      {"end of input at once, empty password stored", empty, "\x04", true},
      {"leading and trailing spaces kept", spaced, " pass word \n", true},
      {"spaces not trimmed away", spaced, "pass word\n", false},
      {"no password stored", nobody, "\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PtySession session(AUTH_PASSWORD_BIN, command("Authenticate", c.user, daemon.uri()));
    answer_all(session, {{"Password", c.typed}});
    const auto ended = session.wait_exit();
    EXPECT_EQ(ended.exit_status, c.accepted ? 0 : 1);
    EXPECT_EQ(visible(session.transcript()), visible(PASSWORD_DONE + (c.accepted ? "" : "Sorry.\n")));
    const std::vector<std::string> shown = c.accepted ? std::vector<std::string>{"Password: [hidden]"}
                                                      : std::vector<std::string>{"Password: [hidden]", "Sorry."};
    EXPECT_EQ(screen_after(session.transcript()), shown);
    EXPECT_EQ(session.standard_output(), "");
    EXPECT_TRUE(session.echo_enabled());
  }
}

TEST(CliAuthenticate, AnUnreachableOrRefusingServiceLooksLikeAWrongPassword) {
  const std::string directory = test_support::make_temp_directory("cli-unreachable");
  std::string stopped_uri;
  {
    RunningAccountd stopped(ACCOUNTD_BIN, std::nullopt);
    ASSERT_TRUE(stopped.ready()) << stopped.log();
    stopped_uri = stopped.uri();
    set_password(stopped_uri, user_number(1), "pw");
    EXPECT_EQ(stopped.stop(SIGTERM), 0);
  }
  FakeDaemon refusing({FakeScript().answer_error(tavrin_account::Error::permission_denied())});
  for (const auto& uri : {stopped_uri, stale_socket_uri(directory), refusing.uri()}) {
    SCOPED_TRACE(uri);
    PtySession session(AUTH_PASSWORD_BIN, command("Authenticate", user_number(1), uri));
    answer_all(session, {{"Password", "pw\n"}});
    const auto ended = session.wait_exit();
    EXPECT_EQ(ended.exit_status, 1);
    EXPECT_EQ(visible(session.transcript()), visible(PASSWORD_DONE + "Sorry.\n"));
    EXPECT_EQ(session.standard_output(), "");
  }
  EXPECT_EQ(refusing.finish().size(), 1U);
  std::filesystem::remove_all(directory);
}

TEST(CliUpdate, MismatchesAreClearedAndTheScreenEndsWithTheTwoSummaries) {
  RunningAccountd daemon(ACCOUNTD_BIN, std::nullopt);
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  const std::string mismatch = "error: Passwords mismatching\n";
  const std::string pair = asked("New Password") + asked("Confirm password");
  struct Case {
    std::string name;
    std::vector<std::string> new_entries;
    std::string new_password;
    std::string screen_after_old;
  };
  const std::vector<Case> cases = {
      {"agreeing at once", {"s3cret", "s3cret"}, "s3cret", pair + cleared(2)},
      {"one mismatch", {"one", "onE", "two", "two"}, "two", pair + mismatch + pair + cleared(5)},
      {"two mismatches",
       {"a", "b", "same", "same ", "c", "c"},
       "c",
       pair + mismatch + pair + mismatch + pair + cleared(8)},
  };
  std::uint8_t number = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto user = user_number(++number);
    set_password(daemon.uri(), user, "old one");
    const auto master_key = stored_master_key(daemon.uri(), user, "old one");
    ASSERT_EQ(master_key.size(), 32U);

    PtySession session(AUTH_PASSWORD_BIN, command("Update", user, daemon.uri()));
    answer_all(session, update_answers("old one", c.new_entries));
    const auto ended = session.wait_exit();
    EXPECT_EQ(ended.exit_status, 0);
    EXPECT_EQ(visible(session.transcript()), visible(OLD_DONE + c.screen_after_old + summary("New Password")));
    EXPECT_EQ(screen_after(session.transcript()),
              (std::vector<std::string>{"Old Password: [hidden]", "New Password: [hidden]"}));
    EXPECT_EQ(session.standard_output(), "");
    EXPECT_TRUE(session.echo_enabled());

    EXPECT_TRUE(password_accepted(daemon.uri(), user, c.new_password));
    EXPECT_FALSE(password_accepted(daemon.uri(), user, "old one"));
    EXPECT_EQ(stored_master_key(daemon.uri(), user, c.new_password), master_key);
  }
}

TEST(CliUpdate, AFailedChangeIsReportedBelowTheSummariesAndChangesNothing) {
  RunningAccountd daemon(ACCOUNTD_BIN, std::nullopt);
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  const auto user = user_number(1);
  set_password(daemon.uri(), user, "the real one");
  const std::string directory = test_support::make_temp_directory("cli-update-failures");
  FakeDaemon refusing({FakeScript().answer_error(tavrin_account::Error::permission_denied()).expect_request()});
  struct Case {
    std::string name;
    std::string uri;
    std::string display;
  };
  const std::vector<Case> cases = {
      {"wrong old password", daemon.uri(), "decryption failure: Error"},
      {"no daemon", "unix://" + directory + "/absent.sock", "No such file or directory (os error 2)"},
      {"daemon not listening", stale_socket_uri(directory), "Connection refused (os error 111)"},
      {"master key not readable", refusing.uri(), "permission denied"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PtySession session(AUTH_PASSWORD_BIN, command("Update", user, c.uri));
    answer_all(session, update_answers("not the real one", {"next", "next"}));
    const auto ended = session.wait_exit();
    EXPECT_EQ(ended.exit_status, 1);
    const std::string message = "Unable to update user password: " + c.display;
    EXPECT_EQ(visible(session.transcript()), visible(OLD_DONE + asked("New Password") + asked("Confirm password") +
                                                     cleared(2) + summary("New Password") + message + "\n"));
    EXPECT_EQ(screen_after(session.transcript()),
              (std::vector<std::string>{"Old Password: [hidden]", "New Password: [hidden]", message}));
    EXPECT_EQ(session.standard_output(), "");
  }
  EXPECT_EQ(refusing.finish().size(), 1U);  // nothing written after the refused read
  EXPECT_TRUE(password_accepted(daemon.uri(), user, "the real one"));
  EXPECT_FALSE(password_accepted(daemon.uri(), user, "next"));
  std::filesystem::remove_all(directory);
}

TEST(CliTerminal, StandardErrorNotATerminalStopsBeforeReadingOrContactingTheDaemon) {
  const std::string directory = test_support::make_temp_directory("cli-no-terminal");
  const std::string error_file = directory + "/stderr";
  for (const std::string verb : {"Authenticate", "Update"}) {
    SCOPED_TRACE(verb);
    const SilentListener daemon;
    PtyOptions options = command_then_rest_of_input(verb, user_number(1), daemon.uri(), "typed ahead\n");
    options.stderr_file = error_file;
    PtySession session("/bin/sh", options);
    const auto ended = session.wait_exit();
    EXPECT_EQ(ended.exit_status, 1);
    EXPECT_EQ(contents_of(error_file), "Error: IO(Custom { kind: NotConnected, error: \"not a terminal\" })\n");
    EXPECT_EQ(session.transcript(), "");
    EXPECT_EQ(session.standard_output(), "typed ahead\n");
    EXPECT_FALSE(daemon.contacted());
  }
  std::filesystem::remove_all(directory);
}

TEST(CliTerminal, AnEntryThatIsNotUtf8EndsTheRunBeforeTheDaemonIsContacted) {
  const std::string error_line =
      "Error: IO(Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" })\n";
  struct Case {
    std::string verb;
    std::vector<Answer> answers;
    std::string screen;
  };
  const std::vector<Case> cases = {
      {"Authenticate", {{"Password", "caf\xC3\xFF\n"}}, "\rPassword: " + error_line},
      {"Update", {{"Old Password", "fine\n"}, {"New Password", "\xFF\n"}}, OLD_DONE + "\rNew Password: " + error_line},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.verb);
    const SilentListener daemon;
    PtySession session(AUTH_PASSWORD_BIN, command(c.verb, user_number(1), daemon.uri()));
    for (const auto& answer : c.answers) {
      session.wait_for_output("\r" + answer.prompt + ": ");
      session.wait_for_echo_off();
      session.type(answer.typed);
    }
    const auto ended = session.wait_exit();
    EXPECT_EQ(ended.exit_status, 1);
    EXPECT_EQ(visible(session.transcript()), visible(c.screen));
    EXPECT_EQ(session.standard_output(), "");
    EXPECT_TRUE(session.echo_enabled());
    EXPECT_FALSE(daemon.contacted());
  }
}

}  // namespace
