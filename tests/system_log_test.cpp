// Every Authenticate and Update leaves one message for the system logger, and
// nothing else does. The test listens where syslog(3) sends, /dev/log, inside
// a private mount namespace with a /dev of its own, so the machine's logger
// (if any) is neither disturbed nor needed: the outer test makes the
// namespace and runs this binary again inside it for the inner test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/unique_fd.hpp"
#include "pty_session.hpp"
#include "run_process.hpp"
#include "running_accountd.hpp"
#include "unix_socket.hpp"

namespace {

using test_support::PtyOptions;
using test_support::PtySession;
using test_support::RunningAccountd;

constexpr const char* INSIDE = "AUTH_TEST_INSIDE_LOG_NAMESPACE";
constexpr int CANNOT_ISOLATE = 77;

// In the child, before exec: a private mount namespace whose /dev is a fresh
// tmpfs holding the devices the programs use, bound from the real one.
int isolate_dev() {
  if (::unshare(CLONE_NEWNS) != 0) return CANNOT_ISOLATE;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return CANNOT_ISOLATE;
  const int old_dev = ::open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (old_dev < 0) return CANNOT_ISOLATE;
  if (::mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0) return CANNOT_ISOLATE;
  const std::string from = "/proc/self/fd/" + std::to_string(old_dev) + "/";
  for (const char* name : {"null", "zero", "full", "random", "urandom", "tty", "pts"}) {
    struct stat info {};
    if (::stat((from + name).c_str(), &info) != 0) continue;
    const std::string to = std::string("/dev/") + name;
    const bool directory = S_ISDIR(info.st_mode);
    if (directory ? ::mkdir(to.c_str(), 0755) != 0 : ::close(::open(to.c_str(), O_CREAT | O_WRONLY, 0666)) != 0) {
      return CANNOT_ISOLATE;
    }
    if (::mount((from + name).c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) return CANNOT_ISOLATE;
  }
  // The multiplexer of the bound devpts instance (root may open it whatever
  // its mode).
  if (::symlink("pts/ptmx", "/dev/ptmx") != 0 || ::symlink("/proc/self/fd", "/dev/fd") != 0) return CANNOT_ISOLATE;
  return 0;
}

TEST(SystemLog, OneMessagePerAttemptInAPrivateNamespace) {
  if (::getenv(INSIDE) != nullptr) GTEST_SKIP() << "the inner run";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (const int failed = isolate_dev(); failed != 0) ::_exit(failed);
    ::setenv(INSIDE, "1", 1);
    std::array<char, 64> filter{"--gtest_filter=SystemLogInside.*"};
    std::array<char*, 3> argv{const_cast<char*>("system_log_e2e_test"), filter.data(), nullptr};
    ::execv("/proc/self/exe", argv.data());
    ::_exit(127);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == CANNOT_ISOLATE) {
    GTEST_SKIP() << "cannot make a private mount namespace with a /dev of its own here (needs root: "
                    "unshare(CLONE_NEWNS) and mount); the system log is not checked";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the inner run failed; its output is above";
}

// The messages waiting on the socket, taken without waiting: a process that
// has exited has sent all it ever will.
std::vector<std::string> messages_now(int socket) {
  std::vector<std::string> messages;
  std::array<char, 8192> buffer{};
  for (ssize_t got = 0; (got = ::recv(socket, buffer.data(), buffer.size(), MSG_DONTWAIT)) >= 0;) {
    messages.emplace_back(buffer.data(), static_cast<std::size_t>(got));
  }
  return messages;
}

common::UniqueFd listen_at_dev_log() {
  common::UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "/dev/log");
  ::unlink(address.sun_path);
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return {};
  return socket;
}

TEST(SystemLogInside, EachOutcomeLeavesOneLineAndNoTypedBytes) {
  if (::getenv(INSIDE) == nullptr) GTEST_SKIP() << "runs only inside the namespace SystemLog makes";
  const auto log = listen_at_dev_log();
  ASSERT_TRUE(log.valid()) << std::strerror(errno);
  RunningAccountd daemon(ACCOUNTD_BIN, std::nullopt);
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  const std::string stale = test_support::stale_socket_uri(test_support::make_temp_directory("auth-log-stale"));
  const std::vector<std::string> passwords = {"Kx1-first", "Zq9-wrong", "Vb7-second"};
  const std::string user = "3e8b5a10-9c2d-4f7e-b6a1-0d4c7e2f9b50";
  const std::string nobody = "3e8b5a10-9c2d-4f7e-b6a1-0d4c7e2f9b51";
  struct Case {
    std::vector<std::string> args;
    std::string input;               // for mode=API, on standard input
    std::vector<std::string> typed;  // for mode=CLI, at a terminal
    std::string uri;
    std::string priority;  // LOG_AUTHPRIV with LOG_INFO or LOG_NOTICE; empty: no message at all
    std::string outcome;
  };
  const auto args = [](const std::string& verb, const std::string& who, const std::string& mode) {
    return std::vector<std::string>{verb, "user_uuid=" + who, "mode=" + mode};
  };
  const std::string info = "<86>";
  const std::string notice = "<85>";
  const std::vector<Case> cases = {
      {args("Update", user, "API"),
       R"({"old_password":"","new_password":"Kx1-first"})",
       {},
       daemon.uri(),
       info,
       "changed"},
      {args("Authenticate", user, "API"), R"({"password":"Kx1-first"})", {}, daemon.uri(), info, "accepted"},
      {args("Authenticate", user, "API"),
       R"({"password":"Zq9-wrong"})",
       {},
       daemon.uri(),
       notice,
       "refused (wrong password)"},
      {args("Authenticate", nobody, "API"),
       R"({"password":"Kx1-first"})",
       {},
       daemon.uri(),
       notice,
       "refused (no password)"},
      {args("Authenticate", user, "API"),
       R"({"password":"Kx1-first","x":1})",
       {},
       daemon.uri(),
       notice,
       "failed (bad input): bad input: unknown field, expected `password` at line 1 column 25"},
      {args("Authenticate", user, "API"),
       R"({"password":"Kx1-first"})",
       {},
       stale,
       notice,
       "failed (service unreachable): Connection refused (os error 111)"},
      {args("Update", user, "CLI"), "", {"Kx1-first", "Vb7-second", "Vb7-second"}, daemon.uri(), info, "changed"},
      {args("Authenticate", user, "CLI"), "", {"Zq9-wrong"}, daemon.uri(), notice, "refused (wrong password)"},
      {{"QueryInformation"}, "{}", {}, daemon.uri(), "", ""},
      {{"Authenticate", "mode=API"}, "{}", {}, daemon.uri(), "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.outcome);
    const bool at_terminal = !c.typed.empty();
    if (at_terminal) {
      PtySession session(AUTH_PASSWORD_BIN, PtyOptions{.args = c.args, .env = {{"ACCOUNT_IPC_URI", c.uri}}});
      const std::vector<std::string> prompts =
          c.typed.size() == 1 ? std::vector<std::string>{"Password"}
                              : std::vector<std::string>{"Old Password", "New Password", "Confirm password"};
      std::vector<test_support::Answer> answers;
      for (std::size_t i = 0; i < c.typed.size(); ++i) answers.push_back({prompts[i], c.typed[i] + "\n"});
      test_support::answer_all(session, answers);
      (void)session.wait_exit();
    } else {
      (void)test_support::run_process(AUTH_PASSWORD_BIN,
                                      {.args = c.args, .stdin_data = c.input, .env = {{"ACCOUNT_IPC_URI", c.uri}}});
    }
    const auto messages = messages_now(log.get());
    if (c.priority.empty()) {
      EXPECT_TRUE(messages.empty()) << messages.front();
      continue;
    }
    ASSERT_EQ(messages.size(), 1U);
    // <priority>timestamp auth_password[pid]: text
    const std::string& message = messages.front();
    EXPECT_TRUE(message.starts_with(c.priority)) << message;
    const auto ident = message.find(" auth_password[");
    ASSERT_NE(ident, std::string::npos) << message;
    const std::string text = message.substr(message.find("]: ", ident) + 3);
    const std::string head = c.args[0] + " " + c.args[2] + " " + "user=" + c.args[1].substr(10) +
                             " uid=" + std::to_string(::getuid()) + " tty=" + (at_terminal ? "/dev/pts/" : "none: ");
    EXPECT_TRUE(text.starts_with(head)) << text;
    EXPECT_TRUE(text.ends_with(": " + c.outcome)) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    for (const auto& password : passwords) EXPECT_EQ(message.find(password), std::string::npos) << message;
  }
}

}  // namespace
