#include "tavrin_account/stop_request_grace.hpp"

#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>

namespace tavrin_account {

using Clock = std::chrono::steady_clock;

void StopRequestGrace::watch(int stop_fd, std::chrono::milliseconds grace) noexcept {
  stop_fd_ = stop_fd;
  grace_ = grace;
}

std::expected<void, common::IoError> StopRequestGrace::wait(int fd, short events) {
  for (;;) {
    int timeout_ms = -1;
    if (deadline_) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - Clock::now());
      if (left.count() <= 0) {
        gave_up_ = true;
        return std::unexpected(common::IoError::with_message(common::ErrorKind::TimedOut,
                                                             "no answer within the grace period after a stop"));
      }
      timeout_ms =
          static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), std::numeric_limits<int>::max()));
    }
    // Once seen, the stop stays readable (nobody reads it): only the socket
    // is watched from then on.
    std::array<pollfd, 2> fds{{{fd, events, 0}, {stop_fd_, POLLIN, 0}}};
    const nfds_t count = watching() && !deadline_ ? 2 : 1;
    const int ready = ::poll(fds.data(), count, timeout_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(common::IoError::last_os_error());
    }
    if (count == 2 && fds[1].revents != 0) deadline_ = Clock::now() + grace_;
    if (fds[0].revents != 0) return {};
  }
}

}  // namespace tavrin_account
