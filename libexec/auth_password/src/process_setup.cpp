#include "auth_password/process_setup.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "common/invariant.hpp"

namespace auth_password {

void prepare_process() {
  // Passwords and master keys pass through this process: no core dump may
  // hold them, and no other process of the same user may attach to read them.
  // A core-size limit is not enough (a pipe handler ignores it), so a failure
  // here is fatal.
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) common::invariant_broken("the process cannot be made undumpable");

  // A write to a closed pipe, or past the file-size limit, is a failed write
  // the program reports, as it does a full disk, not an end by signal.
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) common::invariant_broken("SIGPIPE cannot be ignored");
  if (std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR) common::invariant_broken("SIGXFSZ cannot be ignored");

  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() returns the lowest free descriptor, which is this one because
    // the lower ones are open by now.
    const int reopened = ::open("/dev/null", O_RDWR);
    if (reopened != fd) common::invariant_broken("a closed standard descriptor was not reopened in its place");
  }
}

}  // namespace auth_password
