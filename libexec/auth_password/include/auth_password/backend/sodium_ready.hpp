#pragma once

namespace auth_password::backend {

// Initialises libsodium once per process. Without it libsodium silently
// falls back to its portable (half as fast) Argon2 and may not have seeded
// its generator; every libsodium call in this library goes through here first.
void ensure_sodium_ready();

}  // namespace auth_password::backend
