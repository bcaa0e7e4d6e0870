// Whether the time a refusal takes tells that a user has no password:
// Authenticate with a wrong password, typed on a pseudo-terminal (CLI) or
// handed over on standard input (API), for a user who has one and for a user
// who has none, against one accountd, the two alternating. Each pair's ratio is taken of the CPU times of the two
// processes themselves (user and system time, which leave out waiting for
// the daemon, the terminal and the CPU); the figure is the median of the
// pairs.
//
//   no_password_bench AUTH_PASSWORD ACCOUNTD [RUNS]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "pty_session.hpp"
#include "run_process.hpp"
#include "running_accountd.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view WITH_PASSWORD = "2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10";
constexpr std::string_view WITHOUT_PASSWORD = "7d1e0c55-93a8-4f0b-b2d6-5e4c3a2b1f09";

struct Run {
  double cpu_milliseconds = 0;
  double milliseconds = 0;
};

double milliseconds_of(const timeval& time) {
  return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_usec) / 1e3;
}

// The daemon is reaped only at the end, so between two readings this grows
// by exactly the one program that was run and reaped.
double cpu_milliseconds_of_reaped_children() {
  rusage usage{};
  if (::getrusage(RUSAGE_CHILDREN, &usage) != 0) throw std::runtime_error("getrusage");
  return milliseconds_of(usage.ru_utime) + milliseconds_of(usage.ru_stime);
}

test_support::PtyOptions options(const std::string& uri, std::string_view verb, std::string_view user) {
  return {.args = {std::string(verb), "user_uuid=" + std::string(user), "mode=CLI"}, .env = {{"ACCOUNT_IPC_URI", uri}}};
}

enum class Mode : std::uint8_t { Cli, Api };

Run refused_authentication(const std::string& program, const std::string& uri, std::string_view user, Mode mode) {
  const double cpu_before = cpu_milliseconds_of_reaped_children();
  const auto started = Clock::now();
  int exit_status = -1;
  std::string shown;
  bool refused = false;
  if (mode == Mode::Cli) {
    test_support::PtySession session(program, options(uri, "Authenticate", user));
    test_support::answer_all(session, {{"Password", "not the password\n"}});
    exit_status = session.wait_exit().exit_status;
    shown = session.transcript();
    refused = shown.ends_with("Sorry.\n");
  } else {
    const auto result =
        test_support::run_process(program, {.args = {"Authenticate", "user_uuid=" + std::string(user), "mode=API"},
                                            .stdin_data = R"({"password": "not the password"})",
                                            .env = {{"ACCOUNT_IPC_URI", uri}}});
    exit_status = result.exit_status;
    shown = result.err;
    refused = shown == "Error: \"password not accepted\"\n";
  }
  const Run run{cpu_milliseconds_of_reaped_children() - cpu_before,
                std::chrono::duration<double, std::milli>(Clock::now() - started).count()};
  if (exit_status != 1 || !refused) {
    throw std::runtime_error("Authenticate of " + std::string(user) + " was not refused: \"" +
                             test_support::visible(shown) + "\"");
  }
  return run;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int measure(const std::string& auth_password, const std::string& accountd, int runs) {
  const test_support::RunningAccountd daemon(accountd, std::nullopt);
  if (!daemon.ready()) throw std::runtime_error("accountd did not start");
  {
    // The first password: with no secrets stored any old password will do.
    test_support::PtySession session(auth_password, options(daemon.uri(), "Update", WITH_PASSWORD));
    test_support::answer_all(session, {{"Old Password", "\n"},
                                       {"New Password", "correct horse battery staple\n"},
                                       {"Confirm password", "correct horse battery staple\n"}});
    if (session.wait_exit().exit_status != 0) throw std::runtime_error("the first password was not set");
  }

  std::printf("| Authenticate refused (median of %d) | user without a password | user with one | ratio | goal |\n",
              runs);
  std::printf("|---|---|---|---|---|\n");
  for (const Mode mode : {Mode::Cli, Mode::Api}) {
    const char* name = mode == Mode::Cli ? "CLI" : "API";
    std::vector<double> with_cpu;
    std::vector<double> without_cpu;
    std::vector<double> cpu_ratio;
    std::vector<double> wall_ratio;
    for (int i = 0; i < runs; ++i) {
      // Either may go first, so that neither always meets a warmer machine.
      Run with;
      Run without;
      if (i % 2 == 0) {
        with = refused_authentication(auth_password, daemon.uri(), WITH_PASSWORD, mode);
        without = refused_authentication(auth_password, daemon.uri(), WITHOUT_PASSWORD, mode);
      } else {
        without = refused_authentication(auth_password, daemon.uri(), WITHOUT_PASSWORD, mode);
        with = refused_authentication(auth_password, daemon.uri(), WITH_PASSWORD, mode);
      }
      with_cpu.push_back(with.cpu_milliseconds);
      without_cpu.push_back(without.cpu_milliseconds);
      cpu_ratio.push_back(without.cpu_milliseconds / with.cpu_milliseconds);
      wall_ratio.push_back(without.milliseconds / with.milliseconds);
    }
    std::printf("| %s, CPU time | %.3f ms | %.3f ms | %.3f | 1.00 +- 0.05 |\n", name, median(without_cpu),
                median(with_cpu), median(cpu_ratio));
    std::printf("| %s, wall time | | | %.3f | |\n", name, median(wall_ratio));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: no_password_bench AUTH_PASSWORD ACCOUNTD [RUNS]\n");
    return 2;
  }
  try {
    return measure(argv[1], argv[2], argc > 3 ? std::max(1, std::atoi(argv[3])) : 21);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "no_password_bench: %s\n", failure.what());
    return 2;
  }
}
