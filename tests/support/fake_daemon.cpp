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
#include <span>

#include "common/bytes.hpp"
#include "daemon_protocol.hpp"
#include "frame.hpp"
#include "pipe.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/endpoint.hpp"
#include "tavrin_account/protocol.hpp"
#include "test_command.hpp"
#include "unix_socket.hpp"

extern char** environ;

namespace test_support {
namespace {

constexpr int WAIT_MS = 10'000;

std::string response_body(bool success, const nlohmann::json& value) {
  std::vector<std::uint8_t> body;
  if (!accountd::write_response(body, success, value)) std::abort();
  return {body.begin(), body.end()};
}

// Waits until the descriptor is readable, the stop pipe is, or time runs out.
bool wait_readable(int fd, int stop_fd) {
  std::array<pollfd, 2> fds{{{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}}};
  while (true) {
    const int ready = ::poll(fds.data(), fds.size(), WAIT_MS);
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

// A frame the client sent, or nothing when it hung up (or time ran out) first.
std::optional<RecordedFrame> read_frame(int fd, int stop_fd) {
  std::array<std::uint8_t, 4> prefix{};
  if (!read_exact(fd, stop_fd, prefix.data(), prefix.size())) return std::nullopt;
  RecordedFrame frame{.length = tavrin_account::decode_frame_length(prefix.data()), .body = {}};
  if (frame.length > tavrin_account::MAX_MESSAGE_LENGTH) return std::nullopt;
  frame.body.resize(frame.length);
  if (!read_exact(fd, stop_fd, reinterpret_cast<std::uint8_t*>(frame.body.data()), frame.length)) return std::nullopt;
  return frame;
}

// A listening socket under a name of its own: a socket file in a fresh
// directory, or an abstract name.
common::UniqueFd listen_on_fresh_socket(FakeDaemon::Namespace where, std::string& uri, std::string& directory) {
  tavrin_account::EndpointAddress endpoint;
  if (where == FakeDaemon::Namespace::Path) {
    directory = make_temp_directory("fake-accountd");
    endpoint = {tavrin_account::EndpointAddress::Kind::Pathname, directory + "/accountd.sock"};
    uri = "unix://" + endpoint.bytes;
  } else {
    endpoint = {tavrin_account::EndpointAddress::Kind::Abstract,
                "fake-accountd-" + std::to_string(::getpid()) + "-" + std::to_string(next_name++)};
    uri = "unix://@" + endpoint.bytes;
  }
  common::UniqueFd listener = listening_socket(endpoint, 16);
  if (!listener.valid()) std::abort();
  return listener;
}

// Writing to the pipe wakes the serving thread wherever it waits.
void make_stop_pipe(common::UniqueFd& read_end, common::UniqueFd& write_end) {
  Pipe stop = make_pipe();
  read_end = std::move(stop.read);
  write_end = std::move(stop.write);
}

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
  return answer(response_body(false, accountd::error_to_json(error)));
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
  listener_ = listen_on_fresh_socket(where, uri_, directory_);
  make_stop_pipe(stop_read_, stop_write_);
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
        auto frame = read_frame(fd, stop_read_.get());
        if (!frame) return;
        const std::lock_guard lock(mutex_);
        frames_.push_back(std::move(*frame));
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

SecretKeepingDaemon::SecretKeepingDaemon(const std::vector<tavrin_account::Secret>& secrets, FaultPlan plan,
                                         Clients clients)
    : plan_(plan), clients_(clients), sent_(clients.count, 0), hung_up_(clients.count, false) {
  for (const auto& secret : secrets) secrets_.insert_or_assign(secret.name, secret);
  listener_ = listen_on_fresh_socket(FakeDaemon::Namespace::Path, uri_, directory_);
  make_stop_pipe(stop_read_, stop_write_);
  thread_ = std::thread([this] { serve(); });
}

SecretKeepingDaemon::~SecretKeepingDaemon() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (::write(stop_write_.get(), "x", 1) < 0) std::abort();
  (void)finish();
  std::filesystem::remove_all(directory_);
}

bool SecretKeepingDaemon::wait_for_requests(std::size_t count) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(WAIT_MS), [&] { return frames_.size() >= count; });
}

void SecretKeepingDaemon::release() {
  {
    const std::lock_guard lock(mutex_);
    released_ = true;
  }
  changed_.notify_all();
}

std::vector<RecordedFrame> SecretKeepingDaemon::finish() {
  if (thread_.joinable()) thread_.join();
  for (auto& serving : serving_) {
    if (serving.joinable()) serving.join();
  }
  const std::lock_guard lock(mutex_);
  return frames_;
}

std::optional<tavrin_account::Secret> SecretKeepingDaemon::secret(const std::string& name) {
  const std::lock_guard lock(mutex_);
  const auto found = secrets_.find(name);
  if (found == secrets_.end()) return std::nullopt;
  return found->second;
}

void SecretKeepingDaemon::serve() {
  for (std::size_t client = 0; client < clients_.count; ++client) {
    if (!wait_readable(listener_.get(), stop_read_.get())) break;
    common::UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection.valid()) break;
    serving_.emplace_back(
        [this, client, fd = std::move(connection)]() mutable { serve_client(std::move(fd), client); });
  }
}

