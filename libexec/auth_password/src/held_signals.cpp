#include "held_signals.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "common/invariant.hpp"
#include "common/signal_sets.hpp"

namespace auth_password {
namespace {

bool has_default_action(int signo) {
  struct sigaction current {};
  if (::sigaction(signo, nullptr, &current) != 0) common::invariant_broken("a signal's disposition cannot be read");
  return (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL;
}

// glibc's sigaction() refuses the library's own signals: asked of the
// kernel, whose structure starts with the handler.
bool has_default_action_by_kernel(int signo) {
  struct {
    std::uintptr_t handler;
    unsigned long flags;  // NOLINT(google-runtime-int): the kernel's layout
    std::uintptr_t restorer;
    std::uint64_t mask;
  } current{};
  if (::syscall(SYS_rt_sigaction, signo, nullptr, &current, sizeof current.mask) != 0) {
    common::invariant_broken("a signal's disposition cannot be read");
  }
  return current.handler == reinterpret_cast<std::uintptr_t>(SIG_DFL);  // NOLINT: SIG_DFL is a cast constant
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
  // Those the library keeps for itself: the program has one thread, so they
  // end it like any other real-time signal.
  for (const int signo : common::LIBRARY_SIGNALS) {
    if (!has_default_action_by_kernel(signo)) continue;
    common::add_signal_bit(signals.held, signo);
    common::add_signal_bit(signals.ending, signo);
  }
  // A stop with a write in flight leaves the daemon waiting, and it may give
  // up on the connection; SIGSTOP, like SIGKILL, cannot be held.
  for (const int signo : common::STOPPING_SIGNALS) {
    if (has_default_action(signo)) sigaddset(&signals.held, signo);
  }
  return signals;
}

}  // namespace auth_password
