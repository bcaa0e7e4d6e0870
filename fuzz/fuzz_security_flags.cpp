// A flags text either parses to a set whose written form parses back to the
// same set, or is refused naming a piece of the text.
#include <cstdlib>
#include <string_view>

#include "tavrin_account/security_flags.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto flags = tavrin_account::parse_security_flags(text);
  if (!flags) {
    if (flags.error().piece.size() > text.size()) std::abort();
    (void)flags.error().debug();
    return 0;
  }
  const auto again = tavrin_account::parse_security_flags(tavrin_account::format_security_flags(*flags));
  if (!again || *again != *flags) std::abort();
  return 0;
}
