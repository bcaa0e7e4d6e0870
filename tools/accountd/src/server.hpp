#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

#include "listener.hpp"
#include "secret_store.hpp"

namespace accountd {

// A client that sends nothing for this long is closed, so that connections
// left open by nobody cannot keep the slots from those who need them.
inline constexpr std::chrono::milliseconds IDLE_TIMEOUT{30'000};
// A request must arrive whole this long after its first byte, so that a
// client trickling bytes cannot hold a slot however often it sends one.
inline constexpr std::chrono::milliseconds REQUEST_TIMEOUT{5'000};
// Client slots, and how many of them one user may hold; the last
// SLOTS_PER_USER are root's alone, so root always finds one free.
inline constexpr std::size_t MAX_CLIENTS = 512;
inline constexpr std::size_t SLOTS_PER_USER = 64;

struct ServeSettings {
  // Served besides root and the daemon's own effective uid.
  std::vector<uid_t> allowed_uids;
  std::chrono::milliseconds idle_timeout = IDLE_TIMEOUT;
  std::chrono::milliseconds request_timeout = REQUEST_TIMEOUT;
};

// Serves every client of the listener from one thread until `stop_fd`
// becomes readable (a signalfd for SIGTERM and SIGINT). A client that is slow
// or half way through a frame waits on its own, until it has been silent for
// the idle timeout or its frame has taken the request timeout; a broken one
// is dropped. Clients take turns, one request each, and a connection beyond
// its user's share of the slots is closed as it is accepted. A client of a
// user not allowed gets PermissionDenied for its first request and is
// closed, within a second of connecting either way, and never takes a served
// client's slot. `log` receives one line per request served; lines about
// refused clients, unreadable requests and dropped clients are rationed per
// user and second.
void serve(const Listener& listener, int stop_fd, SecretStore& store, std::function<void(std::string_view)> log,
           const ServeSettings& settings = {});

}  // namespace accountd
