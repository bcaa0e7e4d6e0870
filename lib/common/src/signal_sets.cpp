#include "common/signal_sets.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace common {

// The kernel's sigset is one 64-bit word on Linux: _NSIG / 8 bytes.
constexpr std::size_t KERNEL_SIGSET_BYTES = 8;

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
