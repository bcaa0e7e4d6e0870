// Secrets do not outlive the operation that used them: the program, built with
// a hook that searches its own memory as the process exits, changes and checks
// passwords against the development daemon, and nothing of the typed
// passwords, the envelope keys or the master key is left anywhere it can read.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "master_key.hpp"
#include "password_backend/envelope.hpp"
#include "password_backend/operations.hpp"
#include "password_backend/password_hash.hpp"
#include "pty_session.hpp"
#include "run_process.hpp"
#include "running_accountd.hpp"
#include "secret_keeping_daemon.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/secrets.hpp"
#include "test_bytes.hpp"
#include "unix_socket.hpp"

namespace {

using test_support::bytes_of;
using test_support::FaultPlan;
using test_support::PtyOptions;
using test_support::PtySession;
using test_support::RunningAccountd;
using test_support::SecretKeepingDaemon;
using test_support::stored_master_key;
using test_support::to_hex;

const common::Uuid USER = *common::parse_uuid("5d0c8a3e-71b2-4f96-a4e8-0c3b9d2f6a17");
const std::string USER_ARGUMENT = "user_uuid=5d0c8a3e-71b2-4f96-a4e8-0c3b9d2f6a17";

// Long and distinctive enough that no byte string in the process matches one
// by chance, and shorter than an envelope key, so the keys carry zero padding.
constexpr std::string_view FIRST = "Qv7#first-password-zeta";
constexpr std::string_view SECOND = "Wx9!second-password-kappa";
constexpr std::string_view WRONG = "Rb4$wrong-password-omicron";

struct Pattern {
  std::string name;
  std::string hex;
};

// The typed password and the envelope key made from it.
std::vector<Pattern> password_patterns(const std::string& name, std::string_view password) {
  return {{name + "_password", to_hex(bytes_of(password))},
          {name + "_envelope_key", to_hex(password_backend::envelope_key(bytes_of(password)).bytes())}};
}

std::string pattern_variable(const std::vector<Pattern>& patterns) {
  std::string value;
  for (const auto& pattern : patterns) value += (value.empty() ? "" : ",") + pattern.name + ":" + pattern.hex;
  return value;
}

struct Answer {
  std::string prompt;
  std::string_view typed;
};

struct ProbedRun {
  int exit_status = -1;
  std::string report;
  std::string transcript;
};

ProbedRun run_probed(const RunningAccountd& daemon, const std::string& command, const std::vector<Answer>& answers,
                     const std::vector<Pattern>& patterns) {
  PtySession session(MEMORY_PROBE_BIN, PtyOptions{.args = {command, USER_ARGUMENT, "mode=CLI"},
                                                  .env = {{"ACCOUNT_IPC_URI", daemon.uri()},
                                                          {"AUTH_MEMORY_PROBE_PATTERNS", pattern_variable(patterns)},
                                                          {"AUTH_MEMORY_PROBE_PLANT", std::nullopt}}});
  std::vector<test_support::Answer> lines;
  for (const auto& answer : answers) lines.push_back({answer.prompt, std::string(answer.typed) + "\n"});
  test_support::answer_all(session, lines);
  const auto exit = session.wait_exit();
  return {exit.exit_status, session.standard_output(), session.transcript()};
}

bool clean(const std::string& report) {
  return report.starts_with("memory-probe: 0 hits in ") && report.find('\n') == report.size() - 1;
}

// The bytes searched, from the final line.
std::size_t bytes_searched(const std::string& report) {
  const std::size_t at = report.rfind(" hits in ");
  return at == std::string::npos ? 0 : std::strtoull(report.c_str() + at + 9, nullptr, 10);
}

// The probe searches the program's memory, not a wrapper's (valgrind's).
class MemoryProbe : public testing::Test {
 protected:
  void SetUp() override { ::unsetenv("AUTH_TEST_WRAPPER"); }
};

TEST_F(MemoryProbe, FindsPlantedCopiesInSecretMemoryOnTheHeapInStaticDataAndInADeadStackFrame) {
  const auto result = test_support::run_process(
      MEMORY_PROBE_BIN, {.args = {"QueryInformation"},
                         .env = {{"AUTH_MEMORY_PROBE_PATTERNS", pattern_variable(password_patterns("planted", FIRST))},
                                 {"AUTH_MEMORY_PROBE_PLANT", "planted_password"}}});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  const std::string& report = result.out;
  const std::string found = "memory-probe: found planted_password at ";
  EXPECT_NE(report.find(" in [stack] "), std::string::npos) << report;
  EXPECT_NE(report.find(" in " MEMORY_PROBE_BIN " "), std::string::npos) << report;
  // The secret memory (and, under the address sanitizer, the heap too).
  EXPECT_NE(report.find(" in [anonymous] "), std::string::npos) << report;
  std::size_t hits = 0;
  for (std::size_t at = report.find(found); at != std::string::npos; at = report.find(found, at + 1)) ++hits;
  EXPECT_GE(hits, 4U) << report;

  const auto refused = test_support::run_process(
      MEMORY_PROBE_BIN, {.args = {"QueryInformation"},
                         .env = {{"AUTH_MEMORY_PROBE_PATTERNS", "bad:0g"}, {"AUTH_MEMORY_PROBE_PLANT", std::nullopt}}});
  EXPECT_NE(refused.out.find("\nmemory-probe: error: pattern bad is not 1 to 256 bytes of hex\n"), std::string::npos)
      << refused.out;
}

TEST_F(MemoryProbe, NoPasswordEnvelopeKeyOrMasterKeyOutlivesAnOperation) {
  RunningAccountd daemon(ACCOUNTD_BIN, std::nullopt);
  ASSERT_TRUE(daemon.ready()) << daemon.log();

  // A user without a master key gets a new one under the first password.
  auto patterns = password_patterns("old", WRONG);
  std::ranges::move(password_patterns("new", FIRST), std::back_inserter(patterns));
  const auto first = run_probed(
      daemon, "Update", {{"Old Password", WRONG}, {"New Password", FIRST}, {"Confirm password", FIRST}}, patterns);
  ASSERT_EQ(first.exit_status, 0) << test_support::visible(first.transcript);
  EXPECT_TRUE(clean(first.report)) << first.report;
  const auto key = stored_master_key(daemon.uri(), USER, FIRST);
  ASSERT_EQ(key.size(), password_backend::MASTER_KEY_BYTES);
  const Pattern master{"master_key", to_hex(key)};

  struct Case {
    std::string what;
    std::string command;
    std::vector<Answer> answers;
    std::vector<std::string_view> secrets;  // every password the run saw or could derive
    int exit_status;
  };
  const Case cases[] = {
      {"change, with a mistyped confirmation first",
       "Update",
       {{"Old Password", FIRST},
        {"New Password", SECOND},
        {"Confirm password", WRONG},
        {"New Password", SECOND},
        {"Confirm password", SECOND}},
       {FIRST, SECOND, WRONG},
       0},
      {"change refused: wrong old password",
       "Update",
       {{"Old Password", WRONG}, {"New Password", FIRST}, {"Confirm password", FIRST}},
       {WRONG, FIRST, SECOND},
       1},
      {"check accepted", "Authenticate", {{"Password", SECOND}}, {SECOND}, 0},
      {"check refused", "Authenticate", {{"Password", FIRST}}, {FIRST, SECOND}, 1},
  };
  for (const auto& c : cases) {
    std::vector<Pattern> searched{master};
    for (std::size_t i = 0; i < c.secrets.size(); ++i) {
      std::ranges::move(password_patterns("secret" + std::to_string(i), c.secrets[i]), std::back_inserter(searched));
    }
    const auto run = run_probed(daemon, c.command, c.answers, searched);
    EXPECT_EQ(run.exit_status, c.exit_status) << c.what << "\n" << test_support::visible(run.transcript);
    EXPECT_TRUE(clean(run.report)) << c.what << "\n" << run.report;
    EXPECT_GT(bytes_searched(run.report), 1U << 20) << c.what;
  }
  // The changes above really happened: the same master key, now under the
  // second password.
  EXPECT_EQ(stored_master_key(daemon.uri(), USER, SECOND), key);
}

// The same through the programs' front end: what was read from standard input
// is gone too.
TEST_F(MemoryProbe, NoPasswordOutlivesAnOperationThroughStandardInput) {
  RunningAccountd daemon(ACCOUNTD_BIN, std::nullopt);
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  const auto json = [](std::string_view member, std::string_view password) {
    return "\"" + std::string(member) + "\":\"" + std::string(password) + "\"";
  };
  struct Case {
    std::string what;
    std::string command;
    std::string input;
    std::vector<std::string_view> secrets;
    int exit_status;
  };
  const Case cases[] = {
      {"first change",
       "Update",
       "{" + json("old_password", WRONG) + "," + json("new_password", FIRST) + "}",
       {WRONG, FIRST},
       0},
      {"change",
       "Update",
       "{" + json("old_password", FIRST) + "," + json("new_password", SECOND) + "}",
       {FIRST, SECOND},
       0},
      {"check accepted", "Authenticate", "{" + json("password", SECOND) + "}", {SECOND}, 0},
  };
  for (const auto& c : cases) {
    std::vector<Pattern> searched;
    for (std::size_t i = 0; i < c.secrets.size(); ++i) {
      std::ranges::move(password_patterns("secret" + std::to_string(i), c.secrets[i]), std::back_inserter(searched));
    }
    const auto run =
        test_support::run_process(MEMORY_PROBE_BIN, {.args = {c.command, USER_ARGUMENT, "mode=API"},
                                                     .stdin_data = c.input,
                                                     .env = {{"ACCOUNT_IPC_URI", daemon.uri()},
                                                             {"AUTH_MEMORY_PROBE_PATTERNS", pattern_variable(searched)},
                                                             {"AUTH_MEMORY_PROBE_PLANT", std::nullopt}}});
    EXPECT_EQ(run.exit_status, c.exit_status) << c.what << "\n" << run.err;
    EXPECT_TRUE(clean(run.out)) << c.what << "\n" << run.out;
    EXPECT_GT(bytes_searched(run.out), 1U << 20) << c.what;
  }
}

// The search made while the program waits, asked for over the probe's socket.
std::string search_now(const common::UniqueFd& listener) {
  std::array<pollfd, 1> ready{{{listener.get(), POLLIN, 0}}};
  if (::poll(ready.data(), ready.size(), 10'000) != 1) return "no probe connected";
  const common::UniqueFd probe(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!probe.valid() || ::send(probe.get(), "?", 1, MSG_NOSIGNAL) != 1) return "probe unreachable";
  std::string report;
  std::array<char, 4096> chunk{};
  for (ssize_t got = 0; (got = ::recv(probe.get(), chunk.data(), chunk.size(), 0)) > 0;) {
    report.append(chunk.data(), static_cast<std::size_t>(got));
  }
  return report;
}

TEST_F(MemoryProbe, NoPasswordOrEnvelopeKeyIsLeftOnceTheWritesBegin) {
  // The user's master key under FIRST; the change to SECOND is searched while
  // the daemon holds back its answer to the hash write, the last write.
  common::SecretBytes key(password_backend::MASTER_KEY_BYTES);
  for (std::size_t i = 0; i < key.size(); ++i) key.data()[i] = static_cast<std::uint8_t>(0xC3 ^ (7 * i));
  const std::string hash = *password_backend::make_password_hash(bytes_of(FIRST));
  const std::vector<tavrin_account::Secret> secrets = {
      {std::string(password_backend::PASSWORD_SECRET_NAME),
       {hash.begin(), hash.end()},
       {tavrin_account::SecurityFlags::WRITE_PROTECTED},
       0,
       0},
      {std::string(password_backend::MASTER_KEY_SECRET_NAME),
       password_backend::seal_master_key(password_backend::envelope_key(bytes_of(FIRST)), key.bytes()),
       {tavrin_account::SecurityFlags::WRITE_PROTECTED},
       0,
       0},
  };
  constexpr std::size_t HASH_WRITE = 3;
  SecretKeepingDaemon daemon(secrets, FaultPlan{.request = HASH_WRITE, .delayed = true});
  const std::string directory = test_support::make_temp_directory("memory-probe");
  const std::string socket_path = directory + "/probe.sock";
  const common::UniqueFd listener = test_support::listening_socket(
      tavrin_account::EndpointAddress{tavrin_account::EndpointAddress::Kind::Pathname, socket_path}, 1);
  ASSERT_TRUE(listener.valid());

  auto patterns = password_patterns("old", FIRST);
  std::ranges::move(password_patterns("new", SECOND), std::back_inserter(patterns));
  patterns.push_back({"master_key", to_hex(key.bytes())});
  PtySession session(MEMORY_PROBE_BIN, PtyOptions{.args = {"Update", USER_ARGUMENT, "mode=CLI"},
                                                  .env = {{"ACCOUNT_IPC_URI", daemon.uri()},
                                                          {"AUTH_MEMORY_PROBE_PATTERNS", pattern_variable(patterns)},
                                                          {"AUTH_MEMORY_PROBE_SOCKET", socket_path},
                                                          {"AUTH_MEMORY_PROBE_PLANT", std::nullopt}}});
  test_support::answer_all(session, {{"Old Password", std::string(FIRST) + "\n"},
                                     {"New Password", std::string(SECOND) + "\n"},
                                     {"Confirm password", std::string(SECOND) + "\n"}});
  ASSERT_TRUE(daemon.wait_for_requests(HASH_WRITE));
  const std::string while_waiting = search_now(listener);
  daemon.release();
  const auto exit = session.wait_exit();
  std::filesystem::remove_all(directory);

  EXPECT_EQ(exit.exit_status, 0) << test_support::visible(session.transcript());
  EXPECT_TRUE(clean(while_waiting)) << while_waiting;
  EXPECT_GT(bytes_searched(while_waiting), 1U << 20);
  EXPECT_TRUE(clean(session.standard_output())) << session.standard_output();
}

}  // namespace
