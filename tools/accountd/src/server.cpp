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
#include <unordered_map>
#include <utility>
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
// Beyond MAX_CLIENTS clients new connections wait in the listen queue.
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
  std::string peer;  // "pid=N uid=N"
  uid_t uid = 0;
  Clock::time_point last_heard;   // connected, or last received a byte
  Clock::time_point frame_began;  // when the first byte of `in` came
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
  Server(SecretStore& store, std::function<void(std::string_view)> log, const ServeSettings& settings)
      : store_(store),
        log_(std::move(log)),
        limited_log_(log_),
        idle_timeout_(settings.idle_timeout),
        request_timeout_(settings.request_timeout),
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
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        // Out of descriptors, a refused client gives its own up to whoever
        // waits behind the crowd.
        if ((errno == EMFILE || errno == ENFILE) && refused_.close_oldest(now, limited_log_)) {
          accept_failed(now, false);
          continue;
        }
        accept_failed(now, true);
        return;
      }
      const auto credentials = common::peer_credentials(fd.get());
      std::string peer = peer_text(credentials);
      if (!allowed(credentials)) {
        refused_.add(std::move(fd), std::move(peer), now, limited_log_);
        continue;
      }
      const uid_t uid = credentials->uid;
      if (!has_room_for(uid)) {
        limited_log_.log(
            peer, peer + " closed: its user holds its share of " + std::to_string(SLOTS_PER_USER) + " slots", now);
        continue;
      }
      ++slots_of_[uid];
      Client& client = clients_.emplace_back();
      client.fd = std::move(fd);
      client.peer = std::move(peer);
      client.uid = uid;
      client.last_heard = now;
      client.in.reserve(tavrin_account::INITIAL_BUFFER_CAPACITY);
    }
  }

  // Each user up to its share; root alone in the last share, so that no
  // crowd of other users can leave root without a slot.
  [[nodiscard]] bool has_room_for(uid_t uid) const {
    const auto held = slots_of_.find(uid);
    if (held != slots_of_.end() && held->second >= SLOTS_PER_USER) return false;
    if (uid == 0) return true;
    const auto roots = slots_of_.find(0);
    const std::size_t others = clients_.size() - (roots == slots_of_.end() ? 0 : roots->second);
    return others < MAX_CLIENTS - SLOTS_PER_USER;
  }

  // Out of descriptors (EMFILE, ENFILE) or memory the connection stays in
  // the listen queue, and the listening socket stays readable: unless a
  // refused client could give up its descriptor (`pause` false), it is left
  // alone for a while instead of being asked again at once. One line a
  // second at most says so, however often it fails and recovers; once it
  // has not failed for a second, one line says that it accepts again.
  void accept_failed(Clock::time_point now, bool pause) {
    const std::string reason = common::IoError::last_os_error().display();
    if (pause) accept_paused_until_ = now + ACCEPT_PAUSE;
    ++accept_failures_;
    accept_failed_last_ = now;
    if (accept_failure_reported_ && now - *accept_failure_reported_ < ACCEPT_FAILURE_REPORT) return;
    log_("accept failed: " + reason +
         (accept_failures_ > 1 ? " (" + std::to_string(accept_failures_) + " times)" : "") +
         (pause ? "; trying again in " + std::to_string(ACCEPT_PAUSE.count()) + " ms" : "; closed a refused client"));
    accept_failure_reported_ = now;
    accept_failures_ = 0;
  }

  void report_recovery(Clock::time_point now) {
    if (!accept_failure_reported_ || now - accept_failed_last_ < ACCEPT_FAILURE_REPORT) return;
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

  // Whether a whole frame waits to be answered.
  [[nodiscard]] static bool frame_waits(const Client& client) {
    return !client.closed && client.out.empty() && client.in.size() >= FRAME_PREFIX_LENGTH &&
           client.in.size() >= FRAME_PREFIX_LENGTH + tavrin_account::decode_frame_length(client.in.data());
  }

  // Answers one complete frame, if one has come and the reply before it has
  // gone: clients take turns, so that one that sends thousands of requests
  // at once delays the others by one request, not by thousands. A client
  // that does not read its replies is not read from either.
  void answer_frame(Client& client) {
    if (!client.closed && client.out.empty() && client.in.size() >= FRAME_PREFIX_LENGTH) {
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
      // The next request's time starts now, not when its bytes came.
      client.frame_began = Clock::now();
      (void)flush(client);
    }
  }

  // A request that could not be read is rationed like refused traffic;
  // every other request is logged.
  const std::vector<std::uint8_t>& answer(const Client& client, std::span<const std::uint8_t> body) {
    const RequestSummary summary = handle_request(body, store_, reply_);
    const std::string line = client.peer + " " + summary.method + " user=" + summary.user + " name=" + summary.name +
                             " -> " + summary.outcome;
    if (summary.outcome == tavrin_account::wire_name(tavrin_account::Error::Kind::InvalidParams)) {
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
    if (client.in.empty()) client.frame_began = client.last_heard;
    client.in.insert(client.in.end(), chunk.begin(), chunk.begin() + n);
    answer_frame(client);
  }

  void drop(Client& client, std::string_view why) {
    limited_log_.log(client.peer, client.peer + " dropped: " + std::string(why), Clock::now());
    client.closed = true;
  }

  // What each client is waited for; true when some client has a whole
  // request waiting, which it is not read from until it has had its turn.
  bool poll_entries(std::vector<pollfd>& polled, std::vector<Client*>& order) {
    bool turns_left = false;
    for (Client& client : clients_) {
      const bool waits = frame_waits(client);
      turns_left = turns_left || waits;
      short events = client.out.empty() ? POLLIN : POLLOUT;
      if (waits) events = 0;
      polled.push_back({client.fd.get(), events, 0});
      order.push_back(&client);
    }
    return turns_left;
  }

  void serve_client(Client& client, short events) {
    const bool hung_up = (events & (POLLERR | POLLHUP)) != 0 && (events & POLLOUT) == 0;
    if (events != 0 && client.out.empty() && !frame_waits(client)) {
      receive(client);
    } else if (events != 0 && !client.out.empty() && hung_up) {
      client.closed = true;
    } else if (client.out.empty() || (events != 0 && flush(client))) {
      answer_frame(client);
    }
  }

  // How many clients were closed; their slots go back to their users.
  std::size_t remove_closed() {
    return clients_.remove_if([this](const Client& client) {
      if (!client.closed) return false;
      if (--slots_of_[client.uid] == 0) slots_of_.erase(client.uid);
      return true;
    });
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
      const bool turns_left = poll_entries(polled, order);
      const std::size_t first_refused = polled.size();
      refused_.poll_entries(polled);
      if (::poll(polled.data(), polled.size(), turns_left ? 0 : poll_timeout()) < 0) {
        if (errno == EINTR) continue;
        log_("poll failed: " + common::IoError::last_os_error().display());
        return;
      }
      if (polled[0].revents != 0) return;
      std::size_t gone = refused_.serve(std::span(polled).subspan(first_refused), Clock::now(), limited_log_);
      if (polled[1].revents != 0) accept_all(listener);
      for (std::size_t i = 0; i < order.size(); ++i) serve_client(*order[i], polled[i + 2].revents);
      const auto now = Clock::now();
      close_idle();
      report_recovery(now);
      gone += refused_.close_expired(now, limited_log_);
      gone += remove_closed();
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
    for (const Client& client : clients_) {
      earliest = std::min(earliest, client.last_heard + idle_timeout_);
      if (!client.in.empty() && client.out.empty())
        earliest = std::min(earliest, client.frame_began + request_timeout_);
    }
    if (accept_failure_reported_) earliest = std::min(earliest, accept_failed_last_ + ACCEPT_FAILURE_REPORT);
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
      if (client.closed) continue;
      if (now - client.last_heard >= idle_timeout_) {
        drop(client, "silent for " + std::to_string(idle_timeout_.count()) + " ms");
      } else if (!client.in.empty() && client.out.empty() && now - client.frame_began >= request_timeout_) {
        drop(client, "request not whole within " + std::to_string(request_timeout_.count()) + " ms");
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
  SecretStore&
      store_;  // NOLINT(cppcoreguidelines-avoid-const-or-ref-data-members): the caller's store outlives the server
  std::function<void(std::string_view)> log_;
  LogLimiter limited_log_;
  RefusedClients refused_;
  std::chrono::milliseconds idle_timeout_;
  std::chrono::milliseconds request_timeout_;
  std::unordered_map<uid_t, std::size_t> slots_of_;  // clients_ by user
  std::vector<uid_t> allowed_uids_;
  std::list<Client> clients_;
  std::vector<std::uint8_t> reply_;
  Clock::time_point accept_paused_until_;
  std::optional<Clock::time_point> accept_failure_reported_;
  Clock::time_point accept_failed_last_;
  std::uint64_t accept_failures_ = 0;  // since the last line about them
};

}  // namespace

void serve(const Listener& listener, int stop_fd, SecretStore& store, std::function<void(std::string_view)> log,
           const ServeSettings& settings) {
  Server server(store, std::move(log), settings);
  server.run(listener.fd(), stop_fd);
  server.finish();
}

}  // namespace accountd
