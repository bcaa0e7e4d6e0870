#include "common/sodium_ready.hpp"

#include <sodium.h>

#include "common/invariant.hpp"

namespace common {

void ensure_sodium_ready() {
  // sodium_init is idempotent and thread-safe; -1 means libsodium cannot
  // work at all (no entropy source), which no input can cause.
  static const bool ready = sodium_init() >= 0;
  if (!ready) invariant_broken("libsodium cannot initialise");
}

}  // namespace common
