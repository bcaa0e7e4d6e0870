// accountd as a service manager runs it: the listening socket made by
// someone else and handed over, readiness told, the store kept across a
// restart.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tavrin_account/connection.hpp"
#include "tavrin_account/secrets.hpp"
#include "temp_directory.hpp"
#include "test_command.hpp"

namespace {

using namespace std::chrono_literals;
using tavrin_account::Secret;

const common::Uuid USER = *common::parse_uuid("2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10");

// systemd-socket-activate listening on `socket_name`, which starts accountd
// on the first connection with the listening socket passed and NOTIFY_SOCKET
// as the test gives it; standard error goes to `log`.
class SocketActivated {
 public:
  SocketActivated(const std::string& socket_name, const std::string& endpoint, const std::string& store,
                  const std::string& notify, const std::string& log) {
    std::vector<std::string> words = {"/usr/bin/systemd-socket-activate", "-E", "NOTIFY_SOCKET=" + notify, "-l",
                                      "@" + socket_name};
    for (auto& word : test_support::command_words(ACCOUNTD_BIN)) words.push_back(std::move(word));
    words.insert(words.end(), {"--endpoint", endpoint, "--store", store});
    pid_ = ::fork();
    if (pid_ < 0) std::abort();
    if (pid_ == 0) {
      const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      ::dup2(err, STDERR_FILENO);
      std::vector<char*> argv;
      for (auto& word : words) argv.push_back(word.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }
  SocketActivated(const SocketActivated&) = delete;
  SocketActivated& operator=(const SocketActivated&) = delete;
  ~SocketActivated() { (void)stop(SIGKILL); }

  // The exit status after `signal_number`, or -1 when it did not exit.
  int stop(int signal_number) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal_number);
    return wait();
  }
  int wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
};

// The first connection, once the socket is there, starts accountd.
std::optional<tavrin_account::AccountConnection> connect_when_listening(const std::string& uri) {
  for (int i = 0; i < 500; ++i) {
    if (auto connection = tavrin_account::connect_to_endpoint(uri)) return std::move(*connection);
    std::this_thread::sleep_for(10ms);
  }
  return std::nullopt;
}

// The next datagram on the notification socket, as the service manager
// would receive it, if one comes within five seconds.
std::string notification(int socket) {
  pollfd polled{socket, POLLIN, 0};
  std::array<char, 256> message{};
  if (::poll(&polled, 1, 5000) != 1) return "(nothing)";
  const ssize_t n = ::recv(socket, message.data(), message.size(), 0);
  return n > 0 ? std::string(message.data(), static_cast<std::size_t>(n)) : "(nothing)";
}

std::string contents_of(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(AccountdService, ServesOnAPassedSocketTellsItIsReadyAndKeepsTheStoreAcrossARestart) {
  const std::string directory = test_support::make_temp_directory("accountd-service");
  const std::string name = "accountd-service-test-" + std::to_string(::getpid());
  const std::string uri = "unix://@" + name;
  const std::string store = directory + "/secrets.db";
  const std::string notify_path = directory + "/notify";
  const std::string log = directory + "/log";
  const common::UniqueFd notify(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  notify_path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(notify.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const Secret secret{"org.norvalex.os.account.auth.password/Password", {'$', 'a'}, {0x2}, 7, INT64_MAX};
  {
    SocketActivated service(name, uri, store, notify_path, log);
    auto connection = connect_when_listening(uri);
    ASSERT_TRUE(connection.has_value());
    EXPECT_EQ(tavrin_account::get_secret(*connection, USER, secret.name).error(),
              tavrin_account::Error::no_such_secret());
    EXPECT_EQ(notification(notify.get()), "READY=1");
    ASSERT_TRUE(tavrin_account::set_secret(*connection, USER, secret).has_value());
    EXPECT_EQ(tavrin_account::get_secret(*connection, USER, secret.name).value(), secret);
    EXPECT_EQ(service.stop(SIGTERM), 0);
    EXPECT_EQ(notification(notify.get()), "STOPPING=1");
  }
  EXPECT_NE(contents_of(log).find("accountd: listening on " + uri + " (socket passed by the service manager)"),
            std::string::npos)
      << contents_of(log);
  {
    SocketActivated again(name, uri, store, notify_path, log);
    auto connection = connect_when_listening(uri);
    ASSERT_TRUE(connection.has_value());
    EXPECT_EQ(tavrin_account::get_secret(*connection, USER, secret.name).value(), secret) << contents_of(log);
  }
  // A unit and a command line that disagree about the endpoint: accountd
  // says so and does not start.
  {
    SocketActivated confused(name, uri + "-elsewhere", store, notify_path, log);
    (void)connect_when_listening(uri);
    EXPECT_EQ(confused.wait(), 1);
    EXPECT_NE(contents_of(log).find("accountd: the socket passed by the service manager is not a listening stream "
                                    "socket on the endpoint"),
              std::string::npos)
        << contents_of(log);
  }
  std::filesystem::remove_all(directory);
}

}  // namespace
