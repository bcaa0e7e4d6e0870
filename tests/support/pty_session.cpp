#include "pty_session.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "pipe.hpp"
#include "test_command.hpp"

extern char** environ;

namespace test_support {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail_setup(const std::string& what) {
  throw std::runtime_error("pty session: " + what + ": " + std::strerror(errno));
}

int checked(int result, const char* what) {
  if (result < 0) fail_setup(what);
  return result;
}

std::vector<std::string> environment_with(const std::map<std::string, std::optional<std::string>>& changes) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    merged[std::string(text.substr(0, equals))] = std::string(text.substr(equals + 1));
  }
  for (const auto& [name, value] : changes) {
    if (value) {
      merged[name] = *value;
    } else {
      merged.erase(name);
    }
  }
  std::vector<std::string> result;
  for (const auto& [name, value] : merged) result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

void write_fully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) fail_setup("write");
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

// From here on the code runs in the forked child: only async-signal-safe calls.

struct ChildPlan {
  const char* terminal_name;
  int stdin_fd;   // -1: the terminal
  int stdout_fd;  // the pipe's write end
  int stderr_fd;  // -1: the terminal
  int report_fd;  // job control: where the program's pid goes
  bool job_control;
  char** argv;
  char** envp;
};

[[noreturn]] void exec_program(const ChildPlan& plan, int terminal) {
  ::dup2(plan.stdin_fd >= 0 ? plan.stdin_fd : terminal, 0);
  ::dup2(plan.stdout_fd, 1);
  ::dup2(plan.stderr_fd >= 0 ? plan.stderr_fd : terminal, 2);
  ::execve(plan.argv[0], plan.argv, plan.envp);
  ::_exit(127);
}

[[noreturn]] void run_child(const ChildPlan& plan) {
  // Start from a clean slate whatever the test runner inherited: a
  // background job of a non-interactive shell, for one, ignores SIGINT and
  // SIGQUIT, and ignored signals stay ignored across exec.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  for (int signo = 1; signo < NSIG; ++signo) ::sigaction(signo, &fallback, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);

  if (::setsid() < 0) ::_exit(126);
  const int terminal = ::open(plan.terminal_name, O_RDWR | O_CLOEXEC);
  if (terminal < 0 || ::ioctl(terminal, TIOCSCTTY, 0) < 0) ::_exit(126);
  if (!plan.job_control) exec_program(plan, terminal);

  const pid_t program = ::fork();
  if (program < 0) ::_exit(126);
  if (program == 0) {
    ::setpgid(0, 0);
    // A background process that changes the foreground is sent SIGTTOU.
    sigset_t ttou;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    ::sigprocmask(SIG_BLOCK, &ttou, nullptr);
    ::tcsetpgrp(terminal, ::getpid());
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    exec_program(plan, terminal);
  }
  ::setpgid(program, program);
  (void)!::write(plan.report_fd, &program, sizeof program);
  ::close(plan.report_fd);
  ::close(terminal);
  ::close(plan.stdout_fd);
  int status = 0;
  while (::waitpid(program, &status, 0) < 0) {
    if (errno != EINTR) ::_exit(126);
  }
  if (WIFSIGNALED(status)) {
    // End the same way, so the session's owner sees what the program saw.
    ::kill(::getpid(), WTERMSIG(status));
    ::_exit(128 + WTERMSIG(status));
  }
  ::_exit(WEXITSTATUS(status));
}

}  // namespace

void answer_all(PtySession& session, const std::vector<Answer>& answers) {
  for (const auto& answer : answers) {
    session.wait_for_output("\r" + answer.prompt + ": ");
    session.wait_for_echo_off();
    session.type(answer.typed);
    session.wait_for_output("\n");
  }
}

std::string visible(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\\': out += "\\\\"; break;
      case '\x1b': out += "\\e"; break;
      default:
        if (byte < 0x20 || byte >= 0x7f) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", byte);
          out += hex;
        } else {
          out += c;
        }
    }
  }
  return out;
}

