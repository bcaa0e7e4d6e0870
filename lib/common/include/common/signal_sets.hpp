#pragma once

#include <csignal>

#include <array>
#include <cstdint>

namespace common {

// Which signals the program stands between and their effect, and how. Two
// places do: the prompt, which gives the terminal its echo back first, and a
// password change, which holds them from its first write until the process
// exits. Both take only a signal that has its default action when they ask:
// one that is ignored or caught neither ends nor stops the process, and is
// left as it is. SIGKILL and SIGSTOP can be neither caught nor held.
//
//   kind       default   while echo is off             in the write phase
//   Ending     ends      echo back, then its effect    held; a request to stop
//   RealTime   ends      echo back, then its effect    held; a request to stop
//   Library    ends      as RealTime, by the kernel    held; a request to stop
//   Stopping   stops     echo back, stop; after `fg`   held
//                        echo off and the prompt again
//   Fault      ends      echo back, then raised again  held; a request to stop
//
// A fault the process causes itself still ends it while held: the kernel
// delivers a fault caused by an instruction whatever the mask says, and
// abort() unblocks SIGABRT before raising it. Only the same signals sent by
// another process are held.
enum class SignalKind : std::uint8_t { Ending, RealTime, Library, Stopping, Fault };

// Those that end it and may come from outside at any moment.
inline constexpr std::array ENDING_SIGNALS{SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM,
                                           SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,   SIGSYS,  SIGPIPE, SIGPWR,  SIGSTKFLT};
// The real-time signals, SIGRTMIN to SIGRTMAX, are numbered at run time.
//
// The real-time signals the C library keeps below SIGRTMIN for its threads.
// Their default action ends the process too, but sigaddset() and sigaction()
// refuse them and sigprocmask() drops them from a set: they are put in a set,
// taken and masked with the system calls themselves (below). The program has
// a single thread wherever it does so, and the library then has no use for
// them.
inline constexpr std::array LIBRARY_SIGNALS{32, 33};
// Those of job control, which stop it: any of the three (a person at a shell,
// or another process with kill), not only ^Z.
inline constexpr std::array STOPPING_SIGNALS{SIGTSTP, SIGTTIN, SIGTTOU};
// Those of a fault, and abort(): they end it too, and when the process
// raises one itself it cannot go on.
inline constexpr std::array FAULT_SIGNALS{SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};

[[nodiscard]] constexpr bool ends_process(SignalKind kind) noexcept { return kind != SignalKind::Stopping; }

// Calls `each(signo, kind)` for every signal of the table above.
template <class Each>
void for_each_handled_signal(const Each& each) {
  for (const int signo : ENDING_SIGNALS) each(signo, SignalKind::Ending);
  for (int signo = SIGRTMIN; signo <= SIGRTMAX; ++signo) each(signo, SignalKind::RealTime);
  for (const int signo : STOPPING_SIGNALS) each(signo, SignalKind::Stopping);
  for (const int signo : FAULT_SIGNALS) each(signo, SignalKind::Fault);
  for (const int signo : LIBRARY_SIGNALS) each(signo, SignalKind::Library);
}

// Every signal of the table, the library's own included, whatever its
// disposition: what the prompt blocks while it changes their handling.
[[nodiscard]] sigset_t handled_signal_set() noexcept;

// The signals a change holds from its first write on, as the process's
// dispositions stand when it asks: every signal of the table that has its
// default action (`held`), and among them those whose default action ends the
// process (`stop_requests`), which are how someone asks the program to stop.
struct WritePhaseSignals {
  sigset_t held;
  sigset_t stop_requests;
};

[[nodiscard]] WritePhaseSignals write_phase_signals();

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

// Whether a disposition, as the library or as the kernel gives it, is the
// default action.
[[nodiscard]] bool is_default_action(const struct sigaction& action) noexcept;
[[nodiscard]] bool is_default_action(const KernelSigaction& action) noexcept;

// Whether `signo`, of `kind`, has its default action now; the library's own
// signals are asked of the kernel.
[[nodiscard]] bool has_default_action(int signo, SignalKind kind);

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

// rt_sigaction: either pointer may be null.
[[nodiscard]] int kernel_sigaction(int signo, const KernelSigaction* action, KernelSigaction* previous) noexcept;

// Sends `signo` to the calling thread, as raise() does for the signals the
// library lets it send.
[[nodiscard]] int raise_by_kernel(int signo) noexcept;

}  // namespace common
