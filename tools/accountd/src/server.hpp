#pragma once

#include <functional>
#include <string_view>

#include "listener.hpp"
#include "secret_store.hpp"

namespace accountd {

// Serves every client of the listener from one thread until `stop_fd`
// becomes readable (a signalfd for SIGTERM and SIGINT). A client that is slow,
// silent or half way through a frame waits on its own; a broken one is
// dropped. `log` receives one line per request and per dropped client.
void serve(const Listener& listener, int stop_fd, SecretStore& store, const std::function<void(std::string_view)>& log);

}  // namespace accountd
