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

}  // namespace common

namespace common {

// One character between single quotes, escaped as in quoted() except that the
// single quote is escaped and the double quote is not.
[[nodiscard]] std::string quoted_char(std::string_view one_character);

}  // namespace common
