#include "scripted_daemon.hpp"

#include <sys/socket.h>

#include <array>
#include <cstdlib>
#include <filesystem>

#include "daemon_protocol.hpp"
#include "pipe.hpp"
#include "tavrin_account/protocol.hpp"

namespace test_support {

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

}  // namespace test_support
