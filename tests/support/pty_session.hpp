#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.hpp"

namespace test_support {

struct PtyOptions {
  std::vector<std::string> args;                          // after the program name
  std::map<std::string, std::optional<std::string>> env;  // nullopt unsets
  // Standard input is the terminal unless one of these is given: a pipe
  // holding these bytes (closed after them), or a file opened for reading.
  std::optional<std::string> stdin_data;
  std::optional<std::string> stdin_file;
  // Standard error is the terminal unless this file is given (created or
  // truncated).
  std::optional<std::string> stderr_file;
  // Typed on the terminal before the program starts, as a person typing ahead.
  std::string typed_ahead;
  // Runs the program as a shell would: in its own process group in the
  // terminal's foreground, under a parent in the same session. Without this
  // the program leads its session, and the kernel discards stop signals
  // (SIGTSTP from ^Z) sent to it.
  bool job_control = false;
};

struct PtyExit {
  int exit_status = -1;  // -1 when ended by a signal
  int signal = 0;
  // What the direct child used (with job control, the parent and the program
  // together): user and system CPU time, and the peak resident set.
  std::chrono::microseconds cpu_time{0};
  long peak_rss_kib = 0;
};

// A program running on a new pseudo-terminal, which is its controlling
// terminal. Standard output always goes to a pipe of its own. Output
// post-processing is off, so transcript() holds exactly the bytes the
// program wrote to the terminal, plus the echo of what was typed while echo
// was on. Failures (including timeouts) throw std::runtime_error with a
// message that shows what the terminal held.
class PtySession {
 public:
  static constexpr std::chrono::milliseconds TIMEOUT{10'000};

  PtySession(const std::string& program, const PtyOptions& options = {});
  PtySession(const PtySession&) = delete;
  PtySession& operator=(const PtySession&) = delete;
  ~PtySession();  // kills the program if it still runs

  // Waits until `bytes` appear on the terminal after the end of the previous
  // match.
  void wait_for_output(std::string_view bytes, std::chrono::milliseconds timeout = TIMEOUT);
  // Waits until the terminal's ECHO flag is off: the program is about to
  // read a hidden line, and anything typed from now on reaches it.
  void wait_for_echo_off(std::chrono::milliseconds timeout = TIMEOUT);
  // Waits until the program is stopped (by SIGTSTP or SIGSTOP).
  void wait_until_stopped(std::chrono::milliseconds timeout = TIMEOUT);

  void type(std::string_view bytes);
  void send_signal(int signo);
  // To the terminal's foreground process group, as the kernel sends the
  // signals of job control: the job a shell on the terminal is running.
  void send_signal_to_foreground(int signo);

  // Waits for the program to end and collects everything it wrote.
  PtyExit wait_exit(std::chrono::milliseconds timeout = TIMEOUT);

  [[nodiscard]] bool echo_enabled() const;
  [[nodiscard]] const std::string& transcript() const { return transcript_; }
  [[nodiscard]] const std::string& standard_output() const { return stdout_; }
  [[nodiscard]] pid_t pid() const { return program_pid_; }

 private:
  // Reads what the program wrote, waiting up to `wait` for something to
  // read or for `also` (another descriptor, -1 for none) to become readable.
  void pump(std::chrono::microseconds wait, int also = -1);
  [[nodiscard]] bool child_has_ended() const;
  [[noreturn]] void fail(const std::string& what) const;

  // The terminal's settings are read through the master, which also works
  // after the program has closed its side.
  common::UniqueFd master_;
  // Our own descriptor of the program's side, closed once the program has
  // ended: until then the master never reports the terminal closed, even
  // before the program has opened it.
  common::UniqueFd replica_;
  bool master_open_ = true;  // false once the program's side is gone and drained
  common::UniqueFd stdout_read_;
  pid_t child_ = -1;        // the direct child (the job-control parent, or the program)
  pid_t program_pid_ = -1;  // the program itself
  bool exited_ = false;
  std::string transcript_;
  std::string stdout_;
  std::size_t matched_up_to_ = 0;
};

// One entry of a password dialogue: the prompt text (without ": ") to wait
// for, and what to type once it is shown.
struct Answer {
  std::string prompt;
  std::string typed;
};

// Types each answer once its prompt is on the screen and echo is off, then
// waits for the newline that follows the completed read, so the next answer
// cannot be typed before the terminal settings are put back (they are
// restored with TCSAFLUSH, which would discard it).
void answer_all(PtySession& session, const std::vector<Answer>& answers);

// Text with control characters and other non-printable bytes escaped, for
// failure messages.
std::string visible(std::string_view bytes);

}  // namespace test_support
