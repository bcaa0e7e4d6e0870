#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace password_backend {

// Bounds on every field, far above any real password hash; they keep a
// corrupted stored string from costing more than a few kilobytes.
inline constexpr std::size_t PHC_MAX_IDENTIFIER_LENGTH = 32;
inline constexpr std::size_t PHC_MAX_PARAMETER_NAME_LENGTH = 32;
inline constexpr std::size_t PHC_MAX_PARAMETER_VALUE_LENGTH = 128;
inline constexpr std::size_t PHC_MAX_PARAMETERS = 16;
inline constexpr std::size_t PHC_MIN_SALT_BYTES = 8;  // Argon2's own minimum
inline constexpr std::size_t PHC_MAX_SALT_BYTES = 64;
inline constexpr std::size_t PHC_MIN_HASH_BYTES = 4;  // Argon2's own minimum
inline constexpr std::size_t PHC_MAX_HASH_BYTES = 128;

// A parameter whose meaning this program does not know, kept as written.
struct PhcParameter {
  std::string name;
  std::string value;
  friend bool operator==(const PhcParameter&, const PhcParameter&) = default;
};

// $id[$v=N][$name=value(,name=value)*][$salt[$hash]]
struct PhcString {
  std::string algorithm;
  std::optional<std::uint32_t> version;
  std::optional<std::uint32_t> memory_kib;                   // m
  std::optional<std::uint32_t> passes;                       // t
  std::optional<std::uint32_t> lanes;                        // p
  std::optional<std::vector<std::uint8_t>> key_id;           // keyid (B64)
  std::optional<std::vector<std::uint8_t>> associated_data;  // data (B64)
  std::vector<PhcParameter> other_parameters;                // in stored order
  std::optional<std::vector<std::uint8_t>> salt;
  std::optional<std::vector<std::uint8_t>> hash;  // only together with a salt

  friend bool operator==(const PhcString&, const PhcString&) = default;
};

// Why a stored text is not a password-hash string. It names the fault and
// where it is, never the text itself.
struct PhcParseError {
  enum class Reason : std::uint8_t {
    MissingDollar,
    BadIdentifier,
    EmptyField,
    BadVersion,
    BadParameterName,
    BadParameterValue,
    MissingEquals,
    DuplicateParameter,
    TooManyParameters,
    BadDecimal,
    BadB64,
    SaltLength,
    HashLength,
    TrailingField,
  };
  Reason reason;
  std::size_t position;  // byte offset of the faulty field or character

  [[nodiscard]] std::string_view reason_text() const;
  [[nodiscard]] std::string display() const;
  [[nodiscard]] std::string debug() const;
};

[[nodiscard]] std::expected<PhcString, PhcParseError> parse_phc_string(std::string_view text);

// Writes the parameters as m, t, p, keyid, data and then the others in their
// order. A hash without a salt cannot be written and aborts.
[[nodiscard]] std::string format_phc_string(const PhcString& phc);

}  // namespace password_backend
