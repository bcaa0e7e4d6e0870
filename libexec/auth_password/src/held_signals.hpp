#pragma once

#include <csignal>

namespace auth_password {

// The signals a change holds from its first write on, as the process's
// dispositions stand when it asks: every signal that would end or stop the
// process and that can be blocked (`held`), and among them those that would
// end it (`ending`), which are how someone asks the program to stop. A signal
// that is ignored or caught would do neither, and is left as it is.
struct HeldSignals {
  sigset_t held;
  sigset_t ending;
};

[[nodiscard]] HeldSignals signals_to_hold();

}  // namespace auth_password
