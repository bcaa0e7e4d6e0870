#pragma once

#include <csignal>

#include <array>
#include <cstdint>

namespace common {

// The signals by what their default action does to the process, for the
// places that must stand between such a signal and its effect: the prompt,
// which gives the terminal back first, and a password change, which holds
// them while it writes. The real-time signals, which also end the process,
// are numbered at run time (SIGRTMIN to SIGRTMAX) and are not listed here.

// Those that end it and may come from outside at any moment.
inline constexpr std::array ENDING_SIGNALS{SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM,
                                           SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,   SIGSYS,  SIGPIPE, SIGPWR,  SIGSTKFLT};
// Those of a fault, and abort(): they end it too, and when the process
// raises one itself it cannot go on.
inline constexpr std::array FAULT_SIGNALS{SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
// The real-time signals the C library keeps below SIGRTMIN for its threads.
// Their default action ends the process too, but sigaddset() refuses them
// and sigprocmask() drops them from a set: see add_library_signals.
inline constexpr std::array LIBRARY_SIGNALS{32, 33};
// Those of job control, which stop it.
inline constexpr std::array STOPPING_SIGNALS{SIGTSTP, SIGTTIN, SIGTTOU};

// Puts `signo` into `set` by the kernel's layout (bit signo - 1 of the
// first word), where sigaddset() will not put the library's own signals.
void add_signal_bit(sigset_t& set, int signo) noexcept;

// Blocks every signal in `set`, the library's own included, with the system
// call itself. Only for a program with a single thread, whose library then
// has no use for them.
[[nodiscard]] int block_signals_by_kernel(const sigset_t& set) noexcept;

// Changes the mask as sigprocmask() does, with the system call itself, so the
// library's own signals are neither dropped from `set` nor unblocked by
// SIG_SETMASK. `previous` may be null; only its first word is written.
[[nodiscard]] int mask_signals_by_kernel(int how, const sigset_t* set, sigset_t* previous) noexcept;

// The kernel's sigaction structure, in which sigaction() of the library's own
// signals, refused by the library, is asked of the kernel. A handler needs
// the restorer the library itself sets: take the whole structure from a
// signal the library has set up.
struct KernelSigaction {
  std::uintptr_t handler = 0;  // 0 is SIG_DFL
  unsigned long flags = 0;     // NOLINT(google-runtime-int): the kernel's layout
  std::uintptr_t restorer = 0;
  std::uint64_t mask = 0;
};

// rt_sigaction: either pointer may be null.
[[nodiscard]] int kernel_sigaction(int signo, const KernelSigaction* action, KernelSigaction* previous) noexcept;

// Sends `signo` to the calling thread, as raise() does for the signals the
// library lets it send.
[[nodiscard]] int raise_by_kernel(int signo) noexcept;

}  // namespace common
