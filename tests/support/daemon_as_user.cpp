#include "daemon_as_user.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "frame.hpp"
#include "pipe.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/endpoint.hpp"
#include "unix_socket.hpp"

namespace test_support {
namespace {

constexpr std::string_view LISTENING = "listening\n";
constexpr std::string_view NOT_LISTENING = "cannot listen\n";
constexpr std::string_view RECEIVED = "received ";

void write_text(int fd, std::string_view text) { (void)!::write(fd, text.data(), text.size()); }

// In the child, as the user: serves until the stop pipe closes or nothing
// happens for 20 seconds, then reports the bytes received.
void serve(const std::string& uri, int report, int stop) {
  const auto endpoint = tavrin_account::parse_endpoint_uri(uri);
  if (!endpoint) std::abort();
  const common::UniqueFd listener = listening_socket(*endpoint, 8);
  if (!listener.valid()) {
    write_text(report, NOT_LISTENING);
    return;
  }
  write_text(report, LISTENING);
  std::uint64_t received = 0;
  common::UniqueFd client;
  std::string pending;
  const std::string framed = frame_of(R"({"success":true,"value":null})");
  while (true) {
    std::array<pollfd, 2> polled{{{stop, POLLIN, 0}, {client.valid() ? client.get() : listener.get(), POLLIN, 0}}};
    if (::poll(polled.data(), polled.size(), 20'000) <= 0 || polled[0].revents != 0) break;
    if (!client.valid()) {
      client.reset(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      pending.clear();
      continue;
    }
    std::array<char, 4096> chunk{};
    const ssize_t n = ::recv(client.get(), chunk.data(), chunk.size(), 0);
    if (n <= 0) {
      client.reset();
      continue;
    }
    received += static_cast<std::uint64_t>(n);
    pending.append(chunk.data(), static_cast<std::size_t>(n));
    while (pending.size() >= 4) {
      const std::size_t length =
          4 + tavrin_account::decode_frame_length(reinterpret_cast<const std::uint8_t*>(pending.data()));
      if (pending.size() < length) break;
      pending.erase(0, length);
      (void)::send(client.get(), framed.data(), framed.size(), MSG_NOSIGNAL);
    }
  }
  write_text(report, std::string(RECEIVED) + std::to_string(received) + "\n");
}

}  // namespace

DaemonAsUser::DaemonAsUser(const std::string& uri, uid_t uid) {
  Pipe stop = make_pipe();
  // The kernel records the listener's credentials at listen(), so the child
  // becomes the user before the socket is even made.
  child_ = std::make_unique<ChildAsUser>(uid, [&](int report) {
    stop.write.reset();
    serve(uri, report, stop.read.get());
  });
  stop_ = std::move(stop.write);
  const std::string said = child_->read_until("\n");
  listening_ = said == LISTENING;
  if (!listening_) problem_ = said == NOT_LISTENING ? "cannot listen on " + uri : said;
}

std::size_t DaemonAsUser::finish() {
  if (child_ == nullptr) return received_;
  stop_.reset();
  const std::string said = child_->finish();
  child_.reset();
  const std::size_t at = said.find(RECEIVED);
  if (at != std::string::npos) received_ = std::strtoull(said.c_str() + at + RECEIVED.size(), nullptr, 10);
  return received_;
}

}  // namespace test_support
