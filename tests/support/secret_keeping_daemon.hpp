#pragma once

// An account daemon that keeps one user's secrets and answers GetSecret and
// SetSecret from them as accountd does, except at the requests where it is
// told to go wrong.

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

#include "common/unique_fd.hpp"
#include "frame.hpp"
#include "tavrin_account/secrets.hpp"

namespace test_support {

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

}  // namespace test_support
