#include "server.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <list>
#include <optional>
#include <vector>

#include "common/peer_credentials.hpp"
#include "daemon_protocol.hpp"
#include "request_handler.hpp"
#include "tavrin_account/connection.hpp"

namespace accountd {
namespace {

using tavrin_account::FRAME_PREFIX_LENGTH;
using tavrin_account::MAX_MESSAGE_LENGTH;

constexpr std::size_t READ_CHUNK = 65536;
// Beyond this many clients new connections wait in the listen queue.
constexpr std::size_t MAX_CLIENTS = 512;

using Clock = std::chrono::steady_clock;

struct Client {
  common::UniqueFd fd;
  std::string peer;               // "pid=N uid=N"
  bool allowed = false;           // its user may read and write secrets
  Clock::time_point last_heard;   // connected, or last received a byte
  std::vector<std::uint8_t> in;   // received bytes not yet answered
  std::vector<std::uint8_t> out;  // reply bytes not yet sent
  std::size_t sent = 0;
  bool closed = false;
};

std::string peer_text(const std::expected<ucred, common::IoError>& credentials) {
  if (!credentials) return "pid=? uid=?";
  return "pid=" + std::to_string(credentials->pid) + " uid=" + std::to_string(credentials->uid);
}

class Server {
 public:
  Server(SecretStore& store, const std::function<void(std::string_view)>& log, const ServeSettings& settings)
      : store_(store), log_(log), idle_timeout_(settings.idle_timeout), allowed_uids_(settings.allowed_uids) {
    allowed_uids_.push_back(0);
    allowed_uids_.push_back(::geteuid());
    write_refusal();
  }

  // Whoever cannot be identified is not trusted.
  [[nodiscard]] bool allowed(const std::expected<ucred, common::IoError>& credentials) const {
    return credentials && std::ranges::find(allowed_uids_, credentials->uid) != allowed_uids_.end();
  }

  void accept_all(int listener) {
    while (clients_.size() < MAX_CLIENTS) {
      const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
          log_("accept failed: " + common::IoError::last_os_error().display());
        }
        return;
      }
      Client& client = clients_.emplace_back();
      client.fd.reset(fd);
      const auto credentials = common::peer_credentials(fd);
      client.peer = peer_text(credentials);
      client.allowed = allowed(credentials);
      client.last_heard = Clock::now();
      client.in.reserve(tavrin_account::INITIAL_BUFFER_CAPACITY);
    }
  }

