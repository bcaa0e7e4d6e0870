#include <gtest/gtest.h>
#include <sys/socket.h>

#include <unistd.h>

#include <array>
#include <chrono>
#include <optional>
#include <thread>

#include "tavrin_account/connection.hpp"

namespace tavrin_account {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Pair {
  AccountConnection client;
  common::UniqueFd peer;
};

Pair make_pair() {
  std::array<int, 2> fds{};
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds.data()), 0);
  return Pair{AccountConnection(common::UniqueFd(fds[0])), common::UniqueFd(fds[1])};
}

Bytes frame(const Bytes& body, std::uint32_t announced) {
  Bytes out(4);
  encode_frame_length(announced, out.data());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes read_available(int fd, std::size_t at_most) {
  Bytes out(at_most);
  std::size_t got = 0;
  while (got < at_most) {
    const ssize_t n = ::recv(fd, out.data() + got, at_most - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return out;
}

TEST(Connection, StartsWithRoomForASmallMessage) {
  auto pair = make_pair();
  EXPECT_TRUE(pair.client.buffer().empty());
  EXPECT_GE(pair.client.buffer().capacity(), INITIAL_BUFFER_CAPACITY);
}

TEST(Connection, ExchangesFramesAtTheLimitsAndRefusesBeyondThem) {
  struct Case {
    std::size_t request_length;
    Bytes reply;        // raw bytes the peer sends after reading
    bool peer_closes;   // after sending the reply
    std::string error;  // empty: success
    Bytes expected_body;
  };
  const Bytes big_body(MAX_MESSAGE_LENGTH, 'x');
  const std::vector<Case> cases = {
      {3, frame({'o', 'k'}, 2), false, "", {'o', 'k'}},
      {0, frame({}, 0), false, "", {}},
      {MAX_MESSAGE_LENGTH, frame(big_body, MAX_MESSAGE_LENGTH), false, "", big_body},
      {1, frame({}, MAX_MESSAGE_LENGTH + 1), false, "file too large", {}},
      {1, {}, true, "failed to fill whole buffer", {}},
      {1, {0x05, 0x00}, true, "failed to fill whole buffer", {}},
      {1, frame({'a'}, 2), true, "failed to fill whole buffer", {}},
  };
  for (const auto& c : cases) {
    auto pair = make_pair();
    pair.client.buffer().assign(c.request_length, 'r');
    std::thread peer([&] {
      const Bytes got = read_available(pair.peer.get(), 4 + c.request_length);
      EXPECT_EQ(got, frame(Bytes(c.request_length, 'r'), static_cast<std::uint32_t>(c.request_length)));
      EXPECT_EQ(::send(pair.peer.get(), c.reply.data(), c.reply.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(c.reply.size()));
      if (c.peer_closes) pair.peer.reset();
    });
    const auto result = exchange_message(pair.client);
    peer.join();
    if (c.error.empty()) {
      ASSERT_TRUE(result.has_value()) << result.error().display();
      EXPECT_EQ(pair.client.buffer(), c.expected_body);
    } else {
      ASSERT_FALSE(result.has_value()) << c.request_length;
      EXPECT_EQ(result.error().display(), c.error);
    }
  }
}

TEST(Connection, AFailedExchangeIsNotFollowedByAStaleReply) {
  auto pair = make_pair();
  pair.client.buffer().assign(1, 'r');
  // A reply too large to read, then a well-formed one that must never be
  // taken as the answer to the next request.
  Bytes replies = frame({}, MAX_MESSAGE_LENGTH + 1);
  const Bytes stale = frame({'o', 'l', 'd'}, 3);
  replies.insert(replies.end(), stale.begin(), stale.end());
  ASSERT_EQ(::send(pair.peer.get(), replies.data(), replies.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(replies.size()));
  EXPECT_EQ(exchange_message(pair.client).error().kind(), common::ErrorKind::FileTooLarge);
  EXPECT_TRUE(pair.client.out_of_step());
  pair.client.buffer().assign(1, 'r');
  const auto next = exchange_message(pair.client);
  ASSERT_FALSE(next.has_value());
  EXPECT_EQ(next.error().kind(), common::ErrorKind::NotConnected);
  EXPECT_EQ(next.error().display(), "connection is out of step after a failed exchange");
}

TEST(Connection, OversizeRequestIsRefusedBeforeAnythingIsSent) {
  auto pair = make_pair();
  pair.client.buffer().assign(MAX_MESSAGE_LENGTH + 1, 'x');
  const auto result = exchange_message(pair.client);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), common::ErrorKind::FileTooLarge);
  EXPECT_EQ(result.error().display(), "file too large");
  std::array<std::uint8_t, 1> probe{};
  EXPECT_EQ(::recv(pair.peer.get(), probe.data(), probe.size(), MSG_DONTWAIT), -1);
  EXPECT_EQ(errno, EAGAIN);
  // Nothing went out, so the conversation is still in step.
  EXPECT_FALSE(pair.client.out_of_step());
}

TEST(Connection, PeerGoneBeforeTheRequestIsABrokenPipeNotASignal) {
  auto pair = make_pair();
  pair.peer.reset();
  pair.client.buffer().assign(10, 'x');
  const auto result = exchange_message(pair.client);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), common::ErrorKind::BrokenPipe);
  EXPECT_EQ(result.error().os_code(), EPIPE);
}

TEST(Connection, AWatchedStopBoundsTheWaitForTheReplyAndNothingElse) {
  using std::chrono::milliseconds;
  struct Case {
    std::string name;
    bool stop_asked;
    std::optional<milliseconds> reply_after;  // nullopt: the peer never answers
    bool answered;
  };
  const milliseconds grace{300};
  const std::vector<Case> cases = {
      {"no stop: a late reply is still awaited", false, grace * 2, true},
      {"stop: a reply within the grace is taken", true, milliseconds{20}, true},
      {"stop: no reply, the wait ends with the grace", true, std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto pair = make_pair();
    std::array<int, 2> stop{};
    ASSERT_EQ(::pipe(stop.data()), 0);
    const common::UniqueFd stop_read(stop[0]);
    const common::UniqueFd stop_write(stop[1]);
    if (c.stop_asked) {
      ASSERT_EQ(::write(stop_write.get(), "x", 1), 1);
    }
    pair.client.watch_stop(stop_read.get(), grace);
    pair.client.buffer().assign(2, 'r');
    std::thread peer([&] {
      (void)read_available(pair.peer.get(), 6);
      if (!c.reply_after) return;
      std::this_thread::sleep_for(*c.reply_after);
      const Bytes reply = frame({'o', 'k'}, 2);
      (void)::send(pair.peer.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
    });
    const auto started = std::chrono::steady_clock::now();
    const auto result = exchange_message(pair.client);
    const auto waited = std::chrono::steady_clock::now() - started;
    peer.join();
    EXPECT_EQ(result.has_value(), c.answered);
    EXPECT_EQ(pair.client.gave_up_after_stop(), !c.answered);
    if (!c.answered) {
      EXPECT_EQ(result.error().kind(), common::ErrorKind::TimedOut);
      EXPECT_TRUE(pair.client.out_of_step());
      EXPECT_GE(waited, grace);
      EXPECT_LT(waited, grace * 10);
    }
  }
}

TEST(Connection, FrameLengthIsLittleEndian) {
  std::array<std::uint8_t, 4> prefix{};
  encode_frame_length(135, prefix.data());
  EXPECT_EQ(prefix, (std::array<std::uint8_t, 4>{0x87, 0, 0, 0}));
  encode_frame_length(0x01020304, prefix.data());
  EXPECT_EQ(prefix, (std::array<std::uint8_t, 4>{4, 3, 2, 1}));
  EXPECT_EQ(decode_frame_length(prefix.data()), 0x01020304U);
}

}  // namespace
}  // namespace tavrin_account
