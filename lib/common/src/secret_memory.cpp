// Where secret bytes live: each buffer is a mapping of its own from
// libsodium, between guard pages, behind a canary checked when it is freed,
// locked in RAM where RLIMIT_MEMLOCK allows, excluded from core dumps, and
// wiped when it is freed. A run handles a handful of small secrets, so the
// few system calls each costs do not show beside the password hash.
#include <sodium.h>

#include "common/invariant.hpp"
#include "common/secret_bytes.hpp"
#include "common/sodium_ready.hpp"

namespace common {

void* allocate_secret_memory(std::size_t size) {
  ensure_sodium_ready();
  void* memory = sodium_malloc(size);
  if (memory == nullptr) invariant_broken("out of memory for a secret");
  return memory;
}

void release_secret_memory(void* memory) noexcept { sodium_free(memory); }

}  // namespace common
