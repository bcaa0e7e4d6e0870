// Any text either parses to a UUID whose hyphenated form parses back to the
// same value, or gets one of the four diagnoses.
#include <cstdlib>
#include <string_view>

#include "common/uuid.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = common::parse_uuid(text);
  if (parsed) {
    const auto again = common::parse_uuid(parsed->hyphenated());
    if (!again || *again != *parsed) std::abort();
  } else {
    (void)parsed.error().debug();
    (void)parsed.error().display();
  }
  return 0;
}
