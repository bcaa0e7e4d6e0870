#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace tavrin_account {

struct SecurityFlags {
  std::uint32_t bits = 0;
  static constexpr std::uint32_t ENCRYPTED = 0x1, WRITE_PROTECTED = 0x2;

  [[nodiscard]] bool contains(std::uint32_t flags) const { return (bits & flags) == flags; }
  void insert(std::uint32_t flags) { bits |= flags; }
  void remove(std::uint32_t flags) { bits &= ~flags; }
  [[nodiscard]] bool empty() const { return bits == 0; }
  friend bool operator==(const SecurityFlags&, const SecurityFlags&) = default;
};

// Why a flags text was refused.
struct SecurityFlagsError {
  enum class Kind : std::uint8_t { EmptyFlag, InvalidHexFlag, InvalidNamedFlag };
  Kind kind = Kind::EmptyFlag;
  std::string piece;  // the text after "0x", or the unknown name

  [[nodiscard]] std::string display() const;
  [[nodiscard]] std::string debug() const;
  friend bool operator==(const SecurityFlagsError&, const SecurityFlagsError&) = default;
};

// Named flags joined by " | ", then any unnamed bits as one hex number.
[[nodiscard]] std::string format_security_flags(SecurityFlags flags);
[[nodiscard]] std::expected<SecurityFlags, SecurityFlagsError> parse_security_flags(std::string_view text);

}  // namespace tavrin_account
