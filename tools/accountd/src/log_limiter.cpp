#include "log_limiter.hpp"

#include <algorithm>

namespace accountd {
namespace {

// "uid=U" of "pid=P uid=U": the processes of one user share a ration.
std::string_view user_of(std::string_view peer) {
  const std::size_t at = peer.find("uid=");
  return at == std::string_view::npos ? peer : peer.substr(at);
}

}  // namespace

void LogLimiter::log(std::string_view peer, std::string_view line, Clock::time_point now) {
  flush(now);
  if (users_.empty() && left_out_of_others_ == 0) window_start_ = now;
  const std::string_view user = user_of(peer);
  auto found = std::ranges::find(users_, user, &User::name);
  if (found == users_.end()) {
    if (users_.size() == USERS_PER_WINDOW) {
      ++left_out_of_others_;
      return;
    }
    found = users_.insert(users_.end(), User{.name = std::string(user)});
  }
  if (found->written == LINES_PER_USER) {
    ++found->left_out;
    return;
  }
  ++found->written;
  sink_(line);
}

void LogLimiter::flush(std::optional<Clock::time_point> now) {
  if (now && *now < window_start_ + WINDOW) return;
  for (const User& user : users_) {
    if (user.left_out == 0) continue;
    std::string words = user.name;
    std::ranges::replace(words, '=', ' ');
    sink_("\u2026 " + std::to_string(user.left_out) + " more from " + words);
  }
  if (left_out_of_others_ != 0) sink_("\u2026 " + std::to_string(left_out_of_others_) + " more from other users");
  users_.clear();
  left_out_of_others_ = 0;
}

std::optional<LogLimiter::Clock::time_point> LogLimiter::next_flush() const {
  const bool waiting =
      left_out_of_others_ != 0 || std::ranges::any_of(users_, [](const User& user) { return user.left_out != 0; });
  if (!waiting) return std::nullopt;
  return window_start_ + WINDOW;
}

}  // namespace accountd
