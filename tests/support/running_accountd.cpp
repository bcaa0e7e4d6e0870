#include "running_accountd.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>

#include "common/unique_fd.hpp"
#include "test_command.hpp"

extern char** environ;

namespace test_support {

RunningAccountd::RunningAccountd(std::string binary, std::optional<std::string> store, std::string uri,
                                 const std::vector<std::string>& more_args) {
  directory_ = make_temp_directory("accountd-test");
  if (uri.empty()) {
    socket_path_ = directory_ + "/accountd.sock";
    uri = "unix://" + socket_path_;
  }
  uri_ = std::move(uri);
  std::vector<std::string> args = command_words(binary);
  args.insert(args.end(), {"--endpoint", uri_});
  if (store) {
    args.insert(args.end(), {"--store", *store});
  } else {
    args.emplace_back("--memory");
  }
  args.insert(args.end(), more_args.begin(), more_args.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  std::array<int, 2> err{};
  if (::pipe2(err.data(), O_CLOEXEC) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  const int spawned = ::posix_spawn(&pid_, args.front().c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(err[1]);
  common::UniqueFd err_read(err[0]);
  if (spawned != 0) {
    pid_ = -1;
    return;
  }
  // Drain standard error for the daemon's whole life; the constructor waits
  // for the line that says it accepts connections.
  std::promise<bool> listening;
  auto ready = listening.get_future();
  reader_ = std::thread([this, fd = std::move(err_read), listening = std::move(listening)]() mutable {
    bool told = false;
    std::array<char, 4096> chunk{};
    while (true) {
      const ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      const std::lock_guard lock(mutex_);
      log_.append(chunk.data(), static_cast<std::size_t>(n));
      if (!told && log_.find("accountd: listening on ") != std::string::npos) {
        listening.set_value(true);
        told = true;
      }
    }
    if (!told) listening.set_value(false);
  });
  ready_ = ready.wait_for(std::chrono::seconds(20)) == std::future_status::ready && ready.get();
}

RunningAccountd::~RunningAccountd() {
  // Asked to stop first, so that a wrapper such as valgrind can finish its
  // report; killed if it does not.
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (::waitpid(pid_, &status, WNOHANG) == 0) (void)stop(SIGKILL);
    pid_ = -1;
  }
  if (reader_.joinable()) reader_.join();
  std::filesystem::remove_all(directory_);
}

int RunningAccountd::stop(int signal_number) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal_number);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (reader_.joinable()) reader_.join();
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string RunningAccountd::log() {
  const std::lock_guard lock(mutex_);
  return log_;
}

}  // namespace test_support
