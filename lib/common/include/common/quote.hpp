#pragma once

#include <string>
#include <string_view>

namespace common {

// The quoted form used by every debug form: the text between double quotes,
// with `"` `\` tab CR LF NUL escaped as \" \\ \t \r \n \0, and every other
// control character, every non-printable character and every character that
// only combines with the one before it written as \u{hex}. Bytes that are not
// valid UTF-8 are written as \x{hex}, one per byte.
[[nodiscard]] std::string quoted(std::string_view text);

// One character between single quotes, escaped as in quoted() except that the
// single quote is escaped and the double quote is not.
[[nodiscard]] std::string quoted_char(std::string_view one_character);

// The text made safe to write to a terminal, for messages that carry bytes
// from elsewhere: every character that quoted() escapes for what it is (C0
// and C1 controls and DEL, format characters such as the bidirectional
// overrides and isolates, separators other than the blank, private-use and
// unassigned code points, marks that only combine) is escaped as quoted()
// escapes it (\t \r \n \0, else \u{hex}), and every byte that is not valid
// UTF-8 becomes U+FFFD. The quote marks and the backslash, which quoted()
// escapes only as its delimiters, stay as they are, so a text without such
// characters comes back byte for byte.
[[nodiscard]] std::string terminal_safe(std::string_view text);

}  // namespace common
