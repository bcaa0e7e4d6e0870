// Whole-process timings of auth_password against their floors, each pair
// measured alternately in the same run so that machine load hits both alike.
//
//   process_bench AUTH_PASSWORD ACCOUNTD BASELINE WORK_DIR [RUNS]
//
// AUTH_PASSWORD and ACCOUNTD are the built programs, BASELINE a program that
// does one bare Argon2id hash with the same settings. Passwords are typed on
// a pseudo-terminal the moment the program has switched echo off, and a run
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
  long peak_rss_kib = 0;
};

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
  return Run{std::chrono::duration<double, std::milli>(ended - started).count(), usage.ru_maxrss};
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
Run spawn_on_terminal(std::vector<std::string> words, const std::vector<std::pair<std::string, std::string>>& dialogue) {
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

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: process_bench AUTH_PASSWORD ACCOUNTD BASELINE WORK_DIR [RUNS]\n");
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
    struct stat info{};
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

  std::vector<double> hash;
  std::vector<double> auth;
  std::vector<double> change;
  std::vector<double> truth;
  std::vector<double> query;
  long peak_rss = 0;
  for (int i = 0; i < runs; ++i) {
    hash.push_back(spawn_plain({baseline}).milliseconds);
    const Run a = spawn_on_terminal({auth_password, "Authenticate", user, "mode=CLI"}, authenticate);
    auth.push_back(a.milliseconds);
    peak_rss = std::max(peak_rss, a.peak_rss_kib);
    hash.push_back(spawn_plain({baseline}).milliseconds);
    change.push_back(spawn_on_terminal({auth_password, "Update", user, "mode=CLI"}, update).milliseconds);
    truth.push_back(spawn_plain({"/bin/true"}).milliseconds);
    query.push_back(spawn_plain({auth_password, "QueryInformation"}).milliseconds);
  }
  ::kill(daemon, SIGTERM);
  ::waitpid(daemon, nullptr, 0);

  const double hash_ms = median(hash);
  std::printf("| measure (median of %d) | auth_password | baseline | ratio | target |\n", runs);
  std::printf("|---|---|---|---|---|\n");
  std::printf("| Authenticate vs bare Argon2id process | %.2f ms | %.2f ms | %.3f | <= 1.10 |\n", median(auth), hash_ms,
              median(auth) / hash_ms);
  std::printf("| Update vs bare Argon2id process | %.2f ms | %.2f ms | %.3f | <= 1.15 |\n", median(change), hash_ms,
              median(change) / hash_ms);
  std::printf("| QueryInformation vs /bin/true | %.3f ms | %.3f ms | %.3f | <= 2.0 |\n", median(query), median(truth),
              median(query) / median(truth));
  std::printf("| Authenticate peak resident memory | %.1f MiB | | | <= 24 MiB |\n",
              static_cast<double>(peak_rss) / 1024.0);
  return 0;
}
