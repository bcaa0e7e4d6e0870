#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

#include "common/unique_fd.hpp"
#include "common/uuid.hpp"

namespace test_support {

// A child process that runs `body` as `uid` (which needs root, unless it is
// the test's own) and exits. What `body` writes to the descriptor it is given
// reaches the parent; without the rights to become `uid` the child writes
// only a text that begins "cannot run as". Killed and reaped when dropped.
class ChildAsUser {
 public:
  ChildAsUser(uid_t uid, const std::function<void(int report)>& body);
  ChildAsUser(const ChildAsUser&) = delete;
  ChildAsUser& operator=(const ChildAsUser&) = delete;
  ~ChildAsUser();

  // What the child wrote, once it holds `marker` or the child has ended (or
  // 20 seconds have passed).
  std::string read_until(std::string_view marker);
  // Waits for the child to end; all it wrote.
  std::string finish();
  [[nodiscard]] pid_t pid() const { return pid_; }

 private:
  // False once the child has closed its end, or wrote nothing for 20 s.
  bool read_more();

  pid_t pid_ = -1;
  bool reaped_ = false;
  common::UniqueFd report_;
  std::string read_;
};

// Two GetSecret requests for `user` on one connection to `uri`, from a child
// running as `uid`: what each gave ("found;" or the error's display form and
// ";"), or, without the rights to become `uid`, a text that begins "cannot
// run as".
[[nodiscard]] std::string two_requests_as(uid_t uid, const std::string& uri, const common::Uuid& user);

}  // namespace test_support
