#include "log_limiter.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace accountd {
namespace {

using namespace std::chrono_literals;
using Clock = LogLimiter::Clock;

struct Burst {
  std::string_view what;
  unsigned users;
  unsigned pids_per_user;
  unsigned lines_per_pid;
  std::size_t written;                 // in the second of the burst
  std::vector<std::string> summaries;  // once it is over
};

// Every line of the burst comes within one second; the clock is the test's.
TEST(LogLimiter, RationsPerUserHoweverManyProcessesItRuns) {
  const std::vector<Burst> bursts = {
      {"a few lines", 1, 1, 3, 3, {}},
      {"one process", 1, 1, 9, 5, {"\u2026 4 more from uid 1000"}},
      {"64 processes of one user", 1, 64, 2, 5, {"\u2026 123 more from uid 1000"}},
      {"two users", 2, 3, 2, 10, {"\u2026 1 more from uid 1000", "\u2026 1 more from uid 1001"}},
      {"more users than a second takes", 17, 1, 1, 16, {"\u2026 1 more from other users"}},
  };
  for (const Burst& burst : bursts) {
    std::vector<std::string> sunk;
    LogLimiter limiter([&](std::string_view line) { sunk.emplace_back(line); });
    const Clock::time_point start{1h};
    auto now = start;
    for (unsigned line = 0; line < burst.lines_per_pid; ++line) {
      for (unsigned user = 0; user < burst.users; ++user) {
        for (unsigned pid = 0; pid < burst.pids_per_user; ++pid) {
          const std::string peer = "pid=" + std::to_string(100 + pid) + " uid=" + std::to_string(1000 + user);
          limiter.log(peer, peer + " line", now);
          now += 1ms;
        }
      }
    }
    EXPECT_EQ(sunk.size(), burst.written) << burst.what;
    const auto due = limiter.next_flush();
    EXPECT_EQ(due.has_value(), !burst.summaries.empty()) << burst.what;
    EXPECT_EQ(due.value_or(start + LogLimiter::WINDOW), start + LogLimiter::WINDOW) << burst.what;
    limiter.flush(start + LogLimiter::WINDOW - 1ms);
    EXPECT_EQ(sunk.size(), burst.written) << burst.what << ": summed up before the second was over";
    limiter.flush(start + LogLimiter::WINDOW);
    const std::vector<std::string> summaries(sunk.begin() + static_cast<std::ptrdiff_t>(burst.written), sunk.end());
    EXPECT_EQ(summaries, burst.summaries) << burst.what;
    // A new second starts a new ration.
    limiter.log("pid=100 uid=1000", "again", start + LogLimiter::WINDOW + 1ms);
    EXPECT_EQ(sunk.back(), "again") << burst.what;
  }
}

}  // namespace
}  // namespace accountd