PtySession::PtySession(const std::string& program, const PtyOptions& options) {
  master_.reset(checked(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC), "posix_openpt"));
  checked(::grantpt(master_.get()), "grantpt");
  checked(::unlockpt(master_.get()), "unlockpt");
  char name[128];
  if (::ptsname_r(master_.get(), name, sizeof name) != 0) fail_setup("ptsname_r");

  // Settings made before the program starts: no output processing, so the
  // bytes compared are exactly the bytes written; a fixed window size.
  replica_.reset(checked(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC), "open terminal"));
  termios settings{};
  checked(::tcgetattr(replica_.get(), &settings), "tcgetattr");
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR);
  checked(::tcsetattr(replica_.get(), TCSANOW, &settings), "tcsetattr");
  const winsize size{24, 80, 0, 0};
  checked(::ioctl(replica_.get(), TIOCSWINSZ, &size), "TIOCSWINSZ");
  ::fcntl(master_.get(), F_SETFL, ::fcntl(master_.get(), F_GETFL) | O_NONBLOCK);
  // Input reaches the line discipline asynchronously; its echo shows it has
  // arrived, so it is queued before the program can look at its input.
  write_fully(master_.get(), options.typed_ahead);
  const auto deadline = Clock::now() + TIMEOUT;
  while (transcript_.size() < options.typed_ahead.size()) {
    if (Clock::now() > deadline) fail("timed out waiting for the echo of the input typed ahead");
    pump(std::chrono::milliseconds(5));
  }

  Pipe stdout_pipe = make_pipe();
  stdout_read_ = std::move(stdout_pipe.read);
  common::UniqueFd stdin_fd;
  if (options.stdin_data) {
    Pipe stdin_pipe = make_pipe();
    write_fully(stdin_pipe.write.get(), *options.stdin_data);  // small: fits in the pipe
    stdin_fd = std::move(stdin_pipe.read);
  } else if (options.stdin_file) {
    stdin_fd.reset(checked(::open(options.stdin_file->c_str(), O_RDONLY | O_CLOEXEC), "open standard input file"));
  }
  common::UniqueFd stderr_fd;
  if (options.stderr_file) {
    stderr_fd.reset(checked(::open(options.stderr_file->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600),
                            "open standard error file"));
  }
  Pipe report;
  if (options.job_control) report = make_pipe();

  std::vector<std::string> argv_texts = command_words(program);
  argv_texts.insert(argv_texts.end(), options.args.begin(), options.args.end());
  std::vector<std::string> env_texts = environment_with(options.env);
  auto argv = pointers_to(argv_texts);
  auto envp = pointers_to(env_texts);
  const ChildPlan plan{.terminal_name = name,
                       .stdin_fd = stdin_fd.get(),
                       .stdout_fd = stdout_pipe.write.get(),
                       .stderr_fd = stderr_fd.get(),
                       .report_fd = report.write.get(),
                       .job_control = options.job_control,
                       .argv = argv.data(),
                       .envp = envp.data()};

  child_ = checked(::fork(), "fork");
  if (child_ == 0) run_child(plan);

  // Only the program keeps these open now.
  stdout_pipe.write.reset();
  stdin_fd.reset();
  stderr_fd.reset();
  program_pid_ = child_;
  if (options.job_control) {
    report.write.reset();
    pid_t reported = -1;
    const ssize_t got = ::read(report.read.get(), &reported, sizeof reported);
    report.read.reset();
    if (got != static_cast<ssize_t>(sizeof reported)) fail_setup("no pid from the job-control parent");
    program_pid_ = reported;
  }
}

PtySession::~PtySession() {
  if (!exited_ && child_ > 0) {
    if (program_pid_ != child_) ::kill(program_pid_, SIGKILL);
    ::kill(child_, SIGKILL);
    ::waitpid(child_, nullptr, 0);
  }
}

