// The change lock, with a patience of a fraction of a second: one lock per
// account service and user, whatever the spelling, the environment or the
// umask; only that change waits, for just as long as it is told, and takes the
// lock at once when its holder lets go.
#include "password_backend/change_lock.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <expected>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/unique_fd.hpp"
#include "common/uuid.hpp"
#include "lock_directory.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds BRIEF{30};
const common::Uuid USER = *common::parse_uuid("6a4f0c2e-1d3b-4e5f-8a7b-9c0d1e2f3a4b");

// A socket file of our own under a fresh directory, with a subdirectory and
// a link beside it, so that one socket can be written in many ways.
class SocketFile {
 public:
  SocketFile() {
    std::string pattern = (std::filesystem::temp_directory_path() / "change-lock-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    base_ = pattern;
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    const std::string path = base_ + "/s.sock";
    if (path.size() >= sizeof address.sun_path) std::abort();
    path.copy(address.sun_path, path.size());
    socket_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::mkdir((base_ + "/sub").c_str(), 0700) != 0 || ::symlink(path.c_str(), (base_ + "/link.sock").c_str()) != 0) {
      std::abort();
    }
  }
  SocketFile(const SocketFile&) = delete;
  SocketFile& operator=(const SocketFile&) = delete;
  ~SocketFile() { std::filesystem::remove_all(base_); }

  [[nodiscard]] std::string uri(const std::string& relative) const { return "unix://" + base_ + relative; }

 private:
  std::string base_;
  common::UniqueFd socket_;
};

// The process's environment for one call, put back afterwards.
void set_or_unset(const char* name, const std::optional<std::string>& value) {
  if (value) {
    ::setenv(name, value->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}

std::set<std::string> lock_files() {
  auto directory = password_backend::open_lock_directory();
  if (!directory) std::abort();
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd/" + std::to_string(directory->get()))) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

TEST(ChangeLock, OneSocketOneUserOneLockWhateverTheSpellingOrTheEnvironment) {
  const SocketFile socket;
  struct Case {
    std::string name;
    std::string second_uri;
    std::optional<std::string> first_runtime_directory;
    std::optional<std::string> second_runtime_directory;
  };
  const std::vector<Case> cases = {
      {"dot", socket.uri("/./s.sock"), std::nullopt, std::nullopt},
      {"doubled slash", socket.uri("//s.sock"), std::nullopt, std::nullopt},
      {"dot-dot", socket.uri("/sub/../s.sock"), std::nullopt, std::nullopt},
      {"symbolic link", socket.uri("/link.sock"), std::nullopt, std::nullopt},
      {"XDG_RUNTIME_DIR set for one", socket.uri("/s.sock"), std::nullopt, "/tmp"},
      {"XDG_RUNTIME_DIR changed", socket.uri("/s.sock"), "/tmp", "/var/tmp"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::setenv("ACCOUNT_IPC_URI", socket.uri("/s.sock").c_str(), 1);
    set_or_unset("XDG_RUNTIME_DIR", c.first_runtime_directory);
    auto held = password_backend::lock_password_change(USER, BRIEF);
    ASSERT_TRUE(held.has_value()) << held.error().display();
    ::setenv("ACCOUNT_IPC_URI", c.second_uri.c_str(), 1);
    set_or_unset("XDG_RUNTIME_DIR", c.second_runtime_directory);
    auto second = password_backend::lock_password_change(USER, BRIEF);
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(second.error().display(), "another password change for this user is in progress");
  }
  ::unsetenv("ACCOUNT_IPC_URI");
  ::unsetenv("XDG_RUNTIME_DIR");
}

TEST(ChangeLock, NoUmaskAndNoKilledHolderLeavesALockNobodyCanTake) {
  const SocketFile socket;
  ::setenv("ACCOUNT_IPC_URI", socket.uri("/s.sock").c_str(), 1);
  const mode_t previous = ::umask(0777);
  {
    auto lock = password_backend::lock_password_change(USER, BRIEF);
    ASSERT_TRUE(lock.has_value()) << lock.error().display();
  }
  // A holder killed under umask 0400 leaves its file; an earlier version
  // left it with mode 0000.
  const std::set<std::string> before = lock_files();
  const pid_t holder = ::fork();
  if (holder == 0) {
    ::umask(0400);
    auto lock = password_backend::lock_password_change(USER, BRIEF);
    ::_exit(lock.has_value() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(holder, &status, 0), holder);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::umask(previous);
  std::vector<std::string> left;
  for (const auto& name : lock_files()) {
    if (!before.contains(name)) left.push_back(name);
  }
  ASSERT_EQ(left.size(), 1U);
  auto directory = password_backend::open_lock_directory();
  ASSERT_TRUE(directory.has_value());
  ASSERT_EQ(::fchmodat(directory->get(), left[0].c_str(), 0, 0), 0);

  auto lock = password_backend::lock_password_change(USER, BRIEF);
  ASSERT_TRUE(lock.has_value()) << lock.error().display();
  struct stat file {};
  ASSERT_EQ(::fstatat(directory->get(), left[0].c_str(), &file, 0), 0);
  EXPECT_EQ(file.st_mode & 07777U, 0600U);
  ::unsetenv("ACCOUNT_IPC_URI");
}

const common::Uuid PATIENT_USER = *common::parse_uuid("5d1e2f3a-4b5c-4d6e-8f70-8192a3b4c5d6");
const common::Uuid OTHER_USER = *common::parse_uuid("0a1b2c3d-4e5f-4a6b-9c7d-8e9fa0b1c2d3");

std::string service(const std::string& name) {
  return "unix://@change-lock-test-" + std::to_string(::getpid()) + "-" + name;
}

std::expected<password_backend::ChangeLock, common::AnyError> lock_at(const std::string& uri, const common::Uuid& user,
                                                                      std::chrono::milliseconds patience) {
  ::setenv("ACCOUNT_IPC_URI", uri.c_str(), 1);
  auto lock = password_backend::lock_password_change(user, patience);
  ::unsetenv("ACCOUNT_IPC_URI");
  return lock;
}

TEST(ChangeLock, OnlyTheSameUserAtTheSameServiceWaitsAndOnlyAsLongAsItIsTold) {
  constexpr auto PATIENCE = 200ms;
  std::optional<password_backend::ChangeLock> held;
  {
    auto lock = lock_at(service("a"), PATIENT_USER, 0ms);
    ASSERT_TRUE(lock.has_value()) << lock.error().display();
    held.emplace(std::move(*lock));
  }
  struct Row {
    std::string name;
    std::string uri;
    common::Uuid user;
    bool waits;
  };
  const std::vector<Row> rows = {
      {"the same user at the same service", service("a"), PATIENT_USER, true},
      {"another user at the same service", service("a"), OTHER_USER, false},
      {"the same user at another service", service("b"), PATIENT_USER, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto started = Clock::now();
    const auto lock = lock_at(row.uri, row.user, row.waits ? PATIENCE : 0ms);
    const auto waited = Clock::now() - started;
    if (row.waits) {
      ASSERT_FALSE(lock.has_value());
      EXPECT_EQ(lock.error().display(), "another password change for this user is in progress");
      EXPECT_GE(waited, PATIENCE);
    } else {
      EXPECT_TRUE(lock.has_value()) << lock.error().display();
    }
  }

  // Let go, the lock is there for the next change at once.
  held.reset();
  const auto next = lock_at(service("a"), PATIENT_USER, 0ms);
  EXPECT_TRUE(next.has_value()) << next.error().display();
}

}  // namespace
