// Whatever bytes arrive, what terminal_safe() gives back holds nothing a
// terminal would act on: no C0 control or DEL byte, no C1 control, no
// bidirectional override or isolate, no byte outside valid UTF-8 (the made
// text is its own safe form, so every invalid byte has been replaced), and
// a text of printable ASCII alone comes back as it was.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/quote.hpp"

namespace {

bool printable_ascii(std::string_view text) {
  return std::ranges::all_of(text, [](char c) { return c >= 0x20 && c < 0x7f; });
}

// Encoded as UTF-8: U+0080..U+009F are C2 80..C2 9F; U+202A..U+202E are
// E2 80 AA..AE; U+2066..U+2069 are E2 81 A6..A9.
bool holds_control_or_override(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<std::uint8_t>(text[i]);
    if (byte < 0x20 || byte == 0x7f) return true;
    if (i + 1 < text.size() && byte == 0xC2 && static_cast<std::uint8_t>(text[i + 1]) <= 0x9F) return true;
    if (i + 2 < text.size() && byte == 0xE2) {
      const auto second = static_cast<std::uint8_t>(text[i + 1]);
      const auto third = static_cast<std::uint8_t>(text[i + 2]);
      if (second == 0x80 && third >= 0xAA && third <= 0xAE) return true;
      if (second == 0x81 && third >= 0xA6 && third <= 0xA9) return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string safe = common::terminal_safe(text);
  if (holds_control_or_override(safe)) std::abort();
  if (common::terminal_safe(safe) != safe) std::abort();
  if (printable_ascii(text) && safe != text) std::abort();
  return 0;
}
