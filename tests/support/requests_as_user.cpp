#include "requests_as_user.hpp"

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>

#include "pipe.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/secrets.hpp"

namespace test_support {
namespace {

void write_text(int fd, const std::string& text) { (void)!::write(fd, text.data(), text.size()); }

}  // namespace

ChildAsUser::ChildAsUser(uid_t uid, const std::function<void(int report)>& body) {
  Pipe report = make_pipe();
  pid_ = ::fork();
  if (pid_ < 0) std::abort();
  if (pid_ == 0) {
    report.read.reset();
    if (uid != ::geteuid() && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)) {
      write_text(report.write.get(), "cannot run as uid " + std::to_string(uid) + " (needs root)");
    } else {
      body(report.write.get());
    }
    ::_exit(0);
  }
  report_ = std::move(report.read);
}

ChildAsUser::~ChildAsUser() {
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

bool ChildAsUser::read_more() {
  std::array<char, 4096> chunk{};
  pollfd polled{report_.get(), POLLIN, 0};
  const ssize_t n = ::poll(&polled, 1, 20'000) == 1 ? ::read(report_.get(), chunk.data(), chunk.size()) : -1;
  if (n <= 0) {
    report_.reset();
    return false;
  }
  read_.append(chunk.data(), static_cast<std::size_t>(n));
  return true;
}

std::string ChildAsUser::read_until(std::string_view marker) {
  while (report_.valid() && read_.find(marker) == std::string::npos && read_more()) {
  }
  return read_;
}

std::string ChildAsUser::finish() {
  while (report_.valid() && read_more()) {
  }
  if (!reaped_) ::waitpid(pid_, nullptr, 0);
  reaped_ = true;
  return read_;
}

std::string two_requests_as(uid_t uid, const std::string& uri, const common::Uuid& user) {
  ChildAsUser child(uid, [&](int report) {
    std::string outcome;
    if (auto connection = tavrin_account::connect_to_endpoint(uri); !connection) {
      outcome = connection.error().display();
    } else {
      for (int i = 0; i < 2; ++i) {
        const auto secret = tavrin_account::get_secret(*connection, user, "x");
        outcome += (secret ? std::string("found") : secret.error().display()) + ";";
      }
    }
    write_text(report, outcome);
  });
  return child.finish();
}

}  // namespace test_support
