// Whole-process timings of auth_password against their floors, each pair
// measured alternately in the same run so that machine load hits both alike.
//
//   process_bench AUTH_PASSWORD ACCOUNTD BASELINE WORK_DIR [RUNS [BEFORE]]
//
// AUTH_PASSWORD and ACCOUNTD are the built programs, BASELINE a program that
// does one bare Argon2id hash with the same settings. BEFORE, another build
// of auth_password (an older revision, say), is then timed in the same loop
// against the same floors and the same daemon. Passwords are typed on a
// pseudo-terminal the moment the program has switched echo off, and a run
// lasts from fork to the parent reaping the child.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "process_bench: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(2);
}

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
    std::fprintf(stderr, "process_bench: %s failed (status %d)\n", name.c_str(), status);
    std::exit(2);
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
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) die("posix_spawn " + words[0]);
  posix_spawn_file_actions_destroy(&actions);
  return reap(pid, started, words[0]);
}

// Reads the terminal until `prompt` has appeared, then waits (spinning) for
// echo to go off, since the program flushes typed-ahead input when it does.
void answer(int master, std::string& screen, std::size_t& seen, const std::string& prompt, const std::string& text) {
  while (screen.find(prompt, seen) == std::string::npos) {
    pollfd fd{master, POLLIN, 0};
    if (::poll(&fd, 1, 10'000) <= 0) die("no prompt \"" + prompt + "\"");
    char buffer[1024];
    const ssize_t got = ::read(master, buffer, sizeof buffer);
    if (got <= 0) die("terminal closed before \"" + prompt + "\"");
    screen.append(buffer, static_cast<std::size_t>(got));
  }
  seen = screen.find(prompt, seen) + prompt.size();
  termios settings{};
  for (;;) {
    if (::tcgetattr(master, &settings) != 0) die("tcgetattr");
    if ((settings.c_lflag & ECHO) == 0) break;
    std::this_thread::sleep_for(std::chrono::microseconds(20));
  }
  const std::string line = text + "\n";
  if (::write(master, line.data(), line.size()) != static_cast<ssize_t>(line.size())) die("write to terminal");
}

// A run at a terminal: each pair is a prompt to wait for and what to type.
Run spawn_on_terminal(std::vector<std::string> words,
                      const std::vector<std::pair<std::string, std::string>>& dialogue) {
  auto argv = argv_of(words);
  const auto started = Clock::now();
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) die("forkpty");
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::execve(argv[0], argv.data(), environ);
    ::_exit(127);
  }
  std::string screen;
  std::size_t seen = 0;
  for (const auto& [prompt, text] : dialogue) answer(master, screen, seen, prompt, text);
  const Run run = reap(pid, started, words[0] + " " + words[1]);
  ::close(master);
  return run;
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

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: process_bench AUTH_PASSWORD ACCOUNTD BASELINE WORK_DIR [RUNS [BEFORE]]\n");
    return 2;
  }
  const std::string auth_password = argv[1];
  const std::string accountd = argv[2];
  const std::string baseline = argv[3];
  // Socket URIs take absolute paths only.
  const std::string work = std::filesystem::absolute(argv[4]).string();
  const int runs = argc > 5 ? std::atoi(argv[5]) : 21;
  ::signal(SIGPIPE, SIG_IGN);

  const std::string socket = work + "/bench.sock";
  ::unlink(socket.c_str());
  pid_t daemon = 0;
  {
    std::vector<std::string> words = {accountd, "--endpoint", "unix://" + socket, "--memory"};
    auto daemon_argv = argv_of(words);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&daemon, daemon_argv[0], &actions, nullptr, daemon_argv.data(), environ) != 0) die("accountd");
    struct stat info {};
    for (int i = 0; i < 400 && ::stat(socket.c_str(), &info) != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ::setenv("ACCOUNT_IPC_URI", ("unix://" + socket).c_str(), 1);

  const std::string user = "user_uuid=2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10";
  const std::string password = "correct horse battery staple";
  const std::vector<std::pair<std::string, std::string>> authenticate = {{"Password: ", password}};
  const std::vector<std::pair<std::string, std::string>> update = {
      {"Old Password: ", password}, {"New Password: ", password}, {"Confirm password: ", password}};
  // The user's first password: with no secrets stored any old password will do.
  spawn_on_terminal({auth_password, "Update", user, "mode=CLI"},
                    {{"Old Password: ", ""}, {"New Password: ", password}, {"Confirm password: ", password}});

  std::vector<Measured> programs = {{.path = auth_password}};
  if (argc > 6) programs.push_back({.path = argv[6]});
  std::vector<double> hash;
  std::vector<double> truth;
  for (int i = 0; i < runs; ++i) {
    for (auto& program : programs) {
      const Run hash_floor = spawn_plain({baseline});
      hash.push_back(hash_floor.milliseconds);
      // Peak memory comes from a forked child (forkpty): one made with
      // posix_spawn or vfork shares this process's memory until it execs
      // and reports this process's peak instead of its own.
      const Run a = spawn_on_terminal({program.path, "Authenticate", user, "mode=CLI"}, authenticate);
      program.auth.add(a, hash_floor);
      program.peak_rss_kib = std::max(program.peak_rss_kib, a.peak_rss_kib);
      const Run second_floor = spawn_plain({baseline});
      hash.push_back(second_floor.milliseconds);
      program.change.add(spawn_on_terminal({program.path, "Update", user, "mode=CLI"}, update), second_floor);
      const Run true_floor = spawn_plain({"/bin/true"});
      truth.push_back(true_floor.milliseconds);
      program.query.add(spawn_plain({program.path, "QueryInformation"}), true_floor);
    }
  }
  ::kill(daemon, SIGTERM);
  ::waitpid(daemon, nullptr, 0);

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
}
