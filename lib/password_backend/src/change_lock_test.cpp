// The change lock with a patience of a fraction of a second: only a change of
// the same user at the same account service waits, for just as long as it is
// told, and takes the lock at once when its holder lets go.
#include "password_backend/change_lock.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const common::Uuid USER = *common::parse_uuid("5d1e2f3a-4b5c-4d6e-8f70-8192a3b4c5d6");
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
    auto lock = lock_at(service("a"), USER, 0ms);
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
      {"the same user at the same service", service("a"), USER, true},
      {"another user at the same service", service("a"), OTHER_USER, false},
      {"the same user at another service", service("b"), USER, false},
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
  const auto next = lock_at(service("a"), USER, 0ms);
  EXPECT_TRUE(next.has_value()) << next.error().display();
}

}  // namespace
