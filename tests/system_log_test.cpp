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
#include "fake_daemon.hpp"
#include "pty_session.hpp"
#include "run_process.hpp"
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

const std::string USER_TEXT = "3e8b5a10-9c2d-4f7e-b6a1-0d4c7e2f9b50";
common::Uuid user_number(std::uint8_t n) {
  common::Uuid user = *common::parse_uuid(USER_TEXT);
  user.bytes[15] = n;
  return user;
}

TEST(SystemLogInside, EachOutcomeLeavesOneLineAndNoTypedBytes) {
  if (::getenv(INSIDE) == nullptr) GTEST_SKIP() << "runs only inside the namespace SystemLog makes";
  const auto log = listen_at_dev_log();
  ASSERT_TRUE(log.valid()) << std::strerror(errno);
  RunningAccountd daemon(ACCOUNTD_BIN, std::nullopt);
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  test_support::FakeDaemon garbled({test_support::FakeScript().answer_garbage()});
  const std::string stale = test_support::stale_socket_uri(test_support::make_temp_directory("auth-log-stale"));
  const std::string uid = std::to_string(::getuid());

  const auto user = user_number(1);
  const auto nobody = user_number(2);
  struct Case {
    std::string name;
    std::vector<std::string> args;  // after the program name
    std::string input;              // on standard input; empty: a terminal, with `typed` typed at it
    std::vector<std::string> typed;
    std::string uri;
    std::string message;  // the priority, then the start of the text; empty: no message at all
    std::vector<std::string> secrets;
    std::string ending;  // how the text ends
  };
  const auto args = [](std::string verb, const common::Uuid& who, std::string mode) {
    return std::vector<std::string>{std::move(verb), "user_uuid=" + who.hyphenated(), "mode=" + mode};
  };
  const auto head = [&](std::string verb, const common::Uuid& who, std::string mode, std::string tty) {
    return verb + " mode=" + mode + " user=" + who.hyphenated() + " uid=" + uid + " tty=" + tty + ": ";
  };
  // Which terminal the session gets is not known beforehand.
  const auto at_terminal = [&](const std::string& verb) {
    return verb + " mode=CLI user=" + user.hyphenated() + " uid=" + uid + " tty=/dev/pts/";
  };
  const std::string info = "<86>";
  const std::string notice = "<85>";
  const std::vector<Case> cases = {
      {"changed",
       args("Update", user, "API"),
       R"({"old_password":"","new_password":"Kx1-first"})",
       {},
       daemon.uri(),
       info + head("Update", user, "API", "none") + "changed",
       {"Kx1-first"}},
      {"accepted",
       args("Authenticate", user, "API"),
       R"({"password":"Kx1-first"})",
       {},
       daemon.uri(),
       info + head("Authenticate", user, "API", "none") + "accepted",
       {"Kx1-first"}},
      {"wrong password",
       args("Authenticate", user, "API"),
       R"({"password":"Zq9-wrong"})",
       {},
       daemon.uri(),
       notice + head("Authenticate", user, "API", "none") + "refused (wrong password)",
       {"Zq9-wrong"}},
      {"no password",
       args("Authenticate", nobody, "API"),
       R"({"password":"Kx1-first"})",
       {},
       daemon.uri(),
       notice + head("Authenticate", nobody, "API", "none") + "refused (no password)",
       {"Kx1-first"}},
      {"bad input",
       args("Authenticate", user, "API"),
       R"({"password":"Kx1-first","x":1})",
       {},
       daemon.uri(),
       notice + head("Authenticate", user, "API", "none") +
           "failed (bad input): bad input: unknown field, expected `password` at line 1 column 25",
       {"Kx1-first"}},
      {"wrong old password",
       args("Update", user, "API"),
       R"({"old_password":"Zq9-wrong","new_password":"Pm3"})",
       {},
       daemon.uri(),
       notice + head("Update", user, "API", "none") + "failed (wrong password): decryption failure: Error",
       {"Zq9-wrong", "Pm3"}},
      {"service unreachable",
       args("Authenticate", user, "API"),
       R"({"password":"Kx1-first"})",
       {},
       stale,
       notice + head("Authenticate", user, "API", "none") +
           "failed (service unreachable): Connection refused (os error 111)",
       {"Kx1-first"}},
      {"protocol error",
       args("Authenticate", user, "API"),
       R"({"password":"Kx1-first"})",
       {},
       garbled.uri(),
       notice + head("Authenticate", user, "API", "none") + "failed (protocol error): communication error: ",
       {"Kx1-first"}},
      {"changed at a terminal",
       args("Update", user, "CLI"),
       "",
       {"Kx1-first", "Vb7-second", "Vb7-second"},
       daemon.uri(),
       info + at_terminal("Update"),
       {"Kx1-first", "Vb7-second"},
       ": changed"},
      {"refused at a terminal",
       args("Authenticate", user, "CLI"),
       "",
       {"Kx1-first"},
       daemon.uri(),
       notice + at_terminal("Authenticate"),
       {"Kx1-first"},
       ": refused (wrong password)"},
      {"description", {"QueryInformation"}, "{}", {}, daemon.uri(), "", {}},
      {"command-line error", {"Authenticate", "mode=API"}, "{}", {}, daemon.uri(), "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.input.empty()) {
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
    if (c.message.empty()) {
      EXPECT_TRUE(messages.empty()) << messages.front();
      continue;
    }
    ASSERT_EQ(messages.size(), 1U);
    const std::string& message = messages.front();
    // <priority>timestamp auth_password[pid]: text
    EXPECT_TRUE(message.starts_with(c.message.substr(0, 4))) << message;
    const auto ident = message.find(" auth_password[");
    ASSERT_NE(ident, std::string::npos) << message;
    const std::string text = message.substr(message.find("]: ", ident) + 3);
    EXPECT_TRUE(text.starts_with(c.message.substr(4))) << text;
    EXPECT_TRUE(text.ends_with(c.ending)) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    for (const auto& secret : c.secrets) EXPECT_EQ(message.find(secret), std::string::npos) << message;
  }
  EXPECT_EQ(garbled.finish().size(), 1U);
}

}  // namespace
