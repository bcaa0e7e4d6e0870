// Where secret bytes live.
//
// Secrets here are small (passwords, 32-byte keys) and short-lived, and a
// program run handles a handful of them. Giving each its own guarded mapping
// costs about ten system calls per allocation, more than sealing a key takes,
// so small blocks come from a few locked, undumpable chunks carved into
// power-of-two slots. A slot is wiped when it is given back and is reused
// only for secrets. Blocks too large for a slot get a guarded mapping of
// their own from libsodium.
#include <sodium.h>
#include <sys/mman.h>

#include <array>
#include <bit>
#include <cstdlib>
#include <mutex>
#include <new>

#include "common/secret_bytes.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace common {
namespace {

constexpr std::size_t kSmallestSlot = 32;
constexpr std::size_t kLargestSlot = 4096;
constexpr std::size_t kSlotClasses = 8;  // 32, 64, ..., 4096
constexpr std::size_t kChunkSize = std::size_t{64} * 1024;
static_assert(kSmallestSlot << (kSlotClasses - 1) == kLargestSlot);

// A free slot is off limits to the address sanitizer until it is handed out
// again, so a use after release is caught even though the memory stays ours.
void poison(void* memory, std::size_t size) {
#if defined(__SANITIZE_ADDRESS__)
  ASAN_POISON_MEMORY_REGION(memory, size);
#else
  (void)memory;
  (void)size;
#endif
}

void unpoison(void* memory, std::size_t size) {
#if defined(__SANITIZE_ADDRESS__)
  ASAN_UNPOISON_MEMORY_REGION(memory, size);
#else
  (void)memory;
  (void)size;
#endif
}

struct FreeSlot {
  FreeSlot* next;
};

class SlotPool {
 public:
  void* take(std::size_t size) {
    const std::size_t cls = slot_class(size);
    const std::size_t slot = slot_size(cls);
    const std::lock_guard lock(mutex_);
    void* memory = nullptr;
    if (FreeSlot* head = free_[cls]; head != nullptr) {
      unpoison(head, slot);
      free_[cls] = head->next;
      memory = head;
    } else {
      memory = carve(slot);
    }
    return memory;
  }

  void give_back(void* memory, std::size_t size) noexcept {
    const std::size_t cls = slot_class(size);
    const std::size_t slot = slot_size(cls);
    sodium_memzero(memory, slot);
    const std::lock_guard lock(mutex_);
    free_[cls] = new (memory) FreeSlot{free_[cls]};
    poison(memory, slot);
  }

 private:
  static std::size_t slot_class(std::size_t size) {
    const std::size_t rounded = std::bit_ceil(size < kSmallestSlot ? kSmallestSlot : size);
    return static_cast<std::size_t>(std::countr_zero(rounded) - std::countr_zero(kSmallestSlot));
  }
  static std::size_t slot_size(std::size_t cls) { return kSmallestSlot << cls; }

  // Each slot is aligned to its own size (chunks are page-aligned), so every
  // class hands out naturally aligned memory.
  void* carve(std::size_t slot) {
    std::size_t offset = (used_ + slot - 1) & ~(slot - 1);
    if (chunk_ == nullptr || offset + slot > kChunkSize) {
      chunk_ = new_chunk();
      offset = 0;
    }
    used_ = offset + slot;
    return chunk_ + offset;
  }

  static std::byte* new_chunk() {
    void* chunk = ::mmap(nullptr, kChunkSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (chunk == MAP_FAILED) throw std::bad_alloc();
    // Never in a core dump; never swapped out where the limits allow locking.
    (void)::madvise(chunk, kChunkSize, MADV_DONTDUMP);
    (void)::mlock(chunk, kChunkSize);
    return static_cast<std::byte*>(chunk);
  }

  std::mutex mutex_;
  std::array<FreeSlot*, kSlotClasses> free_{};
  std::byte* chunk_ = nullptr;
  std::size_t used_ = 0;
};

SlotPool& slot_pool() {
  // Never destroyed: secrets may be released during static destruction.
  static auto* pool = new SlotPool;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
  return *pool;
}

void ensure_sodium() {
  // sodium_init is idempotent; -1 means the library cannot work at all.
  static const bool ready = sodium_init() >= 0;
  if (!ready) std::abort();
}

}  // namespace

void* allocate_secret_memory(std::size_t size) {
  ensure_sodium();
  if (size <= kLargestSlot) return slot_pool().take(size);
  // A guarded, locked, undumpable mapping that sodium_free wipes.
  void* memory = sodium_malloc(size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void release_secret_memory(void* memory, std::size_t size) noexcept {
  if (memory == nullptr) return;
  if (size <= kLargestSlot) {
    slot_pool().give_back(memory, size);
  } else {
    sodium_free(memory);
  }
}

}  // namespace common
