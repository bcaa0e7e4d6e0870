#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace common {

// A user's 128-bit identifier.
struct Uuid {
  std::array<std::uint8_t, 16> bytes{};

  // 36 lowercase characters, 8-4-4-4-12.
  [[nodiscard]] std::string hyphenated() const;
  friend bool operator==(const Uuid&, const Uuid&) = default;
};

// Why a text is not a UUID.
struct UuidParseError {
  enum class Kind : std::uint8_t { Char, Length, GroupCount, GroupLength };
  Kind kind;
  std::string character;  // Char: the offending character (UTF-8)
  std::size_t index = 0;  // Char: its position; GroupLength: where the group starts
  std::size_t len = 0;    // Length: the text's length; GroupLength: the group's digits
  std::size_t count = 0;  // GroupCount: how many groups
  std::size_t group = 0;  // GroupLength: which group, from 0

  [[nodiscard]] std::string display() const;
  [[nodiscard]] std::string debug() const;
};

// Accepts 32 hex digits; the hyphenated 8-4-4-4-12 form; the hyphenated form
// in braces; and "urn:uuid:" (letters in any case) before the hyphenated form.
[[nodiscard]] std::expected<Uuid, UuidParseError> parse_uuid(std::string_view text);

}  // namespace common
