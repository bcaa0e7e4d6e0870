#pragma once

// An account daemon that listens as another user, for the tests of which
// daemons the client believes. It is not the scripted daemon (FakeDaemon):
// the client checks the credentials the kernel recorded for the process that
// listened, so this one must listen from a child process that has become
// that user (a thread of the test cannot change its uid alone), at a given
// endpoint, which may be the default one or a path in someone else's
// directory. What it is asked does not matter, only whether it is asked at
// all: it answers every frame with a bare success and counts the bytes.

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>

#include "common/unique_fd.hpp"
#include "requests_as_user.hpp"

namespace test_support {

class DaemonAsUser {
 public:
  // Listens at `uri` as `uid` (which needs root, unless it is the test's own).
  DaemonAsUser(const std::string& uri, uid_t uid);
  DaemonAsUser(const DaemonAsUser&) = delete;
  DaemonAsUser& operator=(const DaemonAsUser&) = delete;
  ~DaemonAsUser() { (void)finish(); }

  [[nodiscard]] bool listening() const { return listening_; }
  // Why it is not listening.
  [[nodiscard]] const std::string& problem() const { return problem_; }

  // Stops the daemon; every byte any client sent it.
  std::size_t finish();

 private:
  common::UniqueFd stop_;
  std::unique_ptr<ChildAsUser> child_;
  bool listening_ = false;
  std::string problem_;
  std::size_t received_ = 0;
};

}  // namespace test_support
