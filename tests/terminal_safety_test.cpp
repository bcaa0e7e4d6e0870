// Bytes that a daemon or a client controls never reach a terminal as
// controls: the program's failure line after a refused password change, and
// the development daemon's log.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/utf8.hpp"
#include "common/uuid.hpp"
#include "dialogue_bytes.hpp"
#include "pty_session.hpp"
#include "run_process.hpp"
#include "running_accountd.hpp"
#include "scripted_daemon.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/secrets.hpp"

namespace {

using test_support::answer_all;
using test_support::asked;
using test_support::cleared;
using test_support::FakeDaemon;
using test_support::FakeScript;
using test_support::PtyOptions;
using test_support::PtySession;
using test_support::RunningAccountd;
using test_support::summary;
using test_support::visible;

const common::Uuid USER = *common::parse_uuid("2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10");

// No C0 or C1 control and no DEL, and valid UTF-8: nothing a terminal would
// act on instead of showing. (U+0080 to U+009F are C2 80 to C2 9F in UTF-8.)
bool only_shows(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7f) return false;
    if (byte == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9f) return false;
  }
  return common::is_utf8(text);
}

bool every_line_only_shows(std::string_view text) {
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    if (!only_shows(text.substr(start, end - start))) return false;
    start = end + 1;
  }
  return true;
}

std::string failure_reply(std::string_view value_json) {
  return R"({"success":false,"value":)" + std::string(value_json) + "}";
}

TEST(TerminalSafety, AFailedPasswordChangeShowsDaemonBytesEscaped) {
  nlohmann::json secret = tavrin_account::secret_to_json(tavrin_account::Secret{.name = "MasterKey"});
  secret["security_flags"] = "ENCRYPTED|\x1b[2J";
  const std::string flag_piece = R"({"success":true,"value":)" + secret.dump() + "}";
  struct Case {
    std::string name;
    std::string reply;                 // the body of the daemon's reply to the first request
    std::optional<std::string> shown;  // the whole text after the prefix, when the client adds nothing of its own
    std::string part;                  // else a part of it
  };
  const std::vector<Case> cases = {
      {"text without controls stays as it is",
       failure_reply(R"({"Internal":"disk full: \\ \"x\" 'y' caf\u00e9 \u05e9\u05dc\u05d5\u05dd"})"),
       "internal error: disk full: \\ \"x\" 'y' caf\u00e9 \u05e9\u05dc\u05d5\u05dd",
       {}},
      {"format and separator characters that reorder or hide text",
       failure_reply(R"({"Internal":"\u202eok\u202c \u2066x\u2069 \u061c\u200b\u2028\ufeff\u00a0"})"),
       R"(internal error: \u{202e}ok\u{202c} \u{2066}x\u{2069} \u{61c}\u{200b}\u{2028}\u{feff}\u{a0})",
       {}},
      {"OSC retitle, CSI clear and home",
       failure_reply(R"({"Internal":"\u001b]0;owned\u0007\u001b[2J\u001b[H"})"),
       R"(internal error: \u{1b}]0;owned\u{7}\u{1b}[2J\u{1b}[H)",
       {}},
      {"C1 controls as UTF-8",
       failure_reply(R"({"Internal":"\u009b2J\u009d0;owned\u009c\u0085"})"),
       R"(internal error: \u{9b}2J\u{9d}0;owned\u{9c}\u{85})",
       {}},
      {"CR and cursor moves that redraw the summaries",
       failure_reply(
           R"({"Internal":"\r\u001b[2K\u001b[2A\rOld Password: [hidden]\u001b[K\nNew Password: [hidden]\u001b[K\n\u001b[8m"})"),
       R"(internal error: \r\u{1b}[2K\u{1b}[2A\rOld Password: [hidden]\u{1b}[K\nNew Password: [hidden]\u{1b}[K\n\u{1b}[8m)",
       {}},
      // The decoder's message quotes what it read last: the raw byte itself.
      {"raw 0x9b byte in an undecodable reply", failure_reply("{\"Internal\":\"\x9b[2J\"}"), std::nullopt,
       "last read: '\"\xEF\xBF\xBD'"},
      {"raw C1 bytes after valid text", failure_reply("{\"Internal\":\"ok \x9d\x90\"}"), std::nullopt, "\xEF\xBF\xBD"},
      {"unknown case name", failure_reply(R"({"Bogus\u001b[2J":null})"), std::nullopt, R"(Bogus\u{1b}[2J)"},
      {"flag piece", flag_piece, std::nullopt, R"(`\u{1b}[2J`)"},
  };
  const std::string prefix = "Unable to update user password: ";
  const std::string dialogue = asked("Old Password") + cleared(1) + summary("Old Password") + asked("New Password") +
                               asked("Confirm password") + cleared(2) + summary("New Password") + prefix;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDaemon daemon({FakeScript().answer(c.reply)});
    PtySession session(AUTH_PASSWORD_BIN, PtyOptions{.args = {"Update", "user_uuid=" + USER.hyphenated(), "mode=CLI"},
                                                     .env = {{"ACCOUNT_IPC_URI", daemon.uri()}}});
    answer_all(session, {{"Old Password", "old\n"}, {"New Password", "new\n"}, {"Confirm password", "new\n"}});
    const auto ended = session.wait_exit();
    EXPECT_EQ(ended.exit_status, 1);
    const std::string& transcript = session.transcript();
    ASSERT_TRUE(transcript.starts_with(dialogue) && transcript.ends_with("\n")) << visible(transcript);
    const std::string shown = transcript.substr(dialogue.size(), transcript.size() - dialogue.size() - 1);
    EXPECT_TRUE(only_shows(shown)) << visible(shown);
    if (c.shown) {
      EXPECT_EQ(shown, *c.shown) << visible(shown);
    } else {
      EXPECT_NE(shown.find(c.part), std::string::npos) << visible(shown);
    }
    EXPECT_EQ(daemon.finish().size(), 1U);
  }
}

TEST(TerminalSafety, TheDaemonLogShowsClientAndCommandLineBytesEscaped) {
  RunningAccountd daemon(ACCOUNTD_BIN, std::nullopt);
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  {
    auto connection = tavrin_account::connect_to_endpoint(daemon.uri());
    ASSERT_TRUE(connection.has_value());
    EXPECT_FALSE(tavrin_account::get_secret(*connection, USER,
                                            "\x1b]0;owned\x07\xc2\x9b"
                                            "2J\r")
                     .has_value());
  }
  EXPECT_EQ(daemon.stop(SIGTERM), 0);
  const std::string log = daemon.log();
  EXPECT_NE(log.find(R"(name="\u{1b}]0;owned\u{7}\u{9b}2J\r" -> NoSuchSecret)"), std::string::npos) << visible(log);
  EXPECT_TRUE(every_line_only_shows(log)) << visible(log);

  const auto refused =
      test_support::run_process(ACCOUNTD_BIN, {.args = {"--memory", "--\x1b[2J\x9b\u202e\u2066\u2028\ufeff"}});
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_EQ(refused.err.substr(0, refused.err.find('\n') + 1),
            "accountd: unknown argument `--\\u{1b}[2J\xEF\xBF\xBD\\u{202e}\\u{2066}\\u{2028}\\u{feff}`\n")
      << visible(refused.err);
}

}  // namespace
