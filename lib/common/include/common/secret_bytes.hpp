#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/bytes.hpp"

namespace common {

// Memory for secrets: guarded, kept out of core dumps, locked in RAM where
// the limits allow, and wiped when it is given back.
void* allocate_secret_memory(std::size_t size);
void release_secret_memory(void* memory) noexcept;

template <class T>
struct SecretAllocator {
  using value_type = T;
  SecretAllocator() noexcept = default;
  template <class U>
  SecretAllocator(const SecretAllocator<U>& /*other*/) noexcept {}  // NOLINT(google-explicit-constructor)
  T* allocate(std::size_t n) { return static_cast<T*>(allocate_secret_memory(n * sizeof(T))); }
  void deallocate(T* p, std::size_t /*n*/) noexcept { release_secret_memory(p); }
  template <class U>
  bool operator==(const SecretAllocator<U>& /*other*/) const noexcept {
    return true;
  }
};

// Bytes that must not outlive their use: passwords, envelope keys, master
// keys. Every buffer it ever held is wiped over its whole capacity when it is
// released, growth included; copies are made only on request (copy_of).
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(std::size_t size);  // zero-filled
  [[nodiscard]] static SecretBytes copy_of(std::span<const std::uint8_t> bytes);
  [[nodiscard]] static SecretBytes copy_of(std::string_view text);

  SecretBytes(SecretBytes&& other) noexcept = default;
  SecretBytes& operator=(SecretBytes&& other) noexcept = default;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() = default;

  [[nodiscard]] std::size_t size() const noexcept { return bytes_.size(); }
  [[nodiscard]] bool empty() const noexcept { return bytes_.empty(); }
  [[nodiscard]] std::size_t capacity() const noexcept { return bytes_.capacity(); }
  [[nodiscard]] const std::uint8_t* data() const noexcept { return bytes_.data(); }
  [[nodiscard]] std::uint8_t* data() noexcept { return bytes_.data(); }
  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return bytes_; }
  [[nodiscard]] std::span<std::uint8_t> bytes() noexcept { return bytes_; }
  // The bytes seen as text (no check that they are UTF-8).
  [[nodiscard]] std::string_view text() const noexcept { return text_of(bytes_); }

  void reserve(std::size_t n) { bytes_.reserve(n); }
  void push_back(std::uint8_t byte) { bytes_.push_back(byte); }
  void append(std::span<const std::uint8_t> more) { bytes_.insert(bytes_.end(), more.begin(), more.end()); }
  // Shrinking wipes the bytes cut off; growing adds zero bytes.
  void resize(std::size_t n);
  // Wipes every byte and empties; the capacity stays.
  void clear() noexcept;

  // Same length and bytes, compared in constant time for a given length.
  [[nodiscard]] bool equals(std::span<const std::uint8_t> other) const noexcept;

 private:
  std::vector<std::uint8_t, SecretAllocator<std::uint8_t>> bytes_;
};

// Zero-fills memory in a way the compiler may not remove.
void wipe(void* memory, std::size_t size) noexcept;

}  // namespace common
