#pragma once

namespace common {

// Initialises libsodium once per process; the one caller of sodium_init.
// Without it sodium_malloc does not know the page size, libsodium silently
// falls back to its portable (half as fast) Argon2, and its generator may
// not be seeded: every libsodium call goes through here first.
void ensure_sodium_ready();

}  // namespace common
