#pragma once

// The wire as the stand-in daemons speak it: frames, reply bodies, and reads
// and writes that give up after WAIT_MS or when a stop pipe is written.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace test_support {

// One request frame as a stand-in daemon read it.
struct RecordedFrame {
  std::uint32_t length = 0;  // from the prefix
  std::string body;
};

// How long a stand-in daemon waits for its client's next bytes.
inline constexpr int WAIT_MS = 10'000;

// The body with the wire's four-byte length in front, as a client or daemon
// sends it.
[[nodiscard]] std::string frame_of(std::string_view body);
// A daemon's reply body: success and the value, or failure and the error.
[[nodiscard]] std::string response_body(bool success, const nlohmann::json& value);

// Waits until the descriptor is readable, the stop pipe is, or time runs out.
[[nodiscard]] bool wait_readable(int fd, int stop_fd);
// A frame the client sent, or nothing when it hung up (or time ran out) first.
[[nodiscard]] std::optional<RecordedFrame> read_frame(int fd, int stop_fd);
void send_all(int fd, std::string_view bytes);
// Waits until the peer has taken every byte sent so far.
void wait_until_taken(int fd);

}  // namespace test_support