  // Sends what it can without waiting; true when nothing is left.
  bool flush(Client& client) {
    while (client.sent < client.out.size()) {
      const ssize_t n = ::send(client.fd.get(), client.out.data() + client.sent, client.out.size() - client.sent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) drop(client, "send failed");
        return false;
      }
      client.sent += static_cast<std::size_t>(n);
    }
    client.out.clear();
    client.sent = 0;
    return true;
  }

  // Answers complete frames one at a time, for as long as replies go out at
  // once; a client that does not read its replies is not read from either.
  void answer_frames(Client& client) {
    while (!client.closed && client.out.empty() && client.in.size() >= FRAME_PREFIX_LENGTH) {
      const std::uint32_t length = tavrin_account::decode_frame_length(client.in.data());
      if (length > MAX_MESSAGE_LENGTH) {
        drop(client, "frame of " + std::to_string(length) + " bytes is too large");
        return;
      }
      if (client.in.size() < FRAME_PREFIX_LENGTH + length) return;
      const std::span<const std::uint8_t> body(client.in.data() + FRAME_PREFIX_LENGTH, length);
      const std::vector<std::uint8_t>& reply = client.allowed ? answer(client, body) : refuse(client);
      client.out.resize(FRAME_PREFIX_LENGTH);
      tavrin_account::encode_frame_length(static_cast<std::uint32_t>(reply.size()), client.out.data());
      client.out.insert(client.out.end(), reply.begin(), reply.end());
      client.in.erase(client.in.begin(), client.in.begin() + static_cast<std::ptrdiff_t>(FRAME_PREFIX_LENGTH + length));
      (void)flush(client);
    }
  }

  const std::vector<std::uint8_t>& answer(const Client& client, std::span<const std::uint8_t> body) {
    const RequestSummary summary = handle_request(body, store_, reply_);
    log_(client.peer + " " + summary.method + " user=" + summary.user + " name=" + summary.name + " -> " +
         summary.outcome);
    return reply_;
  }

  // The request is not even decoded: nothing of it reaches the store or the
  // log.
  const std::vector<std::uint8_t>& refuse(const Client& client) {
    log_(client.peer + " refused: uid not allowed -> PermissionDenied");
    return refusal_;
  }

  void receive(Client& client) {
    std::array<std::uint8_t, READ_CHUNK> chunk{};
    const ssize_t n = ::recv(client.fd.get(), chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (n < 0) {
      if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) drop(client, "receive failed");
      return;
    }
    if (n == 0) {
      client.closed = true;  // the client hung up; a partial frame goes with it
      return;
    }
    client.last_heard = Clock::now();
    client.in.insert(client.in.end(), chunk.begin(), chunk.begin() + n);
    answer_frames(client);
  }

  void drop(Client& client, std::string_view why) {
    log_(client.peer + " dropped: " + std::string(why));
    client.closed = true;
  }

  void run(int listener, int stop_fd) {
    std::vector<pollfd> polled;
    std::vector<Client*> order;
    while (true) {
      polled.clear();
      order.clear();
      polled.push_back({stop_fd, POLLIN, 0});
      polled.push_back({listener, static_cast<short>(clients_.size() < MAX_CLIENTS ? POLLIN : 0), 0});
      for (Client& client : clients_) {
        polled.push_back({client.fd.get(), static_cast<short>(client.out.empty() ? POLLIN : POLLOUT), 0});
        order.push_back(&client);
      }
      if (::poll(polled.data(), polled.size(), poll_timeout()) < 0) {
        if (errno == EINTR) continue;
        log_("poll failed: " + common::IoError::last_os_error().display());
        return;
      }
      if (polled[0].revents != 0) return;
      if (polled[1].revents != 0) accept_all(listener);
      for (std::size_t i = 0; i < order.size(); ++i) {
        Client& client = *order[i];
        const short events = polled[i + 2].revents;
        if (events == 0) continue;
        if (!client.out.empty()) {
          if ((events & (POLLERR | POLLHUP)) != 0 && (events & POLLOUT) == 0) {
            client.closed = true;
          } else if (flush(client)) {
            answer_frames(client);
          }
        } else {
          receive(client);
        }
      }
      close_idle();
      clients_.remove_if([](const Client& client) { return client.closed; });
    }
  }

  // Until the next client falls silent for too long; -1 (no limit) when
  // there is no client.
  [[nodiscard]] int poll_timeout() const {
    if (clients_.empty()) return -1;
    Clock::time_point earliest = Clock::time_point::max();
    for (const Client& client : clients_) earliest = std::min(earliest, client.last_heard);
    const auto left = earliest + idle_timeout_ - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    // Rounded up, so the poll does not wake just before the deadline.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
  }

  void close_idle() {
    const auto now = Clock::now();
    for (Client& client : clients_) {
      if (!client.closed && now - client.last_heard >= idle_timeout_) {
        drop(client, "silent for " + std::to_string(idle_timeout_.count()) + " ms");
      }
    }
  }

  // Replies already made go out if the socket takes them now.
  void finish() {
    for (Client& client : clients_) {
      if (!client.closed) (void)flush(client);
    }
    clients_.clear();
  }

 private:
  void write_refusal() {
    const auto written = write_response(refusal_, false, error_to_json(tavrin_account::Error::permission_denied()));
    if (!written) std::abort();  // a fixed reply of a few bytes
  }

  SecretStore& store_;
  const std::function<void(std::string_view)>& log_;
  std::chrono::milliseconds idle_timeout_;
  std::vector<uid_t> allowed_uids_;
  std::list<Client> clients_;
  std::vector<std::uint8_t> reply_;
  std::vector<std::uint8_t> refusal_;  // the same for every refused request
};

}  // namespace

void serve(const Listener& listener, int stop_fd, SecretStore& store, const std::function<void(std::string_view)>& log,
           const ServeSettings& settings) {
  Server server(store, log, settings);
  server.run(listener.fd(), stop_fd);
  server.finish();
}

}  // namespace accountd
