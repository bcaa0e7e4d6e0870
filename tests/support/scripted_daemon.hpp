#pragma once

// A scripted account daemon: it records what a client sends and answers (or
// misbehaves) byte for byte as told, one script per connection.

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/unique_fd.hpp"
#include "frame.hpp"
#include "tavrin_account/error.hpp"
#include "tavrin_account/secrets.hpp"
#include "unix_socket.hpp"

namespace test_support {

// What the fake daemon does on one connection, step by step. When the steps
// run out it closes the connection.
class FakeScript {
 public:
  // Reads one frame (prefix and body) and records it; if the client hangs up
  // instead, the script ends there.
  FakeScript& expect_request();
  // Sends the bytes as they are.
  FakeScript& send_raw(std::string bytes);
  // Sends a frame: the little-endian length, then the body.
  FakeScript& send_frame(std::string body);
  // Sends the bytes one at a time, each after the client has taken the last.
  FakeScript& send_in_pieces(std::string bytes);
  FakeScript& close();
  // Holds the connection open until the client hangs up.
  FakeScript& wait_for_hangup();

  // A request and its reply.
  FakeScript& answer(std::string body) { return expect_request().send_frame(std::move(body)); }
  FakeScript& answer_success(const nlohmann::json& value);
  FakeScript& answer_secret(const tavrin_account::Secret& secret);
  FakeScript& answer_null() { return answer_success(nullptr); }
  FakeScript& answer_error(const tavrin_account::Error& error);

  // Misbehaviours, each after reading the request.
  FakeScript& close_after_request() { return expect_request().close(); }
  FakeScript& half_prefix_then_close() { return expect_request().send_raw(std::string("\x05\x00", 2)).close(); }
  FakeScript& announce_oversize_reply();  // a prefix of 131073, then nothing
  FakeScript& answer_garbage() { return answer("garbage"); }
  // A success reply whose value opens `depth` arrays and never closes them.
  FakeScript& answer_nested_brackets(std::size_t depth);

  struct Step {
    enum class Kind : std::uint8_t { Expect, Send, SendInPieces, Close, WaitForHangup };
    Kind kind;
    std::string bytes;
  };
  [[nodiscard]] const std::vector<Step>& steps() const { return steps_; }

 private:
  std::vector<Step> steps_;
};

// Listens on a fresh socket and serves its i-th connection with the i-th
// script, in a background thread. Every wait is bounded, so a client that
// never comes does not hang the test.
class FakeDaemon {
 public:
  using Namespace = SocketNamespace;

  explicit FakeDaemon(std::vector<FakeScript> scripts, Namespace where = Namespace::Path);
  FakeDaemon(const FakeDaemon&) = delete;
  FakeDaemon& operator=(const FakeDaemon&) = delete;
  ~FakeDaemon();

  // The value for ACCOUNT_IPC_URI.
  [[nodiscard]] const std::string& uri() const { return uri_; }
  // Waits for every script to finish; the frames of all connections, in order.
  std::vector<RecordedFrame> finish();

 private:
  void serve(std::vector<FakeScript> scripts);
  void run_script(int fd, const FakeScript& script);

  std::string uri_;
  std::string directory_;  // of a path socket, removed at the end
  common::UniqueFd listener_;
  common::UniqueFd stop_read_;
  common::UniqueFd stop_write_;
  std::mutex mutex_;
  std::vector<RecordedFrame> frames_;
  std::thread thread_;
};

}  // namespace test_support
