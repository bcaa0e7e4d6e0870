// Any text either parses to a hash string whose written form parses back to
// the same value, or gets a diagnosis that points inside the text.
#include <cstdlib>
#include <string_view>

#include "password_backend/phc_string.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using password_backend::format_phc_string;
  using password_backend::parse_phc_string;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = parse_phc_string(text);
  if (parsed) {
    const auto written = format_phc_string(*parsed);
    const auto again = parse_phc_string(written);
    if (!again || *again != *parsed || format_phc_string(*again) != written) std::abort();
  } else {
    if (parsed.error().position > size) std::abort();
    (void)parsed.error().display();
    (void)parsed.error().debug();
  }
  return 0;
}
