#include "requests_as_user.hpp"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>

#include "pipe.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/secrets.hpp"

namespace test_support {

std::string two_requests_as(uid_t uid, const std::string& uri, const common::Uuid& user) {
  Pipe report = make_pipe();
  const pid_t pid = ::fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    std::string outcome;
    if (uid != ::geteuid() && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)) {
      outcome = "cannot run as uid " + std::to_string(uid) + " (needs root)";
    } else if (auto connection = tavrin_account::connect_to_endpoint(uri); !connection) {
      outcome = connection.error().display();
    } else {
      for (int i = 0; i < 2; ++i) {
        const auto secret = tavrin_account::get_secret(*connection, user, "x");
        outcome += (secret ? std::string("found") : secret.error().display()) + ";";
      }
    }
    (void)!::write(report.write.get(), outcome.data(), outcome.size());
    ::_exit(0);
  }
  report.write.reset();
  std::string outcome;
  std::array<char, 256> chunk{};
  ssize_t n = 0;
  while ((n = ::read(report.read.get(), chunk.data(), chunk.size())) > 0) {
    outcome.append(chunk.data(), static_cast<std::size_t>(n));
  }
  ::waitpid(pid, nullptr, 0);
  return outcome;
}

}  // namespace test_support
