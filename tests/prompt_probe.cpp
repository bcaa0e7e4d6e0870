// Runs the password prompt with the settings given as arguments and reports
// the outcome on standard output, for the tests that drive it through a
// pseudo-terminal:
//   prompt_probe [--prompt TEXT] [--allow-empty] [--confirm PROMPT MESSAGE]
//                [--read-secret] [--ignore-sighup] [--report-stdin] [--report-signals]
// Output lines: "ok " and the entry in hex, or "error ", the debug form,
// then "display " and the display form; then, when asked, "stdin " and what
// was left on standard input in hex, and "signals " and one letter per
// SIGINT SIGTERM SIGHUP SIGQUIT SIGTSTP disposition (D default, I ignored,
// C caught).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "prompt/password_prompt.hpp"
#include "prompt/read_secret.hpp"

namespace {

std::string hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const auto byte : bytes) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0xF]);
  }
  return out;
}

std::string hex(std::string_view text) {
  return hex(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

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

template <class Outcome>
std::string report(const Outcome& outcome) {
  if (outcome) return "ok " + hex(outcome->bytes()) + "\n";
  return "error " + outcome.error().debug() + "\ndisplay " + outcome.error().display() + "\n";
}

}  // namespace

int main(int argc, char** argv) {
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
    } else if (arg == "--report-stdin") {
      report_stdin = true;
    } else if (arg == "--report-signals") {
      report_signals = true;
    } else {
      std::fprintf(stderr, "prompt_probe: unknown argument %s\n", argv[i]);
      return 2;
    }
  }

  std::string out = direct ? report(prompt::read_secret()) : report(prompt::interact(std::move(settings)));
  if (report_stdin) out += "stdin " + hex(rest_of_standard_input()) + "\n";
  if (report_signals) {
    out += "signals ";
    for (const int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) out.push_back(disposition(signo));
    out += "\n";
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}