void PtySession::pump(std::chrono::microseconds wait, int also) {
  pollfd fds[3] = {{master_open_ ? master_.get() : -1, POLLIN, 0}, {stdout_read_.get(), POLLIN, 0}, {also, POLLIN, 0}};
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
  const timespec timeout{seconds.count(), std::chrono::duration_cast<std::chrono::nanoseconds>(wait - seconds).count()};
  if (::ppoll(fds, 3, &timeout, nullptr) < 0) {
    if (errno == EINTR) return;
    fail_setup("poll");
  }
  char buffer[4096];
  if (fds[0].revents != 0) {
    for (;;) {
      const ssize_t got = ::read(master_.get(), buffer, sizeof buffer);
      if (got > 0) {
        transcript_.append(buffer, static_cast<std::size_t>(got));
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      // EIO: every descriptor of the program's side is closed and all it
      // wrote has been read.
      if (got < 0 && errno != EAGAIN) master_open_ = false;
      break;
    }
  }
  if (fds[1].revents != 0) {
    const ssize_t got = ::read(stdout_read_.get(), buffer, sizeof buffer);
    if (got > 0) {
      stdout_.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0) {
      stdout_read_.reset();
    }
  }
}

bool PtySession::child_has_ended() const {
  if (exited_) return true;
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(child_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

void PtySession::fail(const std::string& what) const {
  throw std::runtime_error(what + "\n  terminal so far: \"" + visible(transcript_) + "\"\n  standard output: \"" +
                           visible(stdout_) + "\"");
}

void PtySession::wait_for_output(std::string_view bytes, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto found = transcript_.find(bytes, matched_up_to_);
    if (found != std::string::npos) {
      matched_up_to_ = found + bytes.size();
      return;
    }
    if (Clock::now() > deadline) fail("timed out waiting for \"" + visible(bytes) + "\" on the terminal");
    if (!master_open_) fail("the program closed the terminal before \"" + visible(bytes) + "\" appeared");
    pump(std::chrono::milliseconds(20));
  }
}

void PtySession::wait_for_echo_off(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  // Nothing tells the master that the settings changed, so they are looked
  // at again and again: often at first, since echo goes off right after a
  // prompt appears and the benchmarks time the dialogue, then less often.
  std::chrono::microseconds pause(20);
  while (echo_enabled()) {
    if (Clock::now() > deadline) fail("timed out waiting for the program to switch echo off");
    if (child_has_ended()) fail("the program ended while waiting for it to switch echo off");
    pump(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(5'000));
  }
}

void PtySession::wait_until_stopped(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  const std::string stat_path = "/proc/" + std::to_string(program_pid_) + "/stat";
  for (;;) {
    std::string line;
    if (const common::UniqueFd fd(::open(stat_path.c_str(), O_RDONLY | O_CLOEXEC)); fd.valid()) {
      char buffer[512];
      const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
      if (got > 0) line.assign(buffer, static_cast<std::size_t>(got));
    }
    const auto end_of_name = line.rfind(')');
    if (end_of_name != std::string::npos && end_of_name + 2 < line.size() && line[end_of_name + 2] == 'T') return;
    if (Clock::now() > deadline) fail("timed out waiting for the program to stop");
    pump(std::chrono::milliseconds(5));
  }
}

void PtySession::type(std::string_view bytes) { write_fully(master_.get(), bytes); }

void PtySession::send_signal(int signo) {
  if (::kill(program_pid_, signo) != 0) fail_setup("kill");
}

void PtySession::send_signal_to_foreground(int signo) {
  const pid_t group = ::tcgetpgrp(master_.get());
  if (group <= 0 || ::kill(-group, signo) != 0) fail_setup("kill the foreground process group");
}

PtyExit PtySession::wait_exit(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  // Readable once the child has ended, so its end wakes the wait at once.
  // Where there are no process descriptors the wait only looks more slowly.
  // (Called directly: glibc 2.36 declares pidfd_open without C linkage.)
  const common::UniqueFd ended(static_cast<int>(::syscall(SYS_pidfd_open, child_, 0)));
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = ::wait4(child_, &status, WNOHANG, &usage);
    if (done == child_) break;
    if (done < 0 && errno != EINTR) fail_setup("wait4");
    if (Clock::now() > deadline) fail("timed out waiting for the program to end");
    pump(std::chrono::milliseconds(10), ended.get());
  }
  exited_ = true;
  replica_.reset();
  // The program's side is closed now: read the terminal up to its end and
  // standard output up to end of file.
  const auto drain_deadline = Clock::now() + timeout;
  while ((master_open_ || stdout_read_.valid()) && Clock::now() < drain_deadline) pump(std::chrono::milliseconds(20));
  if (master_open_ || stdout_read_.valid()) fail("the program's output did not end after it exited");

  PtyExit result;
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  const auto microseconds_of = [](const timeval& time) {
    return std::chrono::seconds(time.tv_sec) + std::chrono::microseconds(time.tv_usec);
  };
  result.cpu_time = microseconds_of(usage.ru_utime) + microseconds_of(usage.ru_stime);
  result.peak_rss_kib = usage.ru_maxrss;
  return result;
}

bool PtySession::echo_enabled() const {
  termios settings{};
  if (::tcgetattr(master_.get(), &settings) != 0) fail_setup("tcgetattr");
  return (settings.c_lflag & ECHO) != 0;
}

}  // namespace test_support
