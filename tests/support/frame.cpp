#include "frame.hpp"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "daemon_protocol.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/protocol.hpp"

namespace test_support {
namespace {

bool read_exact(int fd, int stop_fd, std::uint8_t* into, std::size_t size) {
  while (size > 0) {
    if (!wait_readable(fd, stop_fd)) return false;
    const ssize_t n = ::recv(fd, into, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    into += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::string frame_of(std::string_view body) {
  std::string out(4, '\0');
  tavrin_account::encode_frame_length(static_cast<std::uint32_t>(body.size()),
                                      reinterpret_cast<std::uint8_t*>(out.data()));
  out += body;
  return out;
}

std::string response_body(bool success, const nlohmann::json& value) {
  std::vector<std::uint8_t> body;
  if (!accountd::write_response(body, success, value)) std::abort();
  return {body.begin(), body.end()};
}

bool wait_readable(int fd, int stop_fd) {
  std::array<pollfd, 2> fds{{{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}}};
  while (true) {
    const int ready = ::poll(fds.data(), fds.size(), WAIT_MS);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0 && fds[1].revents == 0;
  }
}

std::optional<RecordedFrame> read_frame(int fd, int stop_fd) {
  std::array<std::uint8_t, 4> prefix{};
  if (!read_exact(fd, stop_fd, prefix.data(), prefix.size())) return std::nullopt;
  RecordedFrame frame{.length = tavrin_account::decode_frame_length(prefix.data()), .body = {}};
  if (frame.length > tavrin_account::MAX_MESSAGE_LENGTH) return std::nullopt;
  frame.body.resize(frame.length);
  if (!read_exact(fd, stop_fd, reinterpret_cast<std::uint8_t*>(frame.body.data()), frame.length)) return std::nullopt;
  return frame;
}

void send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Unread bytes stay counted against the sender until the peer takes them.
void wait_until_taken(int fd) {
  for (int i = 0; i < 10'000; ++i) {
    int queued = 0;
    if (::ioctl(fd, SIOCOUTQ, &queued) != 0 || queued == 0) return;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

}  // namespace test_support
