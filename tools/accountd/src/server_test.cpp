#include "server.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <mutex>
#include <thread>

#include "tavrin_account/connection.hpp"
#include "tavrin_account/secrets.hpp"

namespace accountd {
namespace {

using namespace std::chrono_literals;

constexpr uid_t kStranger = 65534;
const common::Uuid kUser = *common::parse_uuid("2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10");

// serve() on a fresh abstract name in a thread of its own, stopped and joined
// when dropped.
class ServerThread {
 public:
  explicit ServerThread(ServeSettings settings) {
    static int serial = 0;
    uri_ = "unix://@accountd-server-test-" + std::to_string(::getpid()) + "-" + std::to_string(++serial);
    auto listener = Listener::open(*tavrin_account::parse_endpoint_uri(uri_));
    auto store = SecretStore::open_in_memory();
    if (!listener || !store) std::abort();
    std::array<int, 2> stop{};
    if (::pipe2(stop.data(), O_CLOEXEC) != 0) std::abort();
    stop_read_.reset(stop[0]);
    stop_write_.reset(stop[1]);
    thread_ = std::thread([this, listener = std::move(*listener), store = std::move(*store),
                           settings = std::move(settings)]() mutable {
      const std::function<void(std::string_view)> log = [this](std::string_view line) {
        const std::lock_guard lock(mutex_);
        log_.append(line).append("\n");
      };
      serve(listener, stop_read_.get(), store, log, settings);
    });
  }
  ServerThread(const ServerThread&) = delete;
  ServerThread& operator=(const ServerThread&) = delete;
  ~ServerThread() {
    stop_write_.reset();
    thread_.join();
  }

  [[nodiscard]] const std::string& uri() const { return uri_; }
  [[nodiscard]] std::string log() {
    const std::lock_guard lock(mutex_);
    return log_;
  }

 private:
  std::string uri_;
  common::UniqueFd stop_read_;
  common::UniqueFd stop_write_;
  std::mutex mutex_;
  std::string log_;
  std::thread thread_;
};

// Two GetSecret requests on one connection from a child running as `uid`:
// what each gave, or why the child could not run.
std::string two_requests_as(uid_t uid, const std::string& uri) {
  std::array<int, 2> report{};
  if (::pipe2(report.data(), O_CLOEXEC) != 0) std::abort();
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::string outcome;
    if (uid != ::geteuid() && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)) {
      outcome = "cannot run as uid " + std::to_string(uid) + " (needs root)";
    } else if (auto connection = tavrin_account::connect_to_endpoint(uri); !connection) {
      outcome = connection.error().display();
    } else {
      for (int i = 0; i < 2; ++i) {
        const auto secret = tavrin_account::get_secret(*connection, kUser, "x");
        outcome += (secret ? std::string("found") : secret.error().display()) + ";";
      }
    }
    (void)!::write(report[1], outcome.data(), outcome.size());
    ::_exit(0);
  }
  ::close(report[1]);
  const common::UniqueFd from_child(report[0]);
  std::string outcome;
  std::array<char, 256> chunk{};
  ssize_t n = 0;
  while ((n = ::read(from_child.get(), chunk.data(), chunk.size())) > 0) outcome.append(chunk.data(), static_cast<std::size_t>(n));
  ::waitpid(pid, nullptr, 0);
  return outcome;
}

TEST(Server, ServesRootItselfAndAllowedUidsAndRefusesEveryRequestOfOthers) {
  struct Case {
    std::vector<uid_t> allowed;
    uid_t client;
    std::string outcome;
  };
  const std::vector<Case> cases = {
      {{}, ::geteuid(), "no such secret;no such secret;"},
      {{}, kStranger, "permission denied;permission denied;"},
      {{1000, kStranger}, kStranger, "no such secret;no such secret;"},
  };
  for (const auto& c : cases) {
    ServerThread server({.allowed_uids = c.allowed});
    const std::string outcome = two_requests_as(c.client, server.uri());
    if (outcome.starts_with("cannot run as")) GTEST_SKIP() << outcome;
    EXPECT_EQ(outcome, c.outcome) << c.client;
    const bool refused = c.outcome.starts_with("permission");
    const std::string line = "uid=" + std::to_string(c.client) + " refused: uid not allowed -> PermissionDenied";
    EXPECT_EQ(server.log().find(line) != std::string::npos, refused) << server.log();
    EXPECT_EQ(server.log().find("\"GetSecret\"") != std::string::npos, !refused) << server.log();
  }
}

// True once the daemon has closed the connection; the socket stays unread
// otherwise.
bool closed_by_daemon(int fd) {
  pollfd polled{fd, POLLIN, 0};
  if (::poll(&polled, 1, 0) != 1) return false;
  char byte = 0;
  return ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

TEST(Server, ClosesAConnectionThatStaysSilentButNotOneInUse) {
  ServerThread server({.idle_timeout = 300ms});
  auto idle = tavrin_account::connect_to_endpoint(server.uri());
  auto busy = tavrin_account::connect_to_endpoint(server.uri());
  ASSERT_TRUE(idle.has_value() && busy.has_value());
  // The busy client asks every 100 ms, for more than twice the timeout.
  for (int i = 0; i < 8; ++i) {
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(tavrin_account::get_secret(*busy, kUser, "x").error(), tavrin_account::Error::no_such_secret()) << i;
  }
  EXPECT_TRUE(closed_by_daemon(idle->socket()));
  EXPECT_FALSE(closed_by_daemon(busy->socket()));
  EXPECT_NE(server.log().find("dropped: silent for 300 ms"), std::string::npos) << server.log();
}

}  // namespace
}  // namespace accountd
