#include "common/uuid.hpp"

#include <utf8proc.h>

#include "common/quote.hpp"

namespace common {
namespace {

constexpr std::string_view URN_PREFIX = "urn:uuid:";
constexpr std::array<std::size_t, 5> GROUP_LENGTHS = {8, 4, 4, 4, 12};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool has_urn_prefix(std::string_view text) {
  if (text.size() < URN_PREFIX.size()) return false;
  for (std::size_t i = 0; i < URN_PREFIX.size(); ++i) {
    const char c = text[i];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != URN_PREFIX[i]) return false;
  }
  return true;
}

// The whole character (all of its UTF-8 bytes) that starts at `at`.
std::string character_at(std::string_view text, std::size_t at) {
  utf8proc_int32_t code_point = 0;
  const auto used = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + at),
                                     static_cast<utf8proc_ssize_t>(text.size() - at), &code_point);
  return std::string(text.substr(at, used > 0 ? static_cast<std::size_t>(used) : 1));
}

UuidParseError char_error(std::string_view text, std::size_t at) {
  return UuidParseError{.kind = UuidParseError::Kind::Char, .character = character_at(text, at), .index = at};
}

}  // namespace

std::expected<Uuid, UuidParseError> parse_uuid(std::string_view text) {
  // Peel the decoration off; `offset` keeps positions relative to the whole text.
  std::string_view body = text;
  std::size_t offset = 0;
  if (has_urn_prefix(text)) {
    body.remove_prefix(URN_PREFIX.size());
    offset = URN_PREFIX.size();
  } else if (!text.empty() && text.front() == '{') {
    if (text.size() < 2 || text.back() != '}') return std::unexpected(char_error(text, text.size() - 1));
    body = text.substr(1, text.size() - 2);
    offset = 1;
  }

  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] != '-' && hex_value(body[i]) < 0) return std::unexpected(char_error(text, offset + i));
  }

  if (!body.contains('-')) {
    if (offset != 0 || body.size() != 32) {
      return std::unexpected(UuidParseError{.kind = UuidParseError::Kind::Length, .len = text.size()});
    }
  } else {
    std::size_t groups = 1;
    for (const char c : body) groups += c == '-' ? 1 : 0;
    if (groups != GROUP_LENGTHS.size()) {
      return std::unexpected(UuidParseError{.kind = UuidParseError::Kind::GroupCount, .count = groups});
    }
    std::size_t start = 0;
    for (std::size_t g = 0; g < GROUP_LENGTHS.size(); ++g) {
      const std::size_t end = std::min(body.find('-', start), body.size());
      if (end - start != GROUP_LENGTHS[g]) {
        return std::unexpected(UuidParseError{
            .kind = UuidParseError::Kind::GroupLength, .index = offset + start, .len = end - start, .group = g});
      }
      start = end + 1;
    }
  }

  Uuid uuid;
  std::size_t nibble = 0;
  for (const char c : body) {
    if (c == '-') continue;
    const auto value = static_cast<std::uint8_t>(hex_value(c));
    uuid.bytes[nibble / 2] = static_cast<std::uint8_t>(uuid.bytes[nibble / 2] | (nibble % 2 == 0 ? value << 4 : value));
    ++nibble;
  }
  return uuid;
}

std::string Uuid::hyphenated() const {
  static constexpr std::string_view DIGITS = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += DIGITS[bytes[i] >> 4];
    out += DIGITS[bytes[i] & 0xF];
  }
  return out;
}

std::string UuidParseError::display() const {
  switch (kind) {
    case Kind::Char:
      return "invalid character: expected an optional prefix of `urn:uuid:` followed by [0-9a-fA-F-], found `" +
             character + "` at " + std::to_string(index);
    case Kind::Length: return "invalid length: expected length 32 for simple format, found " + std::to_string(len);
    case Kind::GroupCount: return "invalid group count: expected 5, found " + std::to_string(count);
    case Kind::GroupLength:
      return "invalid group length in group " + std::to_string(group) + ": expected " +
             std::to_string(GROUP_LENGTHS[group]) + ", found " + std::to_string(len);
  }
  return {};
}

std::string UuidParseError::debug() const {
  std::string inner;
  switch (kind) {
    case Kind::Char:
      inner = "ParseChar { character: " + quoted_char(character) + ", index: " + std::to_string(index) + " }";
      break;
    case Kind::Length: inner = "ParseLength { len: " + std::to_string(len) + " }"; break;
    case Kind::GroupCount: inner = "ParseGroupCount { count: " + std::to_string(count) + " }"; break;
    case Kind::GroupLength:
      inner = "ParseGroupLength { group: " + std::to_string(group) + ", len: " + std::to_string(len) +
              ", index: " + std::to_string(index) + " }";
      break;
  }
  return "Error(" + inner + ")";
}

}  // namespace common
