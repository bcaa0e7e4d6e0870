#pragma once

#include <expected>

#include "common/io_error.hpp"
#include "common/secret_bytes.hpp"

namespace prompt {

// Reads one line from the controlling terminal with echo switched off:
// descriptor 0 when it is a terminal, otherwise "/dev/tty" (opened for this
// call only). Input typed before echo went off is discarded. The terminal
// settings are put back whatever happens, and a failure to put them back wins
// over the read's outcome. The line must be UTF-8; its trailing CR and LF
// bytes are removed, nothing else.
//
// While echo is off, SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGTSTP first put
// the settings back and then take their default effect; after a stop, echo
// goes off again once the process is continued and reading goes on.
[[nodiscard]] std::expected<common::SecretBytes, common::IoError> read_secret();

}  // namespace prompt
