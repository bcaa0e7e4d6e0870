#include "secret_keeping_daemon.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cstdlib>
#include <filesystem>

#include "common/bytes.hpp"
#include "daemon_protocol.hpp"
#include "pipe.hpp"
#include "tavrin_account/protocol.hpp"
#include "unix_socket.hpp"

namespace test_support {

SecretKeepingDaemon::SecretKeepingDaemon(const std::vector<tavrin_account::Secret>& secrets, FaultPlan plan,
                                         Clients clients)
    : plan_(plan), clients_(clients), sent_(clients.count, 0), hung_up_(clients.count, false) {
  for (const auto& secret : secrets) secrets_.insert_or_assign(secret.name, secret);
  listener_ = listen_on_fresh_socket(SocketNamespace::Path, uri_, directory_);
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

}  // namespace test_support
