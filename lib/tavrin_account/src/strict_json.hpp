#pragma once

// The one place where JSON text becomes typed records: a strict reader on
// top of the JSON library's event interface, and the wording of the
// decoding failures.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tavrin_account::detail {

// Arrays and objects may nest this deep minus one.
inline constexpr std::size_t MAX_NESTING = 128;

// A record of two fields, as an object (fields in any order, other members
// skipped, none twice) or as an array of exactly two elements.
struct EnvelopeShape {
  enum class FirstKind : std::uint8_t { Boolean, String };
  std::string_view struct_name;
  std::string_view first_field;
  std::string_view second_field;
  FirstKind first_kind = FirstKind::Boolean;
};

struct Envelope {
  nlohmann::json first;
  nlohmann::json second;
};

// Reads the body as exactly one such record. The second field may be any
// value; duplicate keys anywhere inside it are refused as well. Failures end
// with the line and column where reading stopped.
[[nodiscard]] std::expected<Envelope, std::string> read_envelope(std::span<const std::uint8_t> body,
                                                                 const EnvelopeShape& shape);

// How a value that was not wanted is named in a failure: "integer `5`",
// "string \"x\"", "map", ...
[[nodiscard]] std::string describe_unexpected(const nlohmann::json& value);
[[nodiscard]] std::string invalid_type(const nlohmann::json& value, std::string_view expected);

// The library's message without its "[json.exception...] " tag.
[[nodiscard]] std::string library_message(const char* what);

}  // namespace tavrin_account::detail
