#include "common/quote.hpp"

#include <utf8proc.h>

#include <array>
#include <cstdint>
#include <string_view>

namespace common {
namespace {

// Printable means: not a control, format, surrogate, private-use, unassigned
// or separator character, the ordinary blank excepted.
bool is_printable(utf8proc_int32_t c) {
  if (c == 0x20) return true;
  switch (utf8proc_category(c)) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP: return false;
    default: return true;
  }
}

// Grapheme_Extend: the grapheme-break class Extend without the emoji skin-tone
// modifiers, which are symbols in their own right.
bool only_combines(utf8proc_int32_t c) {
  return utf8proc_get_property(c)->boundclass == UTF8PROC_BOUNDCLASS_EXTEND &&
         utf8proc_category(c) != UTF8PROC_CATEGORY_SK;
}

void append_hex_escape(std::string& out, const char* prefix, std::uint32_t value) {
  static constexpr std::array<char, 16> digits{'0', '1', '2', '3', '4', '5', '6', '7',
                                               '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
  out += prefix;
  bool started = false;
  for (int shift = 28; shift >= 0; shift -= 4) {
    const std::uint32_t nibble = (value >> static_cast<unsigned>(shift)) & 0xFU;
    if (nibble != 0 || started || shift == 0) {
      out += digits[nibble];
      started = true;
    }
  }
  out += '}';
}

// The controls that have a letter of their own; every other character that
// must not stand as it is goes out as its code point. Shared by every form
// that escapes, so a character reads the same wherever it is shown.
struct NamedEscape {
  utf8proc_int32_t character;
  std::string_view written;
};
constexpr std::array<NamedEscape, 4> NAMED_ESCAPES{{{'\t', "\\t"}, {'\r', "\\r"}, {'\n', "\\n"}, {'\0', "\\0"}}};

void append_escaped(std::string& out, utf8proc_int32_t c) {
  for (const auto& named : NAMED_ESCAPES) {
    if (named.character == c) {
      out += named.written;
      return;
    }
  }
  append_hex_escape(out, "\\u{", static_cast<std::uint32_t>(c));
}

// What every escaping form writes as an escape rather than as itself: a
// terminal may act on a control instead of showing it, a format or
// separator character can reorder or hide the text around it, and a mark
// that only combines would sit on the character before it.
bool must_escape(utf8proc_int32_t c) { return !is_printable(c) || only_combines(c); }

std::string quote_with(std::string_view text, char delimiter) {
  std::string out;
  out.reserve(text.size() + 2);
  out += delimiter;
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  std::size_t at = 0;
  while (at < text.size()) {
    utf8proc_int32_t c = 0;
    const utf8proc_ssize_t used = utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &c);
    if (used < 0) {
      append_hex_escape(out, "\\x{", bytes[at]);
      ++at;
      continue;
    }
    switch (c) {
      case '"':
      case '\'':
        // Only the delimiter in use needs a backslash.
        if (c == delimiter) out += '\\';
        out += static_cast<char>(c);
        break;
      case '\\': out += "\\\\"; break;
      default:
        if (must_escape(c)) {
          append_escaped(out, c);
        } else {
          out.append(text.substr(at, static_cast<std::size_t>(used)));
        }
    }
    at += static_cast<std::size_t>(used);
  }
  out += delimiter;
  return out;
}

}  // namespace

std::string quoted(std::string_view text) { return quote_with(text, '"'); }

std::string quoted_char(std::string_view one_character) { return quote_with(one_character, '\''); }

std::string terminal_safe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  std::size_t at = 0;
  while (at < text.size()) {
    if (bytes[at] >= 0x20 && bytes[at] < 0x7f) {  // printable ASCII, the common case
      out += text[at++];
      continue;
    }
    utf8proc_int32_t c = 0;
    const utf8proc_ssize_t used = utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &c);
    if (used < 0) {
      // One replacement per byte: a raw C1 byte such as 0x9b must not reach
      // a terminal that would read it as the start of a control sequence.
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++at;
      continue;
    }
    if (must_escape(c)) {
      append_escaped(out, c);
    } else {
      out.append(text.substr(at, static_cast<std::size_t>(used)));
    }
    at += static_cast<std::size_t>(used);
  }
  return out;
}

}  // namespace common
