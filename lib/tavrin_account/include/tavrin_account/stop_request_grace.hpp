#pragma once

#include <chrono>
#include <expected>
#include <optional>

#include "common/io_error.hpp"

namespace tavrin_account {

// How long a connection waits for its peer. Unless told otherwise, as long as
// it takes: the daemon is relied on to answer. Told of a stop descriptor, it
// watches that beside the socket; from the moment the descriptor is first
// seen readable (someone has asked the program to stop) the peer has the
// grace period, in all, to be ready, and after it every wait gives up at
// once.
class StopRequestGrace {
 public:
  void watch(int stop_fd, std::chrono::milliseconds grace) noexcept;
  [[nodiscard]] bool watching() const noexcept { return stop_fd_ >= 0; }
  // True once a wait has given up.
  [[nodiscard]] bool gave_up() const noexcept { return gave_up_; }

  // Waits until `fd` is ready for `events`, or has hung up or failed (which
  // the read or write that follows reports). TimedOut once the grace has run
  // out.
  [[nodiscard]] std::expected<void, common::IoError> wait(int fd, short events);

 private:
  int stop_fd_ = -1;
  std::chrono::milliseconds grace_{};
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  bool gave_up_ = false;
};

}  // namespace tavrin_account
