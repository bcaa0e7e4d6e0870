#include "log_limiter.hpp"

#include <algorithm>

namespace accountd {

void LogLimiter::log(std::string_view peer, std::string_view line, Clock::time_point now) {
  flush(now);
  if (peers_.empty() && left_out_of_others_ == 0) window_start_ = now;
  auto found = std::ranges::find(peers_, peer, &Peer::name);
  if (found == peers_.end()) {
    if (peers_.size() == PEERS_PER_WINDOW) {
      ++left_out_of_others_;
      return;
    }
    found = peers_.insert(peers_.end(), Peer{.name = std::string(peer)});
  }
  if (found->written == LINES_PER_PEER) {
    ++found->left_out;
    return;
  }
  ++found->written;
  sink_(line);
}

void LogLimiter::flush(std::optional<Clock::time_point> now) {
  if (now && *now < window_start_ + WINDOW) return;
  for (const Peer& peer : peers_) {
    if (peer.left_out == 0) continue;
    std::string words = peer.name;
    std::ranges::replace(words, '=', ' ');
    sink_("\u2026 " + std::to_string(peer.left_out) + " more from " + words);
  }
  if (left_out_of_others_ != 0) sink_("\u2026 " + std::to_string(left_out_of_others_) + " more from other peers");
  peers_.clear();
  left_out_of_others_ = 0;
}

std::optional<LogLimiter::Clock::time_point> LogLimiter::next_flush() const {
  const bool waiting =
      left_out_of_others_ != 0 || std::ranges::any_of(peers_, [](const Peer& peer) { return peer.left_out != 0; });
  if (!waiting) return std::nullopt;
  return window_start_ + WINDOW;
}

}  // namespace accountd
