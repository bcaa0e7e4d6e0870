#include "echo_off.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>

#include "common/invariant.hpp"
#include "common/signal_sets.hpp"

namespace prompt::detail {
namespace {

// While echo is off, every signal of common's table that still has its
// default action is taken (see signal_sets.hpp for which and how): the
// terminal is put back, the default action takes effect, and a process that
// lives on hides the input again. A fault, or abort(), means the process
// cannot go on: the terminal is put back and the signal is raised again with
// its default action. The library's own signals, which its sigaction() and
// sigprocmask() refuse, are taken and masked with the system calls
// themselves: the process has a single thread at the prompt.
using common::SignalKind;

// The place of `signo` in the arrays by signal number.
std::size_t slot(int signo) noexcept {
  if (signo <= 0 || signo >= NSIG) common::invariant_broken("a signal number out of range");
  return static_cast<std::size_t>(signo);
}

// Shared with the signal handlers. Written only while the signals are
// blocked, so a handler never sees a half-updated state.
struct HandlerState {
  int fd = -1;
  termios saved{};
  termios hidden{};
  Reprompt reprompt;
  // By signal number; the library's own signals in the kernel's form.
  std::array<struct sigaction, NSIG> previous{};
  std::array<common::KernelSigaction, NSIG> previous_by_kernel{};
  std::array<bool, NSIG> taken{};
};
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables): a signal
// handler can reach nothing else.
HandlerState g_state;
// An EchoOff is active.
volatile sig_atomic_t g_echo_off = 0;
// The terminal may be hiding input on our account: set before hiding, so a
// signal between the two still puts the settings back; cleared once they are
// back.
volatile sig_atomic_t g_hidden = 0;
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

// Everything in the handlers is async-signal-safe: tcgetpgrp, getpgrp,
// tcsetattr, write, sigaction, sigprocmask, raise, and the system calls
// rt_sigaction, rt_sigprocmask and tgkill.

// As the kernel decides whether a terminal operation stops the process: the
// terminal is our controlling one and another process group is in its
// foreground. (A terminal that is not the controlling one has no foreground
// of ours to lose.)
bool in_background() {
  const pid_t foreground = ::tcgetpgrp(g_state.fd);
  return foreground > 0 && foreground != ::getpgrp();
}

void put_settings_back() {
  if (g_hidden != 0 && ::tcsetattr(g_state.fd, TCSAFLUSH, &g_state.saved) == 0) g_hidden = 0;
}

void write_reprompt() {
  const char* at = g_state.reprompt.text.data();
  std::size_t left = g_state.reprompt.text.size();
  while (left > 0) {
    const ssize_t written = ::write(g_state.reprompt.fd, at, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // the read goes on; the next write reports the fault
    at += written;
    left -= static_cast<std::size_t>(written);
  }
}

extern "C" void restore_terminal_then_default(int signo) {
  const int saved_errno = errno;
  put_settings_back();

  // Through the kernel, which takes the library's own signals as well, and
  // gives back exactly what was set.
  common::KernelSigaction ours{};
  const common::KernelSigaction fallback{};  // SIG_DFL
  (void)common::kernel_sigaction(signo, &fallback, &ours);

  // The signal is blocked while its handler runs: raise it now, and it
  // arrives with its default effect when it is unblocked. Terminating signals
  // end the process there; stopping ones stop it and return after SIGCONT.
  sigset_t only;
  sigemptyset(&only);
  common::add_signal_bit(only, signo);
  sigset_t mask_in_handler;
  sigemptyset(&mask_in_handler);
  (void)common::raise_by_kernel(signo);
  (void)common::mask_signals_by_kernel(SIG_UNBLOCK, &only, &mask_in_handler);
  (void)common::mask_signals_by_kernel(SIG_SETMASK, &mask_in_handler, nullptr);

  (void)common::kernel_sigaction(signo, &ours, nullptr);
  // Continued in the background, the process leaves the terminal to the
  // shell; its read stops it again until it is brought to the foreground.
  if (g_echo_off != 0 && !in_background()) {
    g_hidden = 1;
    (void)::tcsetattr(g_state.fd, TCSAFLUSH, &g_state.hidden);
    write_reprompt();
  }
  errno = saved_errno;
}

// SA_RESETHAND has put the default action back on entry. The raised signal
// takes effect as soon as it is unblocked; a fault raised by an instruction
// would come back anyway when that instruction runs again.
extern "C" void restore_terminal_then_die(int signo) {
  put_settings_back();
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signo);
  (void)::raise(signo);
  (void)::sigprocmask(SIG_UNBLOCK, &only, nullptr);
}

class BlockedSignals {
 public:
  // Through the kernel, which blocks the library's own signals too and puts
  // back exactly the mask there was.
  BlockedSignals() {
    sigemptyset(&before_);
    const sigset_t set = common::handled_signal_set();
    if (common::mask_signals_by_kernel(SIG_BLOCK, &set, &before_) != 0) {
      common::invariant_broken("the prompt cannot block its signals");
    }
  }
  BlockedSignals(const BlockedSignals&) = delete;
  BlockedSignals& operator=(const BlockedSignals&) = delete;
  ~BlockedSignals() { (void)common::mask_signals_by_kernel(SIG_SETMASK, &before_, nullptr); }

