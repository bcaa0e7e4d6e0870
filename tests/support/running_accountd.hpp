#pragma once

#include <sys/types.h>

#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "temp_directory.hpp"

namespace test_support {

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

}  // namespace test_support
