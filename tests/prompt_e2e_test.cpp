// The password prompt as a person meets it: a program on a pseudo-terminal,
// typed at, interrupted and suspended, compared byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dialogue_bytes.hpp"
#include "pty_session.hpp"
#include "test_bytes.hpp"

namespace {

using test_support::Answer;
using test_support::answer_all;
using test_support::asked;
using test_support::cleared;
using test_support::PtyOptions;
using test_support::PtySession;
using test_support::summary;
using test_support::visible;

std::string hex(std::string_view text) { return test_support::to_hex(test_support::bytes_of(text)); }

std::string ok(std::string_view entry) { return "ok " + hex(entry) + "\n"; }

TEST(PromptDialogue, WritesExactlyTheExpectedBytesAndReturnsTheEntry) {
  const std::vector<std::string> confirmed = {"--prompt",  "New Password",     "--allow-empty",
                                              "--confirm", "Confirm password", "Passwords mismatching"};
  const std::string MISMATCH = "error: Passwords mismatching\n";
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::vector<Answer> answers;
    std::string screen;
    std::string result;
  };
  const std::vector<Case> cases = {
      {"no confirmation",
       {"--prompt", "Password", "--allow-empty"},
       {{"Password", "hunter2\n"}},
       asked("Password") + cleared(1) + summary("Password"),
       ok("hunter2")},
      {"confirmed at once",
       confirmed,
       {{"New Password", "s3cret\n"}, {"Confirm password", "s3cret\n"}},
       asked("New Password") + asked("Confirm password") + cleared(2) + summary("New Password"),
       ok("s3cret")},
      {"one mismatch",
       confirmed,
       {{"New Password", "one\n"},
        {"Confirm password", "onE\n"},
        {"New Password", "two\n"},
        {"Confirm password", "two\n"}},
       asked("New Password") + asked("Confirm password") + MISMATCH + asked("New Password") +
           asked("Confirm password") + cleared(5) + summary("New Password"),
       ok("two")},
      {"two mismatches",
       confirmed,
       {{"New Password", "a\n"},
        {"Confirm password", "b\n"},
        {"New Password", "same\n"},
        {"Confirm password", "same \n"},
        {"New Password", "c\n"},
        {"Confirm password", "c\n"}},
       asked("New Password") + asked("Confirm password") + MISMATCH + asked("New Password") +
           asked("Confirm password") + MISMATCH + asked("New Password") + asked("Confirm password") + cleared(8) +
           summary("New Password"),
       ok("c")},
      {"empty lines asked again when not allowed",
       {"--prompt", "Password"},
       {{"Password", "\n"}, {"Password", "\r"}, {"Password", "x\n"}},
       asked("Password") + asked("Password") + asked("Password") + cleared(3) + summary("Password"),
       ok("x")},
      {"empty entry and empty confirmation agree",
       confirmed,
       {{"New Password", "\n"}, {"Confirm password", "\n"}},
       asked("New Password") + asked("Confirm password") + cleared(2) + summary("New Password"),
       ok("")},
      {"CR LF removed",  // ^V makes the terminal pass the CR on instead of turning it into a newline
       {"--prompt", "Password", "--allow-empty"},
       {{"Password", "abc\x16\r\n"}},
       asked("Password") + cleared(1) + summary("Password"),
       ok("abc")},
      {"spaces kept",
       {"--prompt", "Password", "--allow-empty"},
       {{"Password", " pass word \n"}},
       asked("Password") + cleared(1) + summary("Password"),
       ok(" pass word ")},
      {"end of input gives the empty text",
       {"--prompt", "Password", "--allow-empty"},
       {{"Password", "\x04"}},
       asked("Password") + cleared(1) + summary("Password"),
       ok("")},
      {"UTF-8 kept as typed",
       {"--prompt", "Password", "--allow-empty"},
       {{"Password", "p\xC3\xA4ssw\xC3\xB6rd \xE2\x82\xAC\n"}},
       asked("Password") + cleared(1) + summary("Password"),
       ok("p\xC3\xA4ssw\xC3\xB6rd \xE2\x82\xAC")},
      {"newlines in the prompt and the message are counted",
       {"--prompt", "Account alice\nPassword", "--allow-empty", "--confirm", "Again", "No match\ntry again"},
       {{"Account alice\nPassword", "1\n"}, {"Again", "2\n"}, {"Account alice\nPassword", "3\n"}, {"Again", "3\n"}},
       asked("Account alice\nPassword") + asked("Again") + "error: No match\ntry again\n" +
           asked("Account alice\nPassword") + asked("Again") + cleared(8) + summary("Account alice\nPassword"),
       ok("3")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PtySession session(PROMPT_PROBE_BIN, PtyOptions{.args = c.args});
    answer_all(session, c.answers);
    const auto ended = session.wait_exit();
    EXPECT_EQ(ended.exit_status, 0);
    EXPECT_EQ(visible(session.transcript()), visible(c.screen));
    EXPECT_EQ(session.standard_output(), c.result);
    EXPECT_TRUE(session.echo_enabled());
  }
}

TEST(PromptDialogue, ALineThatIsNotUtf8FailsWithEchoRestored) {
  PtySession session(PROMPT_PROBE_BIN, PtyOptions{.args = {"--prompt", "Password", "--allow-empty"}});
  session.wait_for_output("\rPassword: ");
  session.wait_for_echo_off();
  session.type("caf\xC3\xff\n");
  const auto ended = session.wait_exit();
  EXPECT_EQ(ended.exit_status, 0);
  // No newline and no clearing after a failed read: the screen keeps what was written.
  EXPECT_EQ(session.transcript(), "\rPassword: ");
  EXPECT_EQ(session.standard_output(),
            "error IO(Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" })\n"
            "display IO error: stream did not contain valid UTF-8\n");
  EXPECT_TRUE(session.echo_enabled());
}

