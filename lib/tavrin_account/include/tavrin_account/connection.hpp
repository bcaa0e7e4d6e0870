#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "common/io_error.hpp"
#include "common/unique_fd.hpp"
#include "tavrin_account/endpoint.hpp"
#include "tavrin_account/stop_request_grace.hpp"

namespace tavrin_account {

// The largest message body either side may send.
inline constexpr std::size_t MAX_MESSAGE_LENGTH = 131072;
inline constexpr std::size_t FRAME_PREFIX_LENGTH = 4;
inline constexpr std::size_t INITIAL_BUFFER_CAPACITY = 512;

class AccountConnection;

// Sends the buffer as one frame and replaces it with the reply frame's body.
// A request too large to send leaves the connection usable; any later failure
// leaves it out of step, and every further exchange on it fails at once
// (NotConnected) instead of reading a stale reply. An exchange that gave up
// after a stop (see watch_stop) fails with TimedOut, and the connection is
// out of step.
[[nodiscard]] std::expected<void, common::IoError> exchange_message(AccountConnection& connection);

// One open connection to the account daemon. Its single buffer carries every
// request out and every reply in, so a conversation allocates only when a
// message outgrows what came before.
class AccountConnection {
 public:
  explicit AccountConnection(common::UniqueFd socket);

  AccountConnection(AccountConnection&&) noexcept = default;
  AccountConnection& operator=(AccountConnection&&) noexcept = default;
  AccountConnection(const AccountConnection&) = delete;
  AccountConnection& operator=(const AccountConnection&) = delete;
  ~AccountConnection() = default;

  // Holds the request body before an exchange and the reply body after it.
  [[nodiscard]] std::vector<std::uint8_t>& buffer() noexcept { return buffer_; }
  [[nodiscard]] const std::vector<std::uint8_t>& buffer() const noexcept { return buffer_; }
  [[nodiscard]] int socket() const noexcept { return socket_.get(); }
  // True once an exchange failed part way: a reply may be partly read or not
  // read at all, so the next reply on the stream would not be the answer to
  // the next request.
  [[nodiscard]] bool out_of_step() const noexcept { return out_of_step_; }

  // From now on every exchange also watches `stop_fd`: once it is readable,
  // what is still awaited from the daemon gets at most `grace` more, counted
  // over all later exchanges together.
  void watch_stop(int stop_fd, std::chrono::milliseconds grace) noexcept { stop_grace_.watch(stop_fd, grace); }
  // True once an exchange gave up waiting because of the stop: whatever it
  // sent may or may not have been acted on.
  [[nodiscard]] bool gave_up_after_stop() const noexcept { return stop_grace_.gave_up(); }

 private:
  friend std::expected<void, common::IoError> exchange_message(AccountConnection& connection);

  std::vector<std::uint8_t> buffer_;
  common::UniqueFd socket_;
  bool out_of_step_ = false;
  StopRequestGrace stop_grace_;
};

// Connects to the endpoint named by ACCOUNT_IPC_URI (or the default). The
// daemon must run as root or as this process's effective uid, or listen on a
// socket file that only its own uid (or root) could have put where it is;
// any other peer is PermissionDenied, and nothing was sent to it.
[[nodiscard]] std::expected<AccountConnection, common::IoError> connect_account_service();
[[nodiscard]] std::expected<AccountConnection, common::IoError> connect_to_endpoint(std::string_view uri);

// What the endpoint is, however it is written: for a socket file, the device
// and inode of the file the path leads to now (links, "." and ".." resolved
// as connect resolves them), which is what a connection made next reaches;
// for an abstract name, its bytes. The kind comes first.
[[nodiscard]] std::expected<std::string, common::IoError> endpoint_identity(const EndpointAddress& endpoint);

// The little-endian length prefix of a frame.
[[nodiscard]] std::uint32_t decode_frame_length(const std::uint8_t* prefix) noexcept;
void encode_frame_length(std::uint32_t length, std::uint8_t* prefix) noexcept;

}  // namespace tavrin_account
