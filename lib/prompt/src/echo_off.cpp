#include "echo_off.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>

namespace prompt::detail {
namespace {

// Signals whose default action ends the process (or, for SIGTSTP, stops it)
// and that may come from outside at any moment: the terminal is put back, the
// default action takes effect, and a process that lives on hides the input
// again.
constexpr std::array ENDING_SIGNALS{SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGTSTP, SIGALRM, SIGUSR1, SIGUSR2,  SIGVTALRM,
                                    SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,   SIGSYS,  SIGPIPE, SIGPWR,  SIGSTKFLT};
// Signals of a fault, and abort(): the process cannot go on, so the terminal
// is put back and the signal is raised again with its default action.
constexpr std::array FAULT_SIGNALS{SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};

template <class Each>
void for_each_signal(const Each& each) {
  for (const int signo : ENDING_SIGNALS) each(signo, false);
  for (const int signo : FAULT_SIGNALS) each(signo, true);
}

// Shared with the signal handlers. Written only while the signals are
// blocked, so a handler never sees a half-updated state.
struct HandlerState {
  int fd = -1;
  termios saved{};
  termios hidden{};
  // By signal number.
  std::array<struct sigaction, NSIG> previous{};
  std::array<bool, NSIG> taken{};
};
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables): a signal
// handler can reach nothing else.
HandlerState g_state;
volatile sig_atomic_t g_echo_off = 0;
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

sigset_t signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for_each_signal([&set](int signo, bool /*fault*/) { sigaddset(&set, signo); });
  return set;
}

// Everything in the handlers is async-signal-safe: tcsetattr, sigaction,
// sigprocmask, raise.
extern "C" void restore_terminal_then_default(int signo) {
  const int saved_errno = errno;
  if (g_echo_off != 0) (void)::tcsetattr(g_state.fd, TCSAFLUSH, &g_state.saved);

  struct sigaction ours {};
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  (void)::sigaction(signo, &fallback, &ours);

  // The signal is blocked while its handler runs: raise it now, and it
  // arrives with its default effect when it is unblocked. Terminating signals
  // end the process there; SIGTSTP stops it and returns after SIGCONT.
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signo);
  sigset_t mask_in_handler;
  (void)::raise(signo);
  (void)::sigprocmask(SIG_UNBLOCK, &only, &mask_in_handler);
  (void)::sigprocmask(SIG_SETMASK, &mask_in_handler, nullptr);

  (void)::sigaction(signo, &ours, nullptr);
  if (g_echo_off != 0) (void)::tcsetattr(g_state.fd, TCSAFLUSH, &g_state.hidden);
  errno = saved_errno;
}

// SA_RESETHAND has put the default action back on entry. The raised signal
// takes effect as soon as it is unblocked; a fault raised by an instruction
// would come back anyway when that instruction runs again.
extern "C" void restore_terminal_then_die(int signo) {
  if (g_echo_off != 0) (void)::tcsetattr(g_state.fd, TCSAFLUSH, &g_state.saved);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signo);
  (void)::raise(signo);
  (void)::sigprocmask(SIG_UNBLOCK, &only, nullptr);
}

class BlockedSignals {
 public:
  BlockedSignals() {
    const sigset_t set = signal_set();
    if (::sigprocmask(SIG_BLOCK, &set, &before_) != 0) std::abort();
  }
  BlockedSignals(const BlockedSignals&) = delete;
  BlockedSignals& operator=(const BlockedSignals&) = delete;
  ~BlockedSignals() { (void)::sigprocmask(SIG_SETMASK, &before_, nullptr); }

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
    struct sigaction& previous = g_state.previous.at(static_cast<std::size_t>(signo));
    if (::sigaction(signo, nullptr, &previous) != 0) std::abort();
    const bool is_default = (previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_DFL;
    g_state.taken.at(static_cast<std::size_t>(signo)) = is_default;
    if (is_default && ::sigaction(signo, is_fault ? &fault : &ending, nullptr) != 0) std::abort();
  });
}

void give_signals_back() {
  for_each_signal([](int signo, bool /*fault*/) {
    const auto at = static_cast<std::size_t>(signo);
    if (g_state.taken.at(at)) (void)::sigaction(signo, &g_state.previous.at(at), nullptr);
    g_state.taken.at(at) = false;
  });
}

}  // namespace

EchoOff::~EchoOff() {
  if (active_) (void)restore();
}

std::expected<void, common::IoError> EchoOff::start(int fd, const termios& saved) {
  if (active_ || g_echo_off != 0) std::abort();  // one hidden read at a time
  const BlockedSignals blocked;
  g_state.fd = fd;
  g_state.saved = saved;
  g_state.hidden = saved;
  g_state.hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  take_signals();
  g_echo_off = 1;
  if (::tcsetattr(fd, TCSAFLUSH, &g_state.hidden) != 0) {
    const int code = errno;
    g_echo_off = 0;
    give_signals_back();
    return std::unexpected(common::IoError::from_os_code(code));
  }
  active_ = true;
  return {};
}

std::expected<void, common::IoError> EchoOff::restore() {
  if (!active_) std::abort();
  // A signal arriving from here on is held until the settings are back and
  // the previous dispositions are in place, then takes effect as before.
  const BlockedSignals blocked;
  const int result = ::tcsetattr(g_state.fd, TCSAFLUSH, &g_state.saved);
  const int code = errno;
  g_echo_off = 0;
  give_signals_back();
  active_ = false;
  if (result != 0) return std::unexpected(common::IoError::from_os_code(code));
  return {};
}

}  // namespace prompt::detail
