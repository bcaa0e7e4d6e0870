#pragma once

#include <termios.h>

#include <expected>

#include "common/io_error.hpp"

namespace prompt::detail {

// Echo switched off on a terminal for the length of one read.
//
// A person whose program is interrupted, killed, suspended or crashes at the
// prompt must not be left at a terminal that hides what they type, so while
// echo is off every signal whose default action ends or stops the process
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGALRM, SIGUSR1, SIGUSR2 and the
// rest; the real-time signals excepted) puts the saved settings back before
// taking its default effect; a stopped process switches echo off again when
// it is continued. Faults and abort() (SIGABRT, SIGSEGV, SIGBUS, SIGFPE,
// SIGILL, SIGTRAP) put the settings back and are raised again with their
// default action. A signal that the process ignores or catches itself is left
// to it. Signal dispositions are process-wide, so only one EchoOff may be
// active at a time.
class EchoOff {
 public:
  EchoOff() = default;
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;
  ~EchoOff();

  // Applies `saved` without ECHO to `fd` with TCSAFLUSH, which also discards
  // anything typed ahead.
  [[nodiscard]] std::expected<void, common::IoError> start(int fd, const termios& saved);
  // Puts `saved` back (TCSAFLUSH) and hands the signals back.
  [[nodiscard]] std::expected<void, common::IoError> restore();

 private:
  bool active_ = false;
};

}  // namespace prompt::detail
