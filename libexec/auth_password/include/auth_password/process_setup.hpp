#pragma once

namespace auth_password {

// Run first thing in main: make the process undumpable and untraceable by
// its peers; ignore SIGPIPE, so a write to a peer that has gone
// fails with EPIPE instead of killing us, and reopen on /dev/null any of the
// descriptors 0, 1 and 2 that is closed, so no file we open later can land on
// a standard descriptor. A failure here ends the process abnormally.
void prepare_process();

}  // namespace auth_password
