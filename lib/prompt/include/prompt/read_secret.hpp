#pragma once

#include <expected>
#include <string_view>

#include "common/io_error.hpp"
#include "common/secret_bytes.hpp"

namespace prompt {

// What is written, as it is, when the process was stopped at the prompt and
// is continued in the foreground: after a stop the shell has written below
// the prompt, and the person must see where to type. Nothing when empty.
struct Reprompt {
  int fd = -1;
  std::string_view text;
};

// Reads one line from the controlling terminal with echo switched off:
// descriptor 0 when it is a terminal, otherwise "/dev/tty" (opened for this
// call only). Input typed before echo went off is discarded. The terminal
// settings are put back whatever happens, and a failure to put them back wins
// over the read's outcome. The line must be UTF-8; its trailing CR and LF
// bytes are removed, nothing else.
//
// While echo is off, every signal of the set in common/signal_sets.hpp that
// still has its default action (those that end or stop the process, the
// real-time ones and the faults) first puts the settings back and then takes
// its default effect; after a stop, once the process is continued in the
// foreground, echo goes off again, `reprompt` is written and reading goes on.
[[nodiscard]] std::expected<common::SecretBytes, common::IoError> read_secret(Reprompt reprompt = {});

}  // namespace prompt
