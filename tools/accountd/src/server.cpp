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
#include "log_limiter.hpp"
#include "refused_clients.hpp"
#include "request_handler.hpp"
#include "tavrin_account/connection.hpp"

namespace accountd {
namespace {

using tavrin_account::FRAME_PREFIX_LENGTH;
using tavrin_account::MAX_MESSAGE_LENGTH;

constexpr std::size_t READ_CHUNK = 65536;
// Beyond this many clients new connections wait in the listen queue.
constexpr std::size_t MAX_CLIENTS = 512;
// Taken from the listen queue in one go, so that a flood of connections
// cannot keep the clients already there waiting.
constexpr std::size_t ACCEPTS_PER_ROUND = 256;
// After accept fails for want of descriptors or memory, the listening socket
// is left alone this long, or until a client leaves: it would only be
// readable again at once, and the loop would spin.
constexpr std::chrono::milliseconds ACCEPT_PAUSE{100};
constexpr std::chrono::milliseconds ACCEPT_FAILURE_REPORT{1000};

using Clock = std::chrono::steady_clock;

struct Client {
  common::UniqueFd fd;
  std::string peer;               // "pid=N uid=N"
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
      : store_(store),
        log_(log),
        limited_log_(log),
        refused_(limited_log_),
        idle_timeout_(settings.idle_timeout),
        allowed_uids_(settings.allowed_uids) {
    allowed_uids_.push_back(0);
    allowed_uids_.push_back(::geteuid());
  }

  // Whoever cannot be identified is not trusted.
  [[nodiscard]] bool allowed(const std::expected<ucred, common::IoError>& credentials) const {
    return credentials && std::ranges::find(allowed_uids_, credentials->uid) != allowed_uids_.end();
  }

  void accept_all(int listener) {
    for (std::size_t round = 0; round < ACCEPTS_PER_ROUND && clients_.size() < MAX_CLIENTS; ++round) {
      common::UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
      const auto now = Clock::now();
      if (!fd.valid()) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) accept_failed(now);
        return;
      }
      accept_recovered();
      const auto credentials = common::peer_credentials(fd.get());
      if (!allowed(credentials)) {
        refused_.add(std::move(fd), peer_text(credentials), now);
        continue;
      }
      Client& client = clients_.emplace_back();
      client.fd = std::move(fd);
      client.peer = peer_text(credentials);
      client.last_heard = now;
      client.in.reserve(tavrin_account::INITIAL_BUFFER_CAPACITY);
    }
  }

  // Out of descriptors (EMFILE, ENFILE) or memory the connection stays in
  // the listen queue, and the listening socket stays readable: it is left
  // alone for a while instead of being asked again at once. One line a
  // second at most says so.
  void accept_failed(Clock::time_point now) {
    const std::string reason = common::IoError::last_os_error().display();
    accept_paused_until_ = now + ACCEPT_PAUSE;
    ++accept_failures_;
    if (accept_failure_reported_ && now - *accept_failure_reported_ < ACCEPT_FAILURE_REPORT) return;
    log_("accept failed: " + reason +
         (accept_failures_ > 1 ? " (" + std::to_string(accept_failures_) + " times)" : "") + "; trying again in " +
         std::to_string(ACCEPT_PAUSE.count()) + " ms");
    accept_failure_reported_ = now;
    accept_failures_ = 0;
  }