TEST(PromptTerminal, RedirectedStandardInputIsLeftAloneAndTheTerminalIsRead) {
  struct Case {
    std::string name;
    PtyOptions options;
    std::string left_on_stdin;
  };
  const std::vector<std::string> args = {"--prompt", "Password", "--allow-empty", "--report-stdin"};
  const std::vector<Case> cases = {
      {"pipe", {.args = args, .stdin_data = "piped input\n"}, "piped input\n"},
      {"file", {.args = args, .stdin_file = "/dev/null"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PtySession session(PROMPT_PROBE_BIN, c.options);
    answer_all(session, {{"Password", "from the terminal\n"}});
    const auto ended = session.wait_exit();
    EXPECT_EQ(ended.exit_status, 0);
    EXPECT_EQ(visible(session.transcript()), visible(asked("Password") + cleared(1) + summary("Password")));
    EXPECT_EQ(session.standard_output(), ok("from the terminal") + "stdin " + hex(c.left_on_stdin) + "\n");
    EXPECT_TRUE(session.echo_enabled());
  }

  // The hidden reader alone writes nothing to the terminal.
  PtySession direct(PROMPT_PROBE_BIN,
                    PtyOptions{.args = {"--read-secret", "--report-stdin"}, .stdin_data = "piped input\n"});
  direct.wait_for_echo_off();
  direct.type("direct\r\n");  // the terminal turns CR into a newline: the line ends at the first of them
  const auto ended = direct.wait_exit();
  EXPECT_EQ(ended.exit_status, 0);
  EXPECT_EQ(direct.transcript(), "");
  EXPECT_EQ(direct.standard_output(), ok("direct") + "stdin " + hex("piped input\n") + "\n");
  EXPECT_TRUE(direct.echo_enabled());
}

TEST(PromptTerminal, InputTypedBeforeThePromptIsDiscarded) {
  PtySession session(PROMPT_PROBE_BIN,
                     PtyOptions{.args = {"--prompt", "Password", "--allow-empty"}, .typed_ahead = "too early\n"});
  answer_all(session, {{"Password", "in time\n"}});
  const auto ended = session.wait_exit();
  EXPECT_EQ(ended.exit_status, 0);
  // Typed with echo still on, so it shows; but it is not the entry.
  EXPECT_EQ(visible(session.transcript()),
            visible("too early\n" + asked("Password") + cleared(1) + summary("Password")));
  EXPECT_EQ(session.standard_output(), ok("in time"));
}

TEST(PromptSignals, EndingSignalsRestoreEchoBeforeTakingEffect) {
  struct Case {
    std::string name;
    std::string typed;  // a key the terminal turns into the signal; empty: sent with kill
    int signo;
  };
  const std::vector<Case> cases = {
      {"^C", "\x03", SIGINT},
      {"^\\", "\x1c", SIGQUIT},
      {"SIGTERM", "", SIGTERM},
      {"SIGHUP", "", SIGHUP},
      {"SIGALRM", "", SIGALRM},
      {"SIGUSR1", "", SIGUSR1},
      // The real-time signals, the two the C library keeps below SIGRTMIN
      // for its threads included.
      {"SIGRTMIN", "", SIGRTMIN},
      {"SIGRTMAX", "", SIGRTMAX},
      {"signal 32", "", 32},
      {"signal 33", "", 33},
      // Faults and abort() are raised again with their default action. (The
      // sanitizers catch SIGSEGV, SIGBUS and SIGFPE themselves, and valgrind
      // does not pass a sent SIGILL on, so abort() stands for them.)
      {"SIGABRT", "", SIGABRT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PtySession session(PROMPT_PROBE_BIN, PtyOptions{.args = {"--prompt", "Password", "--allow-empty"}});
    session.wait_for_output("\rPassword: ");
    session.wait_for_echo_off();
    if (c.typed.empty()) {
      session.send_signal(c.signo);
    } else {
      // Typed after part of a password, which must not show up when echo
      // comes back.
      session.type("half a passw" + c.typed);
    }
    const auto ended = session.wait_exit();
    EXPECT_EQ(ended.signal, c.signo);
    EXPECT_TRUE(session.echo_enabled());
    EXPECT_EQ(session.transcript(), "\rPassword: ");
    EXPECT_EQ(session.standard_output(), "");
  }
}

// At a shell that does not put the terminal back itself (dash), what the
// person finds after a stop is what the program left.
TEST(PromptSignals, SuspendRestoresEchoForTheShellAndFgHidesItAgainUnderTheRedrawnPrompt) {
  const std::string SHELL_PROMPT = "dash$ ";
  struct Case {
    std::string name;
    std::string typed;  // a key the terminal turns into the signal; empty: sent to the job
    int signo;
  };
  const std::vector<Case> cases = {
      {"^Z", "\x1a", SIGTSTP},
      {"SIGTTIN", "", SIGTTIN},
      {"SIGTTOU", "", SIGTTOU},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PtySession shell("/bin/dash", PtyOptions{.args = {"-i"}, .env = {{"PS1", SHELL_PROMPT}, {"ENV", std::nullopt}}});
    shell.wait_for_output(SHELL_PROMPT);
    shell.type(std::string(PROMPT_PROBE_BIN) + " --prompt Password --allow-empty --report-signals\n");
    shell.wait_for_output("\rPassword: ");
    shell.wait_for_echo_off();
    if (c.typed.empty()) {
      shell.send_signal_to_foreground(c.signo);
    } else {
      shell.type("half a passw" + c.typed);
    }
    shell.wait_for_output(SHELL_PROMPT);

    const std::size_t asked_at = shell.transcript().size();
    shell.type("stty -a >&2\n");
    shell.wait_for_output(SHELL_PROMPT);
    const std::string settings = shell.transcript().substr(asked_at);
    EXPECT_NE(settings.find("stty -a >&2"), std::string::npos) << visible(settings);  // typing shows
    EXPECT_NE(settings.find(" echo "), std::string::npos) << visible(settings);
    EXPECT_EQ(settings.find(" -echo "), std::string::npos) << visible(settings);

    shell.type("fg\n");
    shell.wait_for_output("\rPassword: ");
    shell.wait_for_echo_off();
    const std::size_t typed_at = shell.transcript().size();
    shell.type("after the break\n");
    shell.wait_for_output(SHELL_PROMPT);
    const std::string after = shell.transcript().substr(typed_at);
    EXPECT_EQ(after.find("after the break"), std::string::npos) << visible(after);
    EXPECT_TRUE(shell.transcript().ends_with("\rPassword: \n" + cleared(1) + summary("Password") + SHELL_PROMPT))
        << visible(shell.transcript());
    shell.type("exit\n");
    EXPECT_EQ(shell.wait_exit().exit_status, 0);
    // After the command line that fg writes: every disposition is back to
    // what it was before the read.
    EXPECT_TRUE(shell.standard_output().ends_with("\n" + ok("after the break") + "signals as before\n"))
        << visible(shell.standard_output());
  }
}

TEST(PromptSignals, ASignalTheProgramIgnoresOrCatchesStaysItsOwn) {
  struct Case {
    std::string name;
    std::string setting;
    int signo;
    std::string reported;
  };
  const std::vector<Case> cases = {
      {"ignored SIGHUP", "--ignore-sighup", SIGHUP, ""},
      {"caught SIGUSR1", "--catch-sigusr1", SIGUSR1, "caught SIGUSR1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PtySession session(PROMPT_PROBE_BIN,
                       PtyOptions{.args = {"--prompt", "Password", "--allow-empty", c.setting, "--report-signals"}});
    session.wait_for_output("\rPassword: ");
    session.wait_for_echo_off();
    session.send_signal(c.signo);
    session.type("still here\n");
    const auto ended = session.wait_exit();
    EXPECT_EQ(ended.exit_status, 0);
    EXPECT_EQ(session.standard_output(), ok("still here") + "signals as before\n" + c.reported);
    EXPECT_TRUE(session.echo_enabled());
  }
}

}  // namespace
