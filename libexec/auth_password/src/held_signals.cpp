#include "held_signals.hpp"

#include <array>
#include <cstdlib>

namespace auth_password {
namespace {

// Every signal whose default action ends the process, with or without a core
// dump, besides the real-time ones. Held, the faults among them still end the
// process when it raises them itself: the kernel delivers a fault caused by
// an instruction whatever the mask says, and abort() unblocks SIGABRT before
// raising it. Only the same signals sent by another process are held.
constexpr std::array ENDING_SIGNALS{SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,
                                    SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU,
                                    SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS};
// A stop with a write in flight leaves the daemon waiting, and it may give up
// on the connection. SIGSTOP, like SIGKILL, cannot be held.
constexpr std::array STOPPING_SIGNALS{SIGTSTP, SIGTTIN, SIGTTOU};

bool has_default_action(int signo) {
  struct sigaction current {};
  if (::sigaction(signo, nullptr, &current) != 0) std::abort();  // a valid number, asked about only
  return (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL;
}

}  // namespace

HeldSignals signals_to_hold() {
  HeldSignals signals{};
  sigemptyset(&signals.held);
  sigemptyset(&signals.ending);
  const auto hold_ending = [&signals](int signo) {
    if (!has_default_action(signo)) return;
    sigaddset(&signals.held, signo);
    sigaddset(&signals.ending, signo);
  };
  for (const int signo : ENDING_SIGNALS) hold_ending(signo);
  // The C library keeps the real-time signals below SIGRTMIN for itself.
  for (int signo = SIGRTMIN; signo <= SIGRTMAX; ++signo) hold_ending(signo);
  for (const int signo : STOPPING_SIGNALS) {
    if (has_default_action(signo)) sigaddset(&signals.held, signo);
  }
  return signals;
}

}  // namespace auth_password