  void accept_recovered() {
    if (!accept_failure_reported_) return;
    if (accept_failures_ != 0) log_("accept failed " + std::to_string(accept_failures_) + " more times");
    log_("accepting again");
    accept_failure_reported_.reset();
    accept_failures_ = 0;
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
      const std::vector<std::uint8_t>& reply = answer(client, body);
      client.out.resize(FRAME_PREFIX_LENGTH);
      tavrin_account::encode_frame_length(static_cast<std::uint32_t>(reply.size()), client.out.data());
      client.out.insert(client.out.end(), reply.begin(), reply.end());
      client.in.erase(client.in.begin(), client.in.begin() + static_cast<std::ptrdiff_t>(FRAME_PREFIX_LENGTH + length));
      (void)flush(client);
    }
  }

  // A request that could not be read is rationed like refused traffic;
  // every other request is logged.
  const std::vector<std::uint8_t>& answer(const Client& client, std::span<const std::uint8_t> body) {
    const RequestSummary summary = handle_request(body, store_, reply_);
    const std::string line = client.peer + " " + summary.method + " user=" + summary.user + " name=" + summary.name +
                             " -> " + summary.outcome;
    if (summary.outcome == tavrin_account::error_kind_name(tavrin_account::Error::Kind::InvalidParams)) {
      limited_log_.log(client.peer, line, Clock::now());
    } else {
      log_(line);
    }
    return reply_;
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
    limited_log_.log(client.peer, client.peer + " dropped: " + std::string(why), Clock::now());
    client.closed = true;
  }

  void run(int listener, int stop_fd) {
    std::vector<pollfd> polled;
    std::vector<Client*> order;
    while (true) {
      polled.clear();
      order.clear();
      const bool accepting = clients_.size() < MAX_CLIENTS && Clock::now() >= accept_paused_until_;
      polled.push_back({stop_fd, POLLIN, 0});
      polled.push_back({listener, static_cast<short>(accepting ? POLLIN : 0), 0});
      for (Client& client : clients_) {
        polled.push_back({client.fd.get(), static_cast<short>(client.out.empty() ? POLLIN : POLLOUT), 0});
        order.push_back(&client);
      }
      const std::size_t first_refused = polled.size();
      refused_.poll_entries(polled);
      if (::poll(polled.data(), polled.size(), poll_timeout()) < 0) {
        if (errno == EINTR) continue;
        log_("poll failed: " + common::IoError::last_os_error().display());
        return;
      }
      if (polled[0].revents != 0) return;
      std::size_t gone = refused_.serve(std::span(polled).subspan(first_refused), Clock::now());
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
      const auto now = Clock::now();
      close_idle();
      gone += refused_.close_expired(now);
      gone += clients_.remove_if([](const Client& client) { return client.closed; });
      limited_log_.flush(now);
      // A client that left gave back a descriptor: worth trying at once.
      if (gone != 0) accept_paused_until_ = {};
    }
  }

  // Until the next deadline: a client falling silent for too long, a refused
  // client's grace running out, the listening socket's pause ending, or
  // rationed log lines to sum up; -1 (no limit) when there is none.
  [[nodiscard]] int poll_timeout() const {
    Clock::time_point earliest = Clock::time_point::max();
    for (const Client& client : clients_) earliest = std::min(earliest, client.last_heard + idle_timeout_);
    for (const auto deadline : {refused_.next_deadline(), limited_log_.next_flush()}) {
      if (deadline) earliest = std::min(earliest, *deadline);
    }
    const auto now = Clock::now();
    if (accept_paused_until_ > now) earliest = std::min(earliest, accept_paused_until_);
    if (earliest == Clock::time_point::max()) return -1;
    const auto left = earliest - now;
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
    limited_log_.flush(std::nullopt);
  }

 private:
  SecretStore& store_;
  const std::function<void(std::string_view)>& log_;
  LogLimiter limited_log_;
  RefusedClients refused_;
  std::chrono::milliseconds idle_timeout_;
  std::vector<uid_t> allowed_uids_;
  std::list<Client> clients_;
  std::vector<std::uint8_t> reply_;
  Clock::time_point accept_paused_until_{};
  std::optional<Clock::time_point> accept_failure_reported_;
  std::uint64_t accept_failures_ = 0;  // since the last line about them
};

}  // namespace

void serve(const Listener& listener, int stop_fd, SecretStore& store, const std::function<void(std::string_view)>& log,
           const ServeSettings& settings) {
  Server server(store, log, settings);
  server.run(listener.fd(), stop_fd);
  server.finish();
}

}  // namespace accountd
