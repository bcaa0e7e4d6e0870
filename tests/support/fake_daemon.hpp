#pragma once

// Account daemons for tests: a scripted fake that records what a client sends
// and answers (or misbehaves) exactly as told, and a runner for the real
// development daemon.

#include <sys/types.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/unique_fd.hpp"
#include "tavrin_account/error.hpp"
#include "tavrin_account/secrets.hpp"

namespace test_support {

// One request frame as the fake daemon read it.
struct RecordedFrame {
  std::uint32_t length = 0;  // from the prefix
  std::string body;
};

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
  enum class Namespace : std::uint8_t { Path, Abstract };

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

// What the secret-keeping daemon does to its planned request instead of
// answering it as a daemon should.
enum class Fault : std::uint8_t {
  None,
  Error,             // answers PermissionDenied; a write is not applied
  Close,             // hangs up without an answer; a write is not applied
  Garbage,           // answers a frame that is not a reply; a write is not applied
  AppliedThenError,  // applies a write, then answers PermissionDenied
  AppliedThenClose,  // applies a write, then hangs up
  Silent,            // never answers, and holds the connection until the client hangs up
};

// What goes wrong on the first client's connection.
struct FaultPlan {
  std::size_t request = 0;  // which request (1 for the first); 0 for none
  Fault fault = Fault::None;
  // The planned request's answer (or fault) waits for release(), so the
  // client can be disturbed while it waits.
  bool delayed = false;
  // A later request that goes wrong too, at once.
  std::size_t then_request = 0;
  Fault then_fault = Fault::None;
};

// How many clients are served at once, each on a connection of its own over
// the same secrets. Interleaved, each request is answered only once every
// other client has sent as many (or has hung up), or INTERLEAVE_WAIT has
// passed: so two clients that run side by side read before either writes.
struct Clients {
  std::size_t count = 1;
  bool interleaved = false;
};
inline constexpr std::chrono::milliseconds INTERLEAVE_WAIT{1000};

// A daemon that keeps one user's secrets by name, answers GetSecret and
// SetSecret from them, and misbehaves at the planned requests. Every wait is
// bounded.
class SecretKeepingDaemon {
 public:
  SecretKeepingDaemon(const std::vector<tavrin_account::Secret>& secrets, FaultPlan plan, Clients clients = {});
  SecretKeepingDaemon(const SecretKeepingDaemon&) = delete;
  SecretKeepingDaemon& operator=(const SecretKeepingDaemon&) = delete;
  ~SecretKeepingDaemon();

  [[nodiscard]] const std::string& uri() const { return uri_; }
  // Waits until `count` requests have been read, from all clients together;
  // false if they do not come.
  [[nodiscard]] bool wait_for_requests(std::size_t count);
  // Lets a delayed answer go.
  void release();
  // Waits for the clients to hang up; the frames they sent, in the order
  // they came.
  std::vector<RecordedFrame> finish();
  // The secret as the daemon now keeps it.
  [[nodiscard]] std::optional<tavrin_account::Secret> secret(const std::string& name);

 private:
  void serve();
  void serve_client(common::UniqueFd connection, std::size_t client);
  // False when the connection is to end.
  bool handle(int fd, const std::string& body, std::size_t client, std::size_t number);
  void wait_for_the_others(std::size_t client, std::size_t number);
  void hold_until_hangup(int fd);

  FaultPlan plan_;
  Clients clients_;
  std::string uri_;
  std::string directory_;
  common::UniqueFd listener_;
  common::UniqueFd stop_read_;
  common::UniqueFd stop_write_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool released_ = false;
  bool stopping_ = false;
  std::map<std::string, tavrin_account::Secret> secrets_;
  std::vector<RecordedFrame> frames_;
  std::vector<std::size_t> sent_;     // by client: requests read so far
  std::vector<bool> hung_up_;         // by client
  std::vector<std::thread> serving_;  // one per client, started by thread_
  std::thread thread_;
};

// The development daemon, started on a path socket in a temp directory with
// a store of its own (or a given one), ready when the constructor returns.
class RunningAccountd {
 public:
  // `store`: a database path, or nullopt for --memory. `uri`: where to listen;
  // empty for a fresh path socket. `more_args` follow the others.
  RunningAccountd(std::string binary, std::optional<std::string> store, std::string uri = {},
                  const std::vector<std::string>& more_args = {});
  RunningAccountd(const RunningAccountd&) = delete;
  RunningAccountd& operator=(const RunningAccountd&) = delete;
  ~RunningAccountd();

  [[nodiscard]] const std::string& uri() const { return uri_; }
  [[nodiscard]] const std::string& socket_path() const { return socket_path_; }
  [[nodiscard]] bool ready() const { return ready_; }
  [[nodiscard]] pid_t pid() const { return pid_; }
  // Sends the signal and waits; the exit status, or -1 when it did not exit
  // normally.
  int stop(int signal_number);
  // Everything written to standard error so far.
  [[nodiscard]] std::string log();

 private:
  std::string uri_;
  std::string socket_path_;
  std::string directory_;
  pid_t pid_ = -1;
  bool ready_ = false;
  std::mutex mutex_;
  std::string log_;
  std::thread reader_;
};

// A fresh temp directory (mkdtemp) under /tmp.
std::string make_temp_directory(const std::string& prefix);

}  // namespace test_support
