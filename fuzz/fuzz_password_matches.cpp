// Stored hashes of any shape: an error or a boolean, never a crash. A zero
// byte ends the stored hash and starts the password (empty included);
// without one the password is "password". A bound far below the program's
// keeps each run to a few milliseconds, so the fuzzer explores the parsing
// and the engine choice.
#include <cstdlib>
#include <string_view>

#include "password_backend/password_hash.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace password_backend;
  constexpr StoredHashBound tiny{.max_memory_kib = 64, .max_memory_passes = 128, .max_lanes = 8};
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string_view stored = input.substr(0, split);
  const std::string_view password = split == std::string_view::npos ? "password" : input.substr(split + 1);
  const auto as_bytes = [](std::string_view text) {
    return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  };
  const auto result = password_matches(as_bytes(stored), as_bytes(password), tiny);
  if (!result) {
    (void)result.error().display();
    (void)result.error().debug();
  }
  return 0;
}
