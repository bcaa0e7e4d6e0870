#include "refused_clients.hpp"

#include <sys/socket.h>

#include <cerrno>

#include "common/invariant.hpp"
#include "daemon_protocol.hpp"
#include "tavrin_account/connection.hpp"

namespace accountd {
namespace {

using tavrin_account::FRAME_PREFIX_LENGTH;

constexpr std::size_t DISCARD_CHUNK = 65536;

}  // namespace

RefusedClients::RefusedClients() : discard_(DISCARD_CHUNK) {
  std::vector<std::uint8_t> body;
  if (!write_response(body, false, error_to_json(tavrin_account::Error::permission_denied()))) {
    common::invariant_broken("the fixed refusal reply could not be written");
  }
  refusal_.resize(FRAME_PREFIX_LENGTH);
  tavrin_account::encode_frame_length(static_cast<std::uint32_t>(body.size()), refusal_.data());
  refusal_.insert(refusal_.end(), body.begin(), body.end());
}

void RefusedClients::add(common::UniqueFd fd, std::string peer, Clock::time_point now, LogLimiter& log) {
  if (clients_.size() == MAX_REFUSED) {
    log.log(peer, peer + " refused: uid not allowed, too many refused clients -> closed", now);
    return;
  }
  clients_.push_back(Refused{.fd = std::move(fd), .peer = std::move(peer), .deadline = now + REFUSED_GRACE});
}

void RefusedClients::poll_entries(std::vector<pollfd>& polled) const {
  for (const Refused& client : clients_) polled.push_back({client.fd.get(), POLLIN, 0});
}

std::size_t RefusedClients::serve(std::span<const pollfd> polled, Clock::time_point now, LogLimiter& log) {
  auto entry = polled.begin();
  for (Refused& client : clients_) {
    if (entry == polled.end()) common::invariant_broken("fewer poll entries than refused clients");
    if ((entry++)->revents != 0) receive(client, now, log);
  }
  return clients_.remove_if([](const Refused& client) { return client.closed; });
}

// The request is counted, never kept nor decoded: nothing of it reaches the
// store or the log.
void RefusedClients::receive(Refused& client, Clock::time_point now, LogLimiter& log) {
  const ssize_t n = ::recv(client.fd.get(), discard_.data(), discard_.size(), MSG_DONTWAIT);
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (n <= 0) {
    client.closed = true;
    return;
  }
  const auto count = static_cast<std::size_t>(n);
  std::size_t used = 0;
  while (used < count && client.received < FRAME_PREFIX_LENGTH) client.prefix[client.received++] = discard_[used++];
  client.received += count - used;
  if (client.received < FRAME_PREFIX_LENGTH) return;
  const std::uint32_t length = tavrin_account::decode_frame_length(client.prefix.data());
  if (length > tavrin_account::MAX_MESSAGE_LENGTH) {
    log.log(client.peer, client.peer + " dropped: frame of " + std::to_string(length) + " bytes is too large", now);
    client.closed = true;
    return;
  }
  if (client.received < FRAME_PREFIX_LENGTH + length) return;
  // A fresh connection has room for a reply this small; if it has not, the
  // client goes without.
  (void)::send(client.fd.get(), refusal_.data(), refusal_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  log.log(client.peer, client.peer + " refused: uid not allowed -> PermissionDenied", now);
  client.closed = true;
}

std::size_t RefusedClients::close_expired(Clock::time_point now, LogLimiter& log) {
  std::size_t closed = 0;
  while (!clients_.empty() && clients_.front().deadline <= now) {
    const Refused& client = clients_.front();
    log.log(client.peer,
            client.peer + " refused: uid not allowed, no request within " + std::to_string(REFUSED_GRACE.count()) +
                " ms -> closed",
            now);
    clients_.pop_front();
    ++closed;
  }
  return closed;
}

bool RefusedClients::close_oldest(Clock::time_point now, LogLimiter& log) {
  if (clients_.empty()) return false;
  const Refused& client = clients_.front();
  log.log(client.peer, client.peer + " refused: uid not allowed, out of descriptors -> closed", now);
  clients_.pop_front();
  return true;
}

std::optional<RefusedClients::Clock::time_point> RefusedClients::next_deadline() const {
  if (clients_.empty()) return std::nullopt;
  return clients_.front().deadline;
}

}  // namespace accountd
