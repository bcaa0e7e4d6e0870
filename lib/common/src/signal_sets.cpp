#include "common/signal_sets.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/invariant.hpp"

namespace common {
namespace {

// The kernel's sigset is one 64-bit word on Linux: _NSIG / 8 bytes.
constexpr std::size_t KERNEL_SIGSET_BYTES = 8;

// sigaddset() for every signal it takes, the kernel's layout for the rest.
void add_handled_signal(sigset_t& set, int signo, SignalKind kind) noexcept {
  if (kind == SignalKind::Library) {
    add_signal_bit(set, signo);
  } else {
    sigaddset(&set, signo);
  }
}

}  // namespace

sigset_t handled_signal_set() noexcept {
  sigset_t set;
  sigemptyset(&set);
  for_each_handled_signal([&set](int signo, SignalKind kind) { add_handled_signal(set, signo, kind); });
  return set;
}

WritePhaseSignals write_phase_signals() {
  WritePhaseSignals signals{};
  sigemptyset(&signals.held);
  sigemptyset(&signals.stop_requests);
  for_each_handled_signal([&signals](int signo, SignalKind kind) {
    if (!has_default_action(signo, kind)) return;
    add_handled_signal(signals.held, signo, kind);
    if (ends_process(kind)) add_handled_signal(signals.stop_requests, signo, kind);
  });
  return signals;
}

bool is_default_action(const struct sigaction& action) noexcept {
  return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_DFL;
}

bool is_default_action(const KernelSigaction& action) noexcept {
  return action.handler == reinterpret_cast<std::uintptr_t>(SIG_DFL);  // NOLINT: SIG_DFL is a cast constant
}

bool has_default_action(int signo, SignalKind kind) {
  if (kind == SignalKind::Library) {
    KernelSigaction current{};
    if (kernel_sigaction(signo, nullptr, &current) != 0) invariant_broken("a signal's disposition cannot be read");
    return is_default_action(current);
  }
  struct sigaction current {};
  if (::sigaction(signo, nullptr, &current) != 0) invariant_broken("a signal's disposition cannot be read");
  return is_default_action(current);
}

void add_signal_bit(sigset_t& set, int signo) noexcept {
  unsigned long word = 0;  // NOLINT(google-runtime-int): the kernel's word type
  std::memcpy(&word, &set, sizeof word);
  word |= 1UL << static_cast<unsigned>(signo - 1);
  std::memcpy(&set, &word, sizeof word);
}

int block_signals_by_kernel(const sigset_t& set) noexcept { return mask_signals_by_kernel(SIG_BLOCK, &set, nullptr); }

int mask_signals_by_kernel(int how, const sigset_t* set, sigset_t* previous) noexcept {
  return static_cast<int>(::syscall(SYS_rt_sigprocmask, how, set, previous, KERNEL_SIGSET_BYTES));
}

int kernel_sigaction(int signo, const KernelSigaction* action, KernelSigaction* previous) noexcept {
  return static_cast<int>(::syscall(SYS_rt_sigaction, signo, action, previous, KERNEL_SIGSET_BYTES));
}

int raise_by_kernel(int signo) noexcept {
  return static_cast<int>(::syscall(SYS_tgkill, ::getpid(), ::gettid(), signo));
}

}  // namespace common
