#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace accountd {

// Lines about refused or malformed traffic are what a peer can make the
// daemon write without being served, so they are rationed: a few per user
// and second, from a bounded number of users per second, however many
// processes a user runs. What is left out is counted and summed up, one line
// per user ("… N more from uid U"), once its second is over. The log then
// grows with time, not with traffic.
class LogLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  using Sink = std::function<void(std::string_view)>;

  static constexpr std::chrono::milliseconds WINDOW{1000};
  static constexpr unsigned LINES_PER_USER = 5;
  static constexpr std::size_t USERS_PER_WINDOW = 16;

  explicit LogLimiter(Sink sink) : sink_(std::move(sink)) {}

  // `peer` as the log names it, "pid=P uid=U" ("uid=?" for one that could
  // not be identified); `line` is written if the user's ration for this
  // second allows.
  void log(std::string_view peer, std::string_view line, Clock::time_point now);
  // Writes the summaries of a second that is over, or of every second when
  // `now` is nullopt (at exit).
  void flush(std::optional<Clock::time_point> now);
  // When summaries wait to be written, the time they are due.
  [[nodiscard]] std::optional<Clock::time_point> next_flush() const;

 private:
  struct User {
    std::string name;  // "uid=U"
    unsigned written = 0;
    std::uint64_t left_out = 0;
  };

  Sink sink_;
  Clock::time_point window_start_;
  std::vector<User> users_;
  std::uint64_t left_out_of_others_ = 0;  // from users beyond USERS_PER_WINDOW
};

}  // namespace accountd
