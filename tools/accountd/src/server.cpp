#include "server.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <list>
#include <vector>

#include "request_handler.hpp"
#include "tavrin_account/connection.hpp"

namespace accountd {
namespace {

using tavrin_account::FRAME_PREFIX_LENGTH;
using tavrin_account::MAX_MESSAGE_LENGTH;

constexpr std::size_t kReadChunk = 65536;
// Beyond this many clients new connections wait in the listen queue.
constexpr std::size_t kMaxClients = 512;

struct Client {
  common::UniqueFd fd;
  std::string peer;               // "pid=N uid=N"
  std::vector<std::uint8_t> in;   // received bytes not yet answered
  std::vector<std::uint8_t> out;  // reply bytes not yet sent
  std::size_t sent = 0;
  bool closed = false;
};

std::string peer_of(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return "pid=? uid=?";
  return "pid=" + std::to_string(credentials.pid) + " uid=" + std::to_string(credentials.uid);
}

class Server {
 public:
  Server(SecretStore& store, const std::function<void(std::string_view)>& log) : store_(store), log_(log) {}

  void accept_all(int listener) {
    while (clients_.size() < kMaxClients) {
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
      client.peer = peer_of(fd);
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
      const RequestSummary summary = handle_request(body, store_, reply_);
      log_(client.peer + " " + summary.method + " user=" + summary.user + " name=" + summary.name + " -> " +
           summary.outcome);
      client.out.resize(FRAME_PREFIX_LENGTH);
      tavrin_account::encode_frame_length(static_cast<std::uint32_t>(reply_.size()), client.out.data());
      client.out.insert(client.out.end(), reply_.begin(), reply_.end());
      client.in.erase(client.in.begin(), client.in.begin() + static_cast<std::ptrdiff_t>(FRAME_PREFIX_LENGTH + length));
      (void)flush(client);
    }
  }

  void receive(Client& client) {
    std::array<std::uint8_t, kReadChunk> chunk{};
    const ssize_t n = ::recv(client.fd.get(), chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (n < 0) {
      if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) drop(client, "receive failed");
      return;
    }
    if (n == 0) {
      client.closed = true;  // the client hung up; a partial frame goes with it
      return;
    }
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
      polled.push_back({listener, static_cast<short>(clients_.size() < kMaxClients ? POLLIN : 0), 0});
      for (Client& client : clients_) {
        polled.push_back({client.fd.get(), static_cast<short>(client.out.empty() ? POLLIN : POLLOUT), 0});
        order.push_back(&client);
      }
      if (::poll(polled.data(), polled.size(), -1) < 0) {
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
      clients_.remove_if([](const Client& client) { return client.closed; });
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
  SecretStore& store_;
  const std::function<void(std::string_view)>& log_;
  std::list<Client> clients_;
  std::vector<std::uint8_t> reply_;
};

}  // namespace

void serve(const Listener& listener, int stop_fd, SecretStore& store,
           const std::function<void(std::string_view)>& log) {
  Server server(store, log);
  server.run(listener.fd(), stop_fd);
  server.finish();
}

}  // namespace accountd
