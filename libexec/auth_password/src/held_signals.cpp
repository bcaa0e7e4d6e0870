#include "held_signals.hpp"

#include <cstdlib>

#include "common/signal_sets.hpp"

namespace auth_password {
namespace {

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
  for (const int signo : common::ENDING_SIGNALS) hold_ending(signo);
  // Held, a fault still ends the process when it raises one itself: the
  // kernel delivers a fault caused by an instruction whatever the mask says,
  // and abort() unblocks SIGABRT before raising it. Only the same signals sent
  // by another process are held.
  for (const int signo : common::FAULT_SIGNALS) hold_ending(signo);
  // The C library keeps the real-time signals below SIGRTMIN for itself.
  for (int signo = SIGRTMIN; signo <= SIGRTMAX; ++signo) hold_ending(signo);
  // A stop with a write in flight leaves the daemon waiting, and it may give
  // up on the connection; SIGSTOP, like SIGKILL, cannot be held.
  for (const int signo : common::STOPPING_SIGNALS) {
    if (has_default_action(signo)) sigaddset(&signals.held, signo);
  }
  return signals;
}

}  // namespace auth_password