void SecretKeepingDaemon::serve_client(common::UniqueFd connection, std::size_t client) {
  for (std::size_t number = 1;; ++number) {
    auto frame = read_frame(connection.get(), stop_read_.get());
    if (!frame) break;
    const std::string body = frame->body;
    {
      const std::lock_guard lock(mutex_);
      frames_.push_back(std::move(*frame));
      sent_[client] = number;
    }
    changed_.notify_all();
    if (!handle(connection.get(), body, client, number)) break;
  }
  {
    const std::lock_guard lock(mutex_);
    hung_up_[client] = true;
  }
  changed_.notify_all();
}

void SecretKeepingDaemon::wait_for_the_others(std::size_t client, std::size_t number) {
  std::unique_lock lock(mutex_);
  (void)changed_.wait_for(lock, INTERLEAVE_WAIT, [&] {
    for (std::size_t other = 0; other < clients_.count; ++other) {
      if (other != client && !hung_up_[other] && sent_[other] < number) return stopping_;
    }
    return true;
  });
}

// Bounded well beyond any grace a client gives a daemon that keeps silent.
void SecretKeepingDaemon::hold_until_hangup(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(3 * WAIT_MS);
  std::array<char, 256> sink{};
  while (std::chrono::steady_clock::now() < deadline) {
    std::array<pollfd, 2> fds{{{fd, POLLIN, 0}, {stop_read_.get(), POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
    if (fds[0].revents != 0 && ::recv(fd, sink.data(), sink.size(), 0) <= 0) return;
  }
}

bool SecretKeepingDaemon::handle(int fd, const std::string& body, std::size_t client, std::size_t number) {
  const bool first_client = client == 0;
  const bool planned = first_client && number == plan_.request;
  if (planned && plan_.delayed) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::milliseconds(WAIT_MS), [&] { return released_ || stopping_; }) ||
        stopping_) {
      return false;
    }
  }
  if (clients_.interleaved) wait_for_the_others(client, number);
  Fault fault = planned ? plan_.fault : Fault::None;
  if (first_client && number == plan_.then_request) fault = plan_.then_fault;
  const auto refusal = accountd::error_to_json(tavrin_account::Error::permission_denied());
  if (fault == Fault::Close) return false;
  if (fault == Fault::Silent) {
    hold_until_hangup(fd);
    return false;
  }
  if (fault == Fault::Garbage) {
    send_all(fd, frame_of("garbage"));
    return true;
  }
  if (fault == Fault::Error) {
    send_all(fd, frame_of(response_body(false, refusal)));
    return true;
  }

  std::string reply;
  const auto bytes = common::bytes_of(body);
  const auto request = accountd::decode_request(bytes);
  if (!request) std::abort();  // the client under test sends only well-formed requests
  if (request->method == tavrin_account::GET_SECRET_METHOD) {
    const auto params = accountd::get_secret_params(request->params);
    if (!params) std::abort();
    const std::lock_guard lock(mutex_);
    const auto found = secrets_.find(params->name);
    reply = found == secrets_.end()
                ? response_body(false, accountd::error_to_json(tavrin_account::Error::no_such_secret()))
                : response_body(true, tavrin_account::secret_to_json(found->second));
  } else if (request->method == tavrin_account::SET_SECRET_METHOD) {
    auto params = accountd::set_secret_params(request->params);
    if (!params) std::abort();
    const std::lock_guard lock(mutex_);
    secrets_.insert_or_assign(params->secret.name, std::move(params->secret));
    reply = response_body(true, nullptr);
  } else {
    reply = response_body(false, accountd::error_to_json(tavrin_account::Error::not_implemented(request->method)));
  }

  if (fault == Fault::AppliedThenClose) return false;
  if (fault == Fault::AppliedThenError) {
    reply = response_body(false, refusal);
  }
  send_all(fd, frame_of(reply));
  return true;
}

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
