#include "auth_password/process_setup.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

namespace auth_password {
namespace {

bool is_dev_null(int fd) {
  struct stat opened {};
  struct stat null {};
  return ::fstat(fd, &opened) == 0 && ::stat("/dev/null", &null) == 0 && opened.st_rdev == null.st_rdev &&
         S_ISCHR(opened.st_mode);
}

TEST(PrepareProcess, ReopensClosedStandardDescriptorsAndLocksTheProcessDown) {
  EXPECT_EXIT(
      {
        ::close(0);
        ::close(2);
        prepare_process();
        struct sigaction pipe_action {};
        ::sigaction(SIGPIPE, nullptr, &pipe_action);
        const bool ok = is_dev_null(0) && is_dev_null(2) && !is_dev_null(1) &&
                        ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 0 && pipe_action.sa_handler == SIG_IGN;
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace auth_password
