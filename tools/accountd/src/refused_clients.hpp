#pragma once

#include <poll.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/unique_fd.hpp"
#include "log_limiter.hpp"

namespace accountd {

// Clients whose user is not served. Each gets one PermissionDenied reply to
// its first request and is closed, or is closed without a reply if that
// request has not arrived within REFUSED_GRACE of its connecting. They have
// their own few places, apart from the slots of the clients served, so that
// however many connections a refused user opens, it holds neither a slot nor
// a descriptor for long.
class RefusedClients {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::chrono::milliseconds REFUSED_GRACE{1000};
  // Beyond this many at once, a refused client is closed as it is accepted.
  static constexpr std::size_t MAX_REFUSED = 64;

  RefusedClients();

  // Whoever is refused or dropped gets a line in `log`, the ration that the
  // daemon's other lines about strangers share.

  // Takes the connection, or closes it at once when every place is taken.
  void add(common::UniqueFd fd, std::string peer, Clock::time_point now, LogLimiter& log);
  // One entry per client, in an order that serve() expects back unchanged.
  void poll_entries(std::vector<pollfd>& polled) const;
  // Each gives how many clients it closed.
  std::size_t serve(std::span<const pollfd> polled, Clock::time_point now, LogLimiter& log);
  std::size_t close_expired(Clock::time_point now, LogLimiter& log);
  // Closes the client that came first, to give its descriptor to a
  // connection waiting behind the crowd; false when there is none.
  bool close_oldest(Clock::time_point now, LogLimiter& log);
  [[nodiscard]] std::optional<Clock::time_point> next_deadline() const;
  [[nodiscard]] std::size_t size() const { return clients_.size(); }

 private:
  struct Refused {
    common::UniqueFd fd;
    std::string peer;
    Clock::time_point deadline;
    std::array<std::uint8_t, 4> prefix{};
    std::uint64_t received = 0;  // of the first frame, prefix included
    bool closed = false;
  };

  void receive(Refused& client, Clock::time_point now, LogLimiter& log);

  std::list<Refused> clients_;         // in the order they came, so by deadline
  std::vector<std::uint8_t> refusal_;  // the reply frame, the same for all
  std::vector<std::uint8_t> discard_;  // what they send is read and dropped
};

}  // namespace accountd
