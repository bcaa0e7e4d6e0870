#pragma once

#include <csignal>

#include <array>

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
// Those of job control, which stop it.
inline constexpr std::array STOPPING_SIGNALS{SIGTSTP, SIGTTIN, SIGTTOU};

}  // namespace common
