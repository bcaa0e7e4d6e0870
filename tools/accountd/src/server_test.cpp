#include "server.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <mutex>
#include <thread>

#include "pipe.hpp"
#include "requests_as_user.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/secrets.hpp"

namespace accountd {
namespace {

using namespace std::chrono_literals;

constexpr uid_t STRANGER = 65534;
const common::Uuid USER = *common::parse_uuid("2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10");

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
    test_support::Pipe stop = test_support::make_pipe();
    stop_read_ = std::move(stop.read);
    stop_write_ = std::move(stop.write);
    thread_ = std::thread(
        [this, listener = std::move(*listener), store = std::move(*store), settings = std::move(settings)]() mutable {
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
  // Whether the log shows `text` within five seconds: a line may be written
  // after the reply or the hang-up the client has already seen.
  [[nodiscard]] bool log_shows(std::string_view text) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (log().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

 private:
  std::string uri_;
  common::UniqueFd stop_read_;
  common::UniqueFd stop_write_;
  std::mutex mutex_;
  std::string log_;
  std::thread thread_;
};

// A refused client's first request is answered and its connection closed,
// so its second request finds nobody.
constexpr std::string_view REFUSED = "permission denied;communication error: ";

TEST(Server, ServesRootItselfAndAllowedUidsAndRefusesOthersOnce) {
  struct Case {
    std::vector<uid_t> allowed;
    uid_t client;
    std::string_view outcome;  // how it begins
  };
  const std::vector<Case> cases = {
      {{}, ::geteuid(), "no such secret;no such secret;"},
      {{}, STRANGER, REFUSED},
      {{1000, STRANGER}, STRANGER, "no such secret;no such secret;"},
  };
  for (const auto& c : cases) {
    ServerThread server({.allowed_uids = c.allowed});
    const std::string outcome = test_support::two_requests_as(c.client, server.uri(), USER);
    if (outcome.starts_with("cannot run as")) GTEST_SKIP() << outcome;
    EXPECT_TRUE(outcome.starts_with(c.outcome)) << c.client << ": " << outcome;
    const bool refused = c.outcome == REFUSED;
    const std::string line = "uid=" + std::to_string(c.client) + " refused: uid not allowed -> PermissionDenied";
    // What must show is waited for; what must not is looked for after it.
    if (refused) {
      EXPECT_TRUE(server.log_shows(line)) << server.log();
      EXPECT_EQ(server.log().find("\"GetSecret\""), std::string::npos) << server.log();
    } else {
      EXPECT_TRUE(server.log_shows("\"GetSecret\"")) << server.log();
      EXPECT_EQ(server.log().find(line), std::string::npos) << server.log();
    }
  }
}

// True once the daemon has closed the connection, waiting up to `within`
// for it; the socket stays unread otherwise.
bool closed_by_daemon(int fd, std::chrono::milliseconds within) {
  pollfd polled{fd, POLLIN, 0};
  if (::poll(&polled, 1, static_cast<int>(within.count())) != 1) return false;
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
    ASSERT_EQ(tavrin_account::get_secret(*busy, USER, "x").error(), tavrin_account::Error::no_such_secret()) << i;
  }
  EXPECT_TRUE(closed_by_daemon(idle->socket(), 5s));
  EXPECT_FALSE(closed_by_daemon(busy->socket(), 0ms));
  EXPECT_TRUE(server.log_shows("dropped: silent for 300 ms")) << server.log();
}

}  // namespace
}  // namespace accountd
