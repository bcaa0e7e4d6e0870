#include "fake_daemon.hpp"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <future>

#include "tavrin_account/connection.hpp"
#include "tavrin_account/endpoint.hpp"
#include "tavrin_account/protocol.hpp"
#include "test_command.hpp"

extern char** environ;

namespace test_support {
namespace {

constexpr int kWaitMs = 10'000;

std::string frame_of(std::string_view body) {
  std::string out(4, '\0');
  tavrin_account::encode_frame_length(static_cast<std::uint32_t>(body.size()),
                                      reinterpret_cast<std::uint8_t*>(out.data()));
  out += body;
  return out;
}

std::string response_body(bool success, const nlohmann::json& value) {
  std::vector<std::uint8_t> body;
  if (!tavrin_account::write_response(body, success, value)) std::abort();
  return {body.begin(), body.end()};
}

// Waits until the descriptor is readable, the stop pipe is, or time runs out.
bool wait_readable(int fd, int stop_fd) {
  std::array<pollfd, 2> fds{{{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}}};
  while (true) {
    const int ready = ::poll(fds.data(), fds.size(), kWaitMs);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0 && fds[1].revents == 0;
  }
}

bool read_exact(int fd, int stop_fd, std::uint8_t* into, std::size_t size) {
  while (size > 0) {
    if (!wait_readable(fd, stop_fd)) return false;
    const ssize_t n = ::recv(fd, into, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    into += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Unread bytes stay counted against the sender until the peer takes them.
void wait_until_taken(int fd) {
  for (int i = 0; i < 10'000; ++i) {
    int queued = 0;
    if (::ioctl(fd, SIOCOUTQ, &queued) != 0 || queued == 0) return;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

std::atomic<unsigned> next_name{0};

}  // namespace

std::string make_temp_directory(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

FakeScript& FakeScript::expect_request() {
  steps_.push_back({Step::Kind::Expect, {}});
  return *this;
}

FakeScript& FakeScript::send_raw(std::string bytes) {
  steps_.push_back({Step::Kind::Send, std::move(bytes)});
  return *this;
}

FakeScript& FakeScript::send_frame(std::string body) { return send_raw(frame_of(body)); }

FakeScript& FakeScript::send_in_pieces(std::string bytes) {
  steps_.push_back({Step::Kind::SendInPieces, std::move(bytes)});
  return *this;
}

FakeScript& FakeScript::close() {
  steps_.push_back({Step::Kind::Close, {}});
  return *this;
}

FakeScript& FakeScript::wait_for_hangup() {
  steps_.push_back({Step::Kind::WaitForHangup, {}});
  return *this;
}

FakeScript& FakeScript::answer_success(const nlohmann::json& value) { return answer(response_body(true, value)); }

FakeScript& FakeScript::answer_secret(const tavrin_account::Secret& secret) {
  return answer_success(tavrin_account::secret_to_json(secret));
}

FakeScript& FakeScript::answer_error(const tavrin_account::Error& error) {
  return answer(response_body(false, tavrin_account::error_to_json(error)));
}

FakeScript& FakeScript::announce_oversize_reply() {
  std::string prefix(4, '\0');
  tavrin_account::encode_frame_length(tavrin_account::MAX_MESSAGE_LENGTH + 1,
                                      reinterpret_cast<std::uint8_t*>(prefix.data()));
  return expect_request().send_raw(prefix).wait_for_hangup();
}

FakeScript& FakeScript::answer_nested_brackets(std::size_t depth) {
  return answer(R"({"success":true,"value":)" + std::string(depth, '['));
}

FakeDaemon::FakeDaemon(std::vector<FakeScript> scripts, Namespace where) {
  tavrin_account::EndpointAddress endpoint;
  if (where == Namespace::Path) {
    directory_ = make_temp_directory("fake-accountd");
    endpoint = {tavrin_account::EndpointAddress::Kind::Pathname, directory_ + "/accountd.sock"};
    uri_ = "unix://" + endpoint.bytes;
  } else {
    endpoint = {tavrin_account::EndpointAddress::Kind::Abstract,
                "fake-accountd-" + std::to_string(::getpid()) + "-" + std::to_string(next_name++)};
    uri_ = "unix://@" + endpoint.bytes;
  }
  const auto address = tavrin_account::make_socket_address(endpoint);
  listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!address || !listener_.valid() || ::bind(listener_.get(), address->get(), address->length) != 0 ||
      ::listen(listener_.get(), 16) != 0) {
    std::abort();
  }
  std::array<int, 2> pipe_fds{};
  if (::pipe2(pipe_fds.data(), O_CLOEXEC) != 0) std::abort();
  stop_read_.reset(pipe_fds[0]);
  stop_write_.reset(pipe_fds[1]);
  thread_ = std::thread([this, scripts = std::move(scripts)]() mutable { serve(std::move(scripts)); });
}

FakeDaemon::~FakeDaemon() {
  // Wakes the serving thread wherever it waits.
  if (::write(stop_write_.get(), "x", 1) < 0) std::abort();
  if (thread_.joinable()) thread_.join();
  if (!directory_.empty()) std::filesystem::remove_all(directory_);
}

std::vector<RecordedFrame> FakeDaemon::finish() {
  if (thread_.joinable()) thread_.join();
  const std::lock_guard lock(mutex_);
  return frames_;
}

void FakeDaemon::serve(std::vector<FakeScript> scripts) {
  for (const FakeScript& script : scripts) {
    if (!wait_readable(listener_.get(), stop_read_.get())) return;
    const common::UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection.valid()) return;
    run_script(connection.get(), script);
  }
}

void FakeDaemon::run_script(int fd, const FakeScript& script) {
  for (const auto& step : script.steps()) {
    switch (step.kind) {
      case FakeScript::Step::Kind::Expect: {
        std::array<std::uint8_t, 4> prefix{};
        if (!read_exact(fd, stop_read_.get(), prefix.data(), prefix.size())) return;
        RecordedFrame frame{.length = tavrin_account::decode_frame_length(prefix.data()), .body = {}};
        if (frame.length > tavrin_account::MAX_MESSAGE_LENGTH) return;
        frame.body.resize(frame.length);
        if (!read_exact(fd, stop_read_.get(), reinterpret_cast<std::uint8_t*>(frame.body.data()), frame.length)) {
          return;
        }
        const std::lock_guard lock(mutex_);
        frames_.push_back(std::move(frame));
        break;
      }
      case FakeScript::Step::Kind::Send: send_all(fd, step.bytes); break;
      case FakeScript::Step::Kind::SendInPieces:
        for (const char byte : step.bytes) {
          send_all(fd, std::string_view(&byte, 1));
          wait_until_taken(fd);
        }
        break;
      case FakeScript::Step::Kind::Close: return;
      case FakeScript::Step::Kind::WaitForHangup: {
        std::array<char, 256> sink{};
        while (wait_readable(fd, stop_read_.get()) && ::recv(fd, sink.data(), sink.size(), 0) > 0) {
        }
        return;
      }
    }
  }
}

RunningAccountd::RunningAccountd(std::string binary, std::optional<std::string> store, std::string uri) {
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
