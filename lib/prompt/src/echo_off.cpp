#include "echo_off.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/invariant.hpp"
#include "common/signal_sets.hpp"

namespace prompt::detail {
namespace {

// A signal whose default action ends or stops the process may come from
// outside at any moment: the terminal is put back, the default action takes
// effect, and a process that lives on hides the input again. Job control
// stops with any of the three stopping signals (a person at a shell, or
// another process with kill), not only with ^Z. A fault, or abort(), means the
// process cannot go on: the terminal is put back and the signal is raised
// again with its default action. The real-time signals end the process too;
// the library's own (below SIGRTMIN), which its sigaction() and sigprocmask()
// refuse, are taken and masked with the system calls themselves: the process
// has a single thread at the prompt, so the library has no use for them.
using common::ENDING_SIGNALS;
using common::FAULT_SIGNALS;
using common::LIBRARY_SIGNALS;
using common::STOPPING_SIGNALS;

// Those the library's sigaction() takes.
template <class Each>
void for_each_signal(const Each& each) {
  for (const int signo : ENDING_SIGNALS) each(signo, false);
  for (int signo = SIGRTMIN; signo <= SIGRTMAX; ++signo) each(signo, false);
  for (const int signo : STOPPING_SIGNALS) each(signo, false);
  for (const int signo : FAULT_SIGNALS) each(signo, true);
}

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
  // By signal number.
  std::array<struct sigaction, NSIG> previous{};
  // The library's own signals, in the order of LIBRARY_SIGNALS.
  std::array<common::KernelSigaction, LIBRARY_SIGNALS.size()> previous_by_kernel{};
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

sigset_t signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for_each_signal([&set](int signo, bool /*fault*/) { sigaddset(&set, signo); });
  for (const int signo : LIBRARY_SIGNALS) common::add_signal_bit(set, signo);
  return set;
}

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
    const sigset_t set = signal_set();
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

void take_signals() {
  struct sigaction ending {};
  ending.sa_handler = restore_terminal_then_default;
  // No SA_RESTART: the line reader retries interrupted reads itself.
  ending.sa_mask = signal_set();
  struct sigaction fault = ending;
  fault.sa_handler = restore_terminal_then_die;
  // An alternate stack, if the program set one up, still works when the
  // fault is a stack overflow.
  fault.sa_flags = static_cast<int>(SA_RESETHAND | SA_ONSTACK);
  for_each_signal([&](int signo, bool is_fault) {
    struct sigaction& previous = g_state.previous[slot(signo)];
    if (::sigaction(signo, nullptr, &previous) != 0) common::invariant_broken("a signal's disposition cannot be read");
    const bool is_default = (previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_DFL;
    g_state.taken[slot(signo)] = is_default;
    if (is_default && ::sigaction(signo, is_fault ? &fault : &ending, nullptr) != 0) {
      common::invariant_broken("the prompt cannot handle a signal");
    }
  });

  // The kernel's form of `ending`, with the restorer the library sets for a
  // handler: set on a signal through the library, read back from the kernel,
  // and that signal's disposition put back. It is blocked all the while.
  common::KernelSigaction ours{};
  struct sigaction before {};
  if (::sigaction(SIGUSR1, &ending, &before) != 0) common::invariant_broken("the prompt cannot handle a signal");
  const int read = common::kernel_sigaction(SIGUSR1, nullptr, &ours);
  if (::sigaction(SIGUSR1, &before, nullptr) != 0 || read != 0) {
    common::invariant_broken("the prompt cannot read back its handler");
  }
  for (std::size_t i = 0; i < LIBRARY_SIGNALS.size(); ++i) {
    const int signo = LIBRARY_SIGNALS[i];
    common::KernelSigaction& previous = g_state.previous_by_kernel[i];
    if (common::kernel_sigaction(signo, nullptr, &previous) != 0) {
      common::invariant_broken("a signal's disposition cannot be read");
    }
    const bool is_default = previous.handler == reinterpret_cast<std::uintptr_t>(SIG_DFL);  // NOLINT: a cast constant
    g_state.taken[slot(signo)] = is_default;
    if (is_default && common::kernel_sigaction(signo, &ours, nullptr) != 0) {
      common::invariant_broken("the prompt cannot handle a signal");
    }
  }
}

void give_signals_back() {
  for_each_signal([](int signo, bool /*fault*/) {
    const std::size_t at = slot(signo);
    if (g_state.taken[at]) (void)::sigaction(signo, &g_state.previous[at], nullptr);
    g_state.taken[at] = false;
  });
  for (std::size_t i = 0; i < LIBRARY_SIGNALS.size(); ++i) {
    const std::size_t at = slot(LIBRARY_SIGNALS[i]);
    if (g_state.taken[at]) (void)common::kernel_sigaction(LIBRARY_SIGNALS[i], &g_state.previous_by_kernel[i], nullptr);
    g_state.taken[at] = false;
  }
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
