// Whole-process timings of auth_password against their floors, each pair
// measured alternately in the same run so that machine load hits both alike.
//
//   process_bench AUTH_PASSWORD ACCOUNTD BASELINE [RUNS [BEFORE]]
//
// AUTH_PASSWORD and ACCOUNTD are the built programs, BASELINE a program that
// does one bare Argon2id hash with the same settings. BEFORE, another build
// of auth_password (an older revision, say), is then timed in the same loop
// against the same floors and the same daemon. The programs are driven as
// the end-to-end tests drive them: passwords are typed on a pseudo-terminal
// the moment the program has switched echo off, and a run lasts from opening
// the terminal to the parent having reaped the child and read the last of
// its output.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "pty_session.hpp"
#include "running_accountd.hpp"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
  double milliseconds = 0;
  double cpu_milliseconds = 0;  // user and system time of the child itself
  long peak_rss_kib = 0;
};

double milliseconds_of(const timeval& time) {
  return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_usec) / 1e3;
}

// Failures throw, so that the daemon is stopped on the way out.
[[noreturn]] void die(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

std::vector<char*> argv_of(std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return argv;
}

Run reap(pid_t pid, Clock::time_point started, const std::string& name) {
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) die("wait4");
  const auto ended = Clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(name + " failed (wait status " + std::to_string(status) + ")");
  }
  return Run{std::chrono::duration<double, std::milli>(ended - started).count(),
             milliseconds_of(usage.ru_utime) + milliseconds_of(usage.ru_stime), usage.ru_maxrss};
}

// A plain run with standard output on /dev/null.
Run spawn_plain(std::vector<std::string> words) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  auto argv = argv_of(words);
  const auto started = Clock::now();
  pid_t pid = 0;
  if (const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ); error != 0) {
    errno = error;
    die("posix_spawn " + words[0]);
  }
  posix_spawn_file_actions_destroy(&actions);
  return reap(pid, started, words[0]);
}

// A run at a terminal, each answer typed the moment the program has switched
// echo off after its prompt.
Run run_on_terminal(const std::string& program, std::vector<std::string> args, const std::string& daemon_uri,
                    const std::vector<test_support::Answer>& dialogue) {
  const std::string name = program + " " + args.front();
  const auto started = Clock::now();
  test_support::PtySession session(
      program, test_support::PtyOptions{.args = std::move(args), .env = {{"ACCOUNT_IPC_URI", daemon_uri}}});
  test_support::answer_all(session, dialogue);
  const test_support::PtyExit ended = session.wait_exit();
  const auto finished = Clock::now();
  if (ended.exit_status != 0) {
    throw std::runtime_error(name + " failed (status " + std::to_string(ended.exit_status) + ", signal " +
                             std::to_string(ended.signal) + ")");
  }
  return Run{std::chrono::duration<double, std::milli>(finished - started).count(),
             std::chrono::duration<double, std::milli>(ended.cpu_time).count(), ended.peak_rss_kib};
}

// Each run is paired with its floor measured just before it. The ratio is
// the median of the pairs' ratios, which drifting machine load disturbs less
// than a ratio of medians; the ratio of CPU times (the child's own user and
// system time) leaves out waiting for the daemon, the terminal and the CPU.
struct Series {
  std::vector<double> wall;
  std::vector<double> ratio;
  std::vector<double> cpu_ratio;
  void add(const Run& run, const Run& floor) {
    wall.push_back(run.milliseconds);
    ratio.push_back(run.milliseconds / floor.milliseconds);
    cpu_ratio.push_back(run.cpu_milliseconds / floor.cpu_milliseconds);
  }
};

struct Measured {
  std::string path;
  Series auth;
  Series change;
  Series query;
  long peak_rss_kib = 0;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) try {
  if (argc < 4) {
    std::fprintf(stderr, "usage: process_bench AUTH_PASSWORD ACCOUNTD BASELINE [RUNS [BEFORE]]\n");
    return 2;
  }
  const std::string auth_password = argv[1];
  const std::string baseline = argv[3];
  const int runs = argc > 4 ? std::atoi(argv[4]) : 21;
  ::signal(SIGPIPE, SIG_IGN);

  test_support::RunningAccountd daemon(argv[2], std::nullopt);
  if (!daemon.ready()) {
    std::fprintf(stderr, "process_bench: accountd did not start\n%s", daemon.log().c_str());
    return 2;
  }

  const std::string user = "user_uuid=2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10";
  const std::string password = "correct horse battery staple\n";
  const std::vector<test_support::Answer> authenticate = {{"Password", password}};
  const std::vector<test_support::Answer> update = {
      {"Old Password", password}, {"New Password", password}, {"Confirm password", password}};
  // The user's first password: with no secrets stored any old password will do.
  run_on_terminal(auth_password, {"Update", user, "mode=CLI"}, daemon.uri(),
                  {{"Old Password", "\n"}, {"New Password", password}, {"Confirm password", password}});

  std::vector<Measured> programs = {{.path = auth_password}};
  if (argc > 5) programs.push_back({.path = argv[5]});
  std::vector<double> hash;
  std::vector<double> truth;
  for (int i = 0; i < runs; ++i) {
    for (auto& program : programs) {
      const Run hash_floor = spawn_plain({baseline});
      hash.push_back(hash_floor.milliseconds);
      // Peak memory comes from a forked child (the terminal session's): one
      // made with posix_spawn or vfork shares this process's memory until it
      // execs and reports this process's peak instead of its own.
      const Run a = run_on_terminal(program.path, {"Authenticate", user, "mode=CLI"}, daemon.uri(), authenticate);
      program.auth.add(a, hash_floor);
      program.peak_rss_kib = std::max(program.peak_rss_kib, a.peak_rss_kib);
      const Run second_floor = spawn_plain({baseline});
      hash.push_back(second_floor.milliseconds);
      program.change.add(run_on_terminal(program.path, {"Update", user, "mode=CLI"}, daemon.uri(), update),
                         second_floor);
      const Run true_floor = spawn_plain({"/bin/true"});
      truth.push_back(true_floor.milliseconds);
      program.query.add(spawn_plain({program.path, "QueryInformation"}), true_floor);
    }
  }

  const double hash_ms = median(hash);
  const double truth_ms = median(truth);
  std::printf("| measure (median of %d) | auth_password | baseline | ratio | CPU time ratio | target |\n", runs);
  std::printf("|---|---|---|---|---|---|\n");
  for (const auto& program : programs) {
    // The first program is the one under test; a second is named by its path.
    const std::string of = &program == &programs.front() ? "" : " (" + program.path + ")";
    const auto row = [&](const char* measure, const Series& series, double floor, const char* target) {
      std::printf("| %s%s | %.3f ms | %.3f ms | %.3f | %.3f | %s |\n", measure, of.c_str(), median(series.wall), floor,
                  median(series.ratio), median(series.cpu_ratio), target);
    };
    row("Authenticate vs bare Argon2id process", program.auth, hash_ms, "<= 1.06");
    row("Update vs bare Argon2id process", program.change, hash_ms, "<= 1.08");
    row("QueryInformation vs /bin/true", program.query, truth_ms, "<= 1.6");
    std::printf("| Authenticate peak resident memory%s | %.1f MiB | | | | <= 24 MiB |\n", of.c_str(),
                static_cast<double>(program.peak_rss_kib) / 1024.0);
  }
  return 0;
} catch (const std::exception& error) {
  std::fprintf(stderr, "process_bench: %s\n", error.what());
  return 2;
}
