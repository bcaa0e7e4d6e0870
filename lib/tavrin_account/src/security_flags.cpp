#include "tavrin_account/security_flags.hpp"

#include <array>
#include <charconv>

#include "common/quote.hpp"

namespace tavrin_account {
namespace {

struct NamedFlag {
  std::uint32_t bits;
  std::string_view name;
};

constexpr std::array<NamedFlag, 2> NAMED_FLAGS = {{
    {SecurityFlags::ENCRYPTED, "ENCRYPTED"},
    {SecurityFlags::WRITE_PROTECTED, "WRITE_PROTECTED"},
}};

// Every character with the Unicode White_Space property, UTF-8 encoded. The
// set is fixed by the standard, and matching encoded sequences keeps the trim
// byte-exact even around bytes that are not UTF-8.
constexpr std::array<std::string_view, 25> WHITE_SPACE = {
    "\t",           "\n",           "\v",           "\f",           "\r",           " ",
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
    "\xE3\x80\x80",
};

std::string_view trim_white_space(std::string_view text) {
  for (bool trimmed = true; trimmed;) {
    trimmed = false;
    for (const std::string_view space : WHITE_SPACE) {
      if (text.starts_with(space)) {
        text.remove_prefix(space.size());
        trimmed = true;
      }
      if (text.ends_with(space)) {
        text.remove_suffix(space.size());
        trimmed = true;
      }
    }
  }
  return text;
}

std::expected<std::uint32_t, SecurityFlagsError> parse_piece(std::string_view piece) {
  if (piece.empty()) return std::unexpected(SecurityFlagsError{SecurityFlagsError::Kind::EmptyFlag, {}});
  if (piece.starts_with("0x")) {
    const std::string_view rest = piece.substr(2);
    std::string_view digits = rest;
    if (digits.starts_with('+')) digits.remove_prefix(1);
    std::uint32_t value = 0;
    const auto [stop, status] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    if (digits.empty() || status != std::errc() || stop != digits.data() + digits.size()) {
      return std::unexpected(SecurityFlagsError{SecurityFlagsError::Kind::InvalidHexFlag, std::string(rest)});
    }
    return value;
  }
  for (const auto& flag : NAMED_FLAGS) {
    if (piece == flag.name) return flag.bits;
  }
  return std::unexpected(SecurityFlagsError{SecurityFlagsError::Kind::InvalidNamedFlag, std::string(piece)});
}

}  // namespace

std::string SecurityFlagsError::display() const {
  switch (kind) {
    case Kind::EmptyFlag: return "encountered empty flag";
    case Kind::InvalidHexFlag: return "invalid hex flag `" + piece + "`";
    case Kind::InvalidNamedFlag: return "unrecognized named flag `" + piece + "`";
  }
  return {};
}

std::string SecurityFlagsError::debug() const {
  switch (kind) {
    case Kind::EmptyFlag: return "EmptyFlag";
    case Kind::InvalidHexFlag: return "InvalidHexFlag(" + common::quoted(piece) + ")";
    case Kind::InvalidNamedFlag: return "InvalidNamedFlag(" + common::quoted(piece) + ")";
  }
  return {};
}

std::string format_security_flags(SecurityFlags flags) {
  std::string text;
  std::uint32_t rest = flags.bits;
  for (const auto& flag : NAMED_FLAGS) {
    if (!flags.contains(flag.bits)) continue;
    if (!text.empty()) text += " | ";
    text += flag.name;
    rest &= ~flag.bits;
  }
  if (rest != 0) {
    if (!text.empty()) text += " | ";
    std::array<char, 8> digits{};
    const auto [end, status] = std::to_chars(digits.data(), digits.data() + digits.size(), rest, 16);
    (void)status;  // eight hex digits always hold 32 bits
    text += "0x";
    text.append(digits.data(), end);
  }
  return text;
}

std::expected<SecurityFlags, SecurityFlagsError> parse_security_flags(std::string_view text) {
  text = trim_white_space(text);
  SecurityFlags flags;
  if (text.empty()) return flags;
  while (true) {
    const std::size_t bar = text.find('|');
    auto bits = parse_piece(trim_white_space(text.substr(0, bar)));
    if (!bits) return std::unexpected(std::move(bits).error());
    flags.insert(*bits);
    if (bar == std::string_view::npos) return flags;
    text.remove_prefix(bar + 1);
  }
}

}  // namespace tavrin_account
