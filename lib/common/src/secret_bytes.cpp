#include "common/secret_bytes.hpp"

#include <sodium.h>

#include <cstdlib>
#include <new>

namespace common {
namespace {

void ensure_sodium() {
  // sodium_init is idempotent; -1 means the library cannot work at all.
  static const bool ready = sodium_init() >= 0;
  if (!ready) std::abort();
}

}  // namespace

void* allocate_secret_memory(std::size_t size) {
  ensure_sodium();
  // sodium_malloc surrounds the block with guard pages, locks it (a failure
  // to lock is not fatal there) and excludes it from core dumps.
  void* memory = sodium_malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void release_secret_memory(void* memory) noexcept {
  // Wipes the whole block, unlocks and unmaps it.
  sodium_free(memory);
}

void wipe(void* memory, std::size_t size) noexcept {
  if (size != 0) sodium_memzero(memory, size);
}

SecretBytes::SecretBytes(std::size_t size) : bytes_(size, 0) {}

SecretBytes SecretBytes::copy_of(std::span<const std::uint8_t> bytes) {
  SecretBytes copy;
  copy.bytes_.assign(bytes.begin(), bytes.end());
  return copy;
}

SecretBytes SecretBytes::copy_of(std::string_view text) {
  return copy_of(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void SecretBytes::resize(std::size_t n) {
  if (n < bytes_.size()) wipe(bytes_.data() + n, bytes_.size() - n);
  bytes_.resize(n, 0);
}

void SecretBytes::clear() noexcept {
  wipe(bytes_.data(), bytes_.size());
  bytes_.clear();
}

bool SecretBytes::equals(std::span<const std::uint8_t> other) const noexcept {
  if (other.size() != bytes_.size()) return false;
  if (bytes_.empty()) return true;
  return sodium_memcmp(bytes_.data(), other.data(), bytes_.size()) == 0;
}

}  // namespace common
