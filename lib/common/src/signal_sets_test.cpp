#include "common/signal_sets.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// The set as the kernel reads it, where sigismember() may not look.
bool has_bit(const sigset_t& set, int signo) {
  std::uint64_t word = 0;
  std::memcpy(&word, &set, sizeof word);
  return (word >> static_cast<unsigned>(signo - 1) & 1U) != 0;
}

std::vector<int> every_ending_signal() {
  std::vector<int> signals(common::ENDING_SIGNALS.begin(), common::ENDING_SIGNALS.end());
  signals.insert(signals.end(), common::FAULT_SIGNALS.begin(), common::FAULT_SIGNALS.end());
  signals.insert(signals.end(), common::LIBRARY_SIGNALS.begin(), common::LIBRARY_SIGNALS.end());
  for (int signo = SIGRTMIN; signo <= SIGRTMAX; ++signo) signals.push_back(signo);
  return signals;
}

// Sets a disposition for the length of a test, through the kernel so that the
// library's own signals can be set too.
class Disposition {
 public:
  Disposition(int signo, std::uintptr_t handler) : signo_(signo) {
    common::KernelSigaction changed{};
    if (common::kernel_sigaction(signo, nullptr, &before_) != 0) std::abort();
    changed = before_;
    changed.handler = handler;
    // A handler taking siginfo (a sanitizer's, say) leaves its flag behind.
    changed.flags &= ~static_cast<unsigned long>(SA_SIGINFO);  // NOLINT(google-runtime-int): the kernel's word
    if (common::kernel_sigaction(signo, &changed, nullptr) != 0) std::abort();
  }
  Disposition(const Disposition&) = delete;
  Disposition& operator=(const Disposition&) = delete;
  ~Disposition() { (void)common::kernel_sigaction(signo_, &before_, nullptr); }

 private:
  int signo_;
  common::KernelSigaction before_{};
};

extern "C" void ignore_signal(int /*signo*/) {}

TEST(SignalSets, AChangeHoldsEverySignalThatWouldEndOrStopTheProcessAndOnlyTheEndingOnesAskItToStop) {
  // A sanitizer catches the faults itself; the program meets them at their
  // default action.
  const auto by_default = reinterpret_cast<std::uintptr_t>(SIG_DFL);  // NOLINT: a cast constant
  std::vector<std::unique_ptr<Disposition>> faults;
  for (const int signo : common::FAULT_SIGNALS) faults.push_back(std::make_unique<Disposition>(signo, by_default));
  const common::WritePhaseSignals signals = common::write_phase_signals();
  faults.clear();
  for (const int signo : every_ending_signal()) {
    SCOPED_TRACE(signo);
    EXPECT_TRUE(has_bit(signals.held, signo));
    EXPECT_TRUE(has_bit(signals.stop_requests, signo));
  }
  for (const int signo : common::STOPPING_SIGNALS) {
    SCOPED_TRACE(signo);
    EXPECT_TRUE(has_bit(signals.held, signo));
    EXPECT_FALSE(has_bit(signals.stop_requests, signo));
  }
  // Neither can be held; nor does SIGCHLD, SIGCONT, SIGWINCH or SIGURG end or
  // stop the process.
  for (const int signo : {SIGKILL, SIGSTOP, SIGCHLD, SIGCONT, SIGWINCH, SIGURG}) {
    SCOPED_TRACE(signo);
    EXPECT_FALSE(has_bit(signals.held, signo));
    EXPECT_FALSE(has_bit(signals.stop_requests, signo));
  }
}

TEST(SignalSets, ASignalIgnoredOrCaughtIsLeftAsItIs) {
  const auto ignored = reinterpret_cast<std::uintptr_t>(SIG_IGN);  // NOLINT: a cast constant
  const Disposition hup(SIGHUP, ignored);
  const Disposition ttou(SIGTTOU, ignored);
  const Disposition real_time(SIGRTMIN + 1, ignored);
  const Disposition library(33, ignored);
  struct sigaction catching {};
  catching.sa_handler = ignore_signal;
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGUSR2, &catching, &before), 0);
  const common::WritePhaseSignals signals = common::write_phase_signals();
  (void)::sigaction(SIGUSR2, &before, nullptr);
  for (const int signo : {SIGHUP, SIGTTOU, SIGRTMIN + 1, 33, SIGUSR2}) {
    SCOPED_TRACE(signo);
    EXPECT_FALSE(has_bit(signals.held, signo));
    EXPECT_FALSE(has_bit(signals.stop_requests, signo));
  }
  for (const int signo : {SIGINT, SIGTSTP, SIGRTMIN, 32}) EXPECT_TRUE(has_bit(signals.held, signo)) << signo;
}

TEST(SignalSets, ThePromptBlocksEveryHandledSignalWhateverItsDisposition) {
  const Disposition hup(SIGHUP, reinterpret_cast<std::uintptr_t>(SIG_IGN));  // NOLINT: a cast constant
  const sigset_t set = common::handled_signal_set();
  for (const int signo : every_ending_signal()) EXPECT_TRUE(has_bit(set, signo)) << signo;
  for (const int signo : common::STOPPING_SIGNALS) EXPECT_TRUE(has_bit(set, signo)) << signo;
  EXPECT_FALSE(has_bit(set, SIGCHLD));
  EXPECT_FALSE(has_bit(set, SIGWINCH));
}

}  // namespace
