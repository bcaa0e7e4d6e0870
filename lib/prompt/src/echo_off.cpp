#include "echo_off.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>

namespace prompt::detail {
namespace {

constexpr std::array kSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

// Shared with the signal handler. Written only while kSignals are blocked, so
// the handler never sees a half-updated state.
struct HandlerState {
  int fd = -1;
  termios saved{};
  termios hidden{};
  std::array<struct sigaction, kSignals.size()> previous{};
  std::array<bool, kSignals.size()> taken{};
};
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables): a signal
// handler can reach nothing else.
HandlerState g_state;
volatile sig_atomic_t g_echo_off = 0;
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

sigset_t signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signo : kSignals) sigaddset(&set, signo);
  return set;
}

// Everything here is async-signal-safe: tcsetattr, sigaction, sigprocmask, raise.
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
  struct sigaction ours {};
  ours.sa_handler = restore_terminal_then_default;
  // No SA_RESTART: the line reader retries interrupted reads itself.
  ours.sa_mask = signal_set();
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    if (::sigaction(kSignals[i], nullptr, &g_state.previous[i]) != 0) std::abort();
    const bool is_default =
        (g_state.previous[i].sa_flags & SA_SIGINFO) == 0 && g_state.previous[i].sa_handler == SIG_DFL;
    g_state.taken[i] = is_default;
    if (is_default && ::sigaction(kSignals[i], &ours, nullptr) != 0) std::abort();
  }
}

void give_signals_back() {
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    if (g_state.taken[i]) (void)::sigaction(kSignals[i], &g_state.previous[i], nullptr);
    g_state.taken[i] = false;
  }
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
