// Stored envelopes of any shape: one of the four errors or a master key, and
// whatever opens must seal and open again to the same bytes.
#include <cstdlib>
#include <string>

#include "password_backend/envelope.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace password_backend;
  // The first byte picks the password, so a corpus entry can carry an
  // envelope that really opens.
  const std::uint8_t password[] = {'p', 'w', size > 0 ? data[0] : std::uint8_t{0}};
  const auto key = envelope_key(password);
  const std::span<const std::uint8_t> envelope = size > 0 ? std::span(data + 1, size - 1) : std::span(data, 0);
  const auto opened = open_master_key(key, envelope);
  if (!opened) {
    const std::string text = opened.error().display();
    if (text != "invalid master key format" && text != "unknown crypto algorithm" && text != "Data too short" &&
        text != "decryption failure: Error") {
      std::abort();
    }
    return 0;
  }
  if (envelope.size() != opened->size() + 40) std::abort();
  const auto again = open_master_key(key, seal_master_key(key, opened->bytes()));
  if (!again || !again->equals(opened->bytes())) std::abort();
  return 0;
}
