#pragma once

#include <termios.h>

#include <expected>

#include "common/io_error.hpp"
#include "prompt/read_secret.hpp"

namespace prompt::detail {

// Echo switched off on a terminal for the length of one read.
//
// A person whose program is interrupted, killed, suspended or crashes at the
// prompt must not be left at a terminal that hides what they type, so while
// echo is off every signal of the set in common/signal_sets.hpp whose
// default action ends or stops the process (^C, ^Z and SIGTERM among them,
// every real-time signal, the two the C library keeps below SIGRTMIN
// included) puts the saved settings back before taking its default effect;
// a stopped process that is continued in the foreground switches echo off
// again and writes the reprompt. Faults and abort() put the settings back and
// are raised again with their default action. A signal that the process
// ignores or catches itself is left to it.
// The terminal is never changed from the background, where it belongs to the
// shell: a read there stops the process (SIGTTIN) until it is brought back.
// Signal dispositions are process-wide, so only one EchoOff may be active at
// a time.
class EchoOff {
 public:
  EchoOff() = default;
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;
  ~EchoOff();

  // Applies `saved` without ECHO to `fd` with TCSAFLUSH, which also discards
  // anything typed ahead. `reprompt` must stay valid until restore().
  [[nodiscard]] std::expected<void, common::IoError> start(int fd, const termios& saved, Reprompt reprompt = {});
  // Puts `saved` back (TCSAFLUSH) and hands the signals back.
  [[nodiscard]] std::expected<void, common::IoError> restore();

 private:
  bool active_ = false;
};

}  // namespace prompt::detail
