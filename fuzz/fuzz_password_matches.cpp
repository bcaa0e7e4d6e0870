// Stored hashes of any shape against a fixed password: an error or a boolean,
// never a crash. Caps far below the program's keep each run to a few
// milliseconds, so the fuzzer explores the parsing and the engine choice.
#include <cstdlib>
#include <string_view>

#include "auth_password/backend/password_hash.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace auth_password::backend;
  constexpr StoredHashCaps tiny{.max_memory_kib = 64, .max_passes = 2, .max_lanes = 4};
  constexpr std::string_view password = "password";
  const auto result = password_matches_within(
      tiny, {data, size}, {reinterpret_cast<const std::uint8_t*>(password.data()), password.size()});
  if (!result) {
    (void)result.error().display();
    (void)result.error().debug();
  }
  return 0;
}