 private:
  sigset_t before_{};
};

// The kernel's form of `ending`, with the restorer the library sets for a
// handler: set on a signal through the library, read back from the kernel,
// and that signal's disposition put back. It is blocked all the while.
common::KernelSigaction kernel_form_of(const struct sigaction& ending) {
  common::KernelSigaction ours{};
  struct sigaction before {};
  if (::sigaction(SIGUSR1, &ending, &before) != 0) common::invariant_broken("the prompt cannot handle a signal");
  const int read = common::kernel_sigaction(SIGUSR1, nullptr, &ours);
  if (::sigaction(SIGUSR1, &before, nullptr) != 0 || read != 0) {
    common::invariant_broken("the prompt cannot read back its handler");
  }
  return ours;
}

void take_signals() {
  struct sigaction ending {};
  ending.sa_handler = restore_terminal_then_default;
  // No SA_RESTART: the line reader retries interrupted reads itself.
  ending.sa_mask = common::handled_signal_set();
  struct sigaction fault = ending;
  fault.sa_handler = restore_terminal_then_die;
  // An alternate stack, if the program set one up, still works when the
  // fault is a stack overflow.
  fault.sa_flags = static_cast<int>(SA_RESETHAND | SA_ONSTACK);
  const common::KernelSigaction ending_by_kernel = kernel_form_of(ending);

  common::for_each_handled_signal([&](int signo, SignalKind kind) {
    const std::size_t at = slot(signo);
    if (kind == SignalKind::Library) {
      common::KernelSigaction& previous = g_state.previous_by_kernel[at];
      if (common::kernel_sigaction(signo, nullptr, &previous) != 0) {
        common::invariant_broken("a signal's disposition cannot be read");
      }
      g_state.taken[at] = common::is_default_action(previous);
      if (g_state.taken[at] && common::kernel_sigaction(signo, &ending_by_kernel, nullptr) != 0) {
        common::invariant_broken("the prompt cannot handle a signal");
      }
      return;
    }
    struct sigaction& previous = g_state.previous[at];
    if (::sigaction(signo, nullptr, &previous) != 0) common::invariant_broken("a signal's disposition cannot be read");
    g_state.taken[at] = common::is_default_action(previous);
    if (g_state.taken[at] && ::sigaction(signo, kind == SignalKind::Fault ? &fault : &ending, nullptr) != 0) {
      common::invariant_broken("the prompt cannot handle a signal");
    }
  });
}

void give_signals_back() {
  common::for_each_handled_signal([](int signo, SignalKind kind) {
    const std::size_t at = slot(signo);
    if (g_state.taken[at]) {
      if (kind == SignalKind::Library) {
        (void)common::kernel_sigaction(signo, &g_state.previous_by_kernel[at], nullptr);
      } else {
        (void)::sigaction(signo, &g_state.previous[at], nullptr);
      }
    }
    g_state.taken[at] = false;
  });
}

}  // namespace

EchoOff::~EchoOff() {
  if (active_) (void)restore();
}

std::expected<void, common::IoError> EchoOff::start(int fd, const termios& saved, Reprompt reprompt) {
  if (active_ || g_echo_off != 0) common::invariant_broken("two hidden reads at once");
  const BlockedSignals blocked;
  g_state.fd = fd;
  g_state.saved = saved;
  g_state.hidden = saved;
  g_state.hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  g_state.reprompt = reprompt;
  take_signals();
  g_echo_off = 1;
  active_ = true;
  // Started in the background: the read stops the process, and echo goes off
  // when it is continued in the foreground.
  if (in_background()) return {};
  g_hidden = 1;
  if (::tcsetattr(fd, TCSAFLUSH, &g_state.hidden) != 0) {
    const int code = errno;
    g_hidden = 0;
    g_echo_off = 0;
    active_ = false;
    give_signals_back();
    return std::unexpected(common::IoError::from_os_code(code));
  }
  return {};
}

std::expected<void, common::IoError> EchoOff::restore() {
  if (!active_) common::invariant_broken("echo given back while not off");
  // A signal arriving from here on is held until the settings are back and
  // the previous dispositions are in place, then takes effect as before.
  const BlockedSignals blocked;
  // Not hidden when the read ended in the background (a process group left
  // without its shell reads EIO there): the shell's settings stay.
  const int result = g_hidden != 0 ? ::tcsetattr(g_state.fd, TCSAFLUSH, &g_state.saved) : 0;
  const int code = errno;
  g_hidden = 0;
  g_echo_off = 0;
  g_state.reprompt = {};
  give_signals_back();
  active_ = false;
  if (result != 0) return std::unexpected(common::IoError::from_os_code(code));
  return {};
}

}  // namespace prompt::detail
