// Runs the password prompt with the settings given as arguments and reports
// the outcome on standard output, for the tests that drive it through a
// pseudo-terminal:
//   prompt_probe [--prompt TEXT] [--allow-empty] [--confirm PROMPT MESSAGE]
//                [--read-secret] [--ignore-sighup] [--catch-sigusr1]
//                [--report-stdin] [--report-signals]
// Output lines: "ok " and the entry in hex, or "error ", the debug form,
// then "display " and the display form; then, when asked, "stdin " and what
// was left on standard input in hex, and "signals as before" when every
// disposition of the signals in REPORTED is what it was before the prompt
// (else both, one letter per signal: D default, I ignored, C caught). A
// caught SIGUSR1 that arrived adds the line "caught SIGUSR1".
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/signal_sets.hpp"
#include "prompt/password_prompt.hpp"
#include "prompt/read_secret.hpp"
#include "test_bytes.hpp"

namespace {

// Every signal the prompt may take while echo is off, in this order: the
// ones that end or stop the process, then the faults; the real-time ones
// follow, the library's own first.
constexpr int REPORTED[] = {SIGINT,    SIGTERM,   SIGHUP,  SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGALRM, SIGUSR1,
                            SIGUSR2,   SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,   SIGSYS,  SIGPIPE, SIGPWR,
                            SIGSTKFLT, SIGABRT,   SIGSEGV, SIGBUS,  SIGFPE,  SIGILL,  SIGTRAP};

volatile sig_atomic_t g_caught_sigusr1 = 0;
extern "C" void note_sigusr1(int /*signo*/) { g_caught_sigusr1 = 1; }

std::string rest_of_standard_input() {
  std::string rest;
  char buffer[256];
  for (ssize_t got; (got = ::read(0, buffer, sizeof buffer)) > 0;) rest.append(buffer, static_cast<std::size_t>(got));
  return rest;
}

char disposition(int signo) {
  struct sigaction current {};
  ::sigaction(signo, nullptr, &current);
  if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL) return 'D';
  if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN) return 'I';
  return 'C';
}

// The library's own signals, which its sigaction() refuses, as the kernel
// has them.
char disposition_by_kernel(int signo) {
  common::KernelSigaction current{};
  (void)common::kernel_sigaction(signo, nullptr, &current);
  if (current.handler == reinterpret_cast<std::uintptr_t>(SIG_DFL)) return 'D';  // NOLINT: a cast constant
  if (current.handler == reinterpret_cast<std::uintptr_t>(SIG_IGN)) return 'I';  // NOLINT: a cast constant
  return 'C';
}

std::string dispositions() {
  std::string letters;
  for (const int signo : REPORTED) letters.push_back(disposition(signo));
  for (const int signo : common::LIBRARY_SIGNALS) letters.push_back(disposition_by_kernel(signo));
  for (int signo = SIGRTMIN; signo <= SIGRTMAX; ++signo) letters.push_back(disposition(signo));
  return letters;
}

template <class Outcome>
std::string report(const Outcome& outcome) {
  if (outcome) return "ok " + test_support::to_hex(outcome->bytes()) + "\n";
  return "error " + outcome.error().debug() + "\ndisplay " + outcome.error().display() + "\n";
}

}  // namespace

int main(int argc, char** argv) {
  // The tests end the probe with faults on purpose: no core files.
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  prompt::PasswordPrompt settings;
  bool direct = false;
  bool report_stdin = false;
  bool report_signals = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--prompt" && i + 1 < argc) {
      settings.with_prompt(argv[++i]);
    } else if (arg == "--allow-empty") {
      settings.with_allow_empty(true);
    } else if (arg == "--confirm" && i + 2 < argc) {
      settings.with_confirmation(argv[i + 1], argv[i + 2]);
      i += 2;
    } else if (arg == "--read-secret") {
      direct = true;
    } else if (arg == "--ignore-sighup") {
      ::signal(SIGHUP, SIG_IGN);
    } else if (arg == "--catch-sigusr1") {
      struct sigaction caught {};
      caught.sa_handler = note_sigusr1;
      sigemptyset(&caught.sa_mask);
      ::sigaction(SIGUSR1, &caught, nullptr);
    } else if (arg == "--report-stdin") {
      report_stdin = true;
    } else if (arg == "--report-signals") {
      report_signals = true;
    } else {
      std::fprintf(stderr, "prompt_probe: unknown argument %s\n", argv[i]);
      return 2;
    }
  }

  // A sanitizer may catch some of the faults itself.
  const std::string dispositions_before = dispositions();
  std::string out = direct ? report(prompt::read_secret()) : report(prompt::interact(std::move(settings)));
  if (report_stdin) out += "stdin " + test_support::to_hex(test_support::bytes_of(rest_of_standard_input())) + "\n";
  if (report_signals) {
    const std::string after = dispositions();
    out += "signals " + (after == dispositions_before ? "as before" : dispositions_before + " then " + after) + "\n";
  }
  if (g_caught_sigusr1 != 0) out += "caught SIGUSR1\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}
