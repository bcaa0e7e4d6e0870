#include "common/utf8.hpp"

#include <utf8proc.h>

#include "common/bytes.hpp"

namespace common {

std::expected<void, Utf8Error> check_utf8(std::span<const std::uint8_t> bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes[at] < 0x80) {  // ASCII fast path
      ++at;
      continue;
    }
    utf8proc_int32_t code_point = 0;
    const auto left = static_cast<utf8proc_ssize_t>(bytes.size() - at);
    const utf8proc_ssize_t used =
        utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(bytes.data() + at), left, &code_point);
    if (used < 0) {
      // Tell an input that merely stops early from one that is broken.
      const std::uint8_t lead = bytes[at];
      std::size_t want = 1;
      if (lead >= 0xF5) {
        want = 1;
      } else if (lead >= 0xF0) {
        want = 4;
      } else if (lead >= 0xE0) {
        want = 3;
      } else if (lead >= 0xC2) {
        want = 2;
      }
      std::size_t seen = 1;
      while (seen < want && at + seen < bytes.size() && (bytes[at + seen] & 0xC0) == 0x80) ++seen;
      const bool truncated = want > 1 && seen == bytes.size() - at && seen < want;
      return std::unexpected(Utf8Error{at, truncated ? 0 : seen});
    }
    at += static_cast<std::size_t>(used);
  }
  return {};
}

std::expected<void, Utf8Error> check_utf8(std::string_view text) { return check_utf8(bytes_of(text)); }

std::string Utf8Error::display() const {
  if (error_length == 0) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
  }
  return "invalid utf-8 sequence of " + std::to_string(error_length) + " bytes from index " +
         std::to_string(valid_up_to);
}

std::string Utf8Error::debug() const {
  return "Utf8Error { valid_up_to: " + std::to_string(valid_up_to) +
         ", error_len: " + (error_length == 0 ? std::string("None") : "Some(" + std::to_string(error_length) + ")") +
         " }";
}

}  // namespace common
