#include "password_backend/phc_string.hpp"

#include <algorithm>
#include <charconv>
#include <utility>

#include "common/invariant.hpp"
#include "common/quote.hpp"
#include "password_backend/b64.hpp"

namespace password_backend {
namespace {

using Reason = PhcParseError::Reason;

bool is_identifier_char(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; }

bool is_value_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '+' ||
         c == '.' || c == '-';
}

// A decimal without sign or leading zeros that fits in 32 bits; anything
// else is `reason` at `position`.
std::expected<std::uint32_t, PhcParseError> parse_decimal(std::string_view digits, Reason reason,
                                                          std::size_t position) {
  const std::unexpected<PhcParseError> fault(PhcParseError{reason, position});
  if (digits.empty() || digits.size() > 10) return fault;
  if (digits.size() > 1 && digits.front() == '0') return fault;
  if (!std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; })) return fault;
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return fault;
  return value;
}

// Walks the "$"-separated fields; each error points at the field's first byte.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::expected<PhcString, PhcParseError> parse() {
    PhcString phc;
    if (text_.empty() || text_.front() != '$') return fail(Reason::MissingDollar, 0);
    for (std::size_t i = 0; i < text_.size(); ++i) {
      if (text_[i] == '$' && (i + 1 == text_.size() || text_[i + 1] == '$')) return fail(Reason::EmptyField, i + 1);
    }
    if (auto read = read_identifier(phc); !read) return std::unexpected(read.error());
    if (!next_field()) return phc;
    if (field_.starts_with("v=")) {
      const auto version = parse_decimal(field_.substr(2), Reason::BadVersion, field_start_);
      if (!version) return std::unexpected(version.error());
      phc.version = *version;
      if (!next_field()) return phc;
    }
    if (field_.contains('=')) {
      if (auto read = read_parameters(phc); !read) return std::unexpected(read.error());
      if (!next_field()) return phc;
    }
    auto salt = b64_decode(field_, PHC_MAX_SALT_BYTES);
    if (!salt) return fail(b64_fault(salt.error(), Reason::SaltLength), field_start_);
    if (salt->size() < PHC_MIN_SALT_BYTES) return fail(Reason::SaltLength, field_start_);
    phc.salt = std::move(*salt);
    if (!next_field()) return phc;
    auto hash = b64_decode(field_, PHC_MAX_HASH_BYTES);
    if (!hash) return fail(b64_fault(hash.error(), Reason::HashLength), field_start_);
    if (hash->size() < PHC_MIN_HASH_BYTES) return fail(Reason::HashLength, field_start_);
    phc.hash = std::move(*hash);
    if (at_ < text_.size()) return fail(Reason::TrailingField, at_);
    return phc;
  }

 private:
  static std::unexpected<PhcParseError> fail(Reason reason, std::size_t position) {
    return std::unexpected(PhcParseError{reason, position});
  }

  // Too long to be within the bound, or not B64 at all.
  static Reason b64_fault(B64Error error, Reason too_long) {
    return error == B64Error::TooLong ? too_long : Reason::BadB64;
  }

  std::expected<void, PhcParseError> read_identifier(PhcString& phc) {
    at_ = 1;
    const std::size_t end = std::min(text_.find('$', at_), text_.size());
    const std::string_view id = text_.substr(at_, end - at_);
    if (id.empty() || id.size() > PHC_MAX_IDENTIFIER_LENGTH || !std::ranges::all_of(id, is_identifier_char)) {
      return fail(Reason::BadIdentifier, at_);
    }
    phc.algorithm = std::string(id);
    at_ = end;
    return {};
  }

  // Steps over "$" to the next field (never empty: parse() has checked);
  // false at the end of the text.
  bool next_field() {
    if (at_ >= text_.size()) return false;
    field_start_ = at_ + 1;  // text_[at_] is '$'
    const std::size_t end = std::min(text_.find('$', field_start_), text_.size());
    field_ = text_.substr(field_start_, end - field_start_);
    at_ = end;
    return true;
  }

  std::expected<void, PhcParseError> read_parameters(PhcString& phc) {
    std::size_t count = 0;
    std::size_t start = 0;
    while (start <= field_.size()) {
      const std::size_t end = std::min(field_.find(',', start), field_.size());
      const std::string_view item = field_.substr(start, end - start);
      const std::size_t position = field_start_ + start;
      if (++count > PHC_MAX_PARAMETERS) return fail(Reason::TooManyParameters, position);
      if (auto read = read_parameter(phc, item, position); !read) return read;
      start = end + 1;
    }
    return {};
  }

  static std::expected<void, PhcParseError> read_parameter(PhcString& phc, std::string_view item,
                                                           std::size_t position) {
    if (item.empty()) return fail(Reason::EmptyField, position);
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos) return fail(Reason::MissingEquals, position);
    const std::string_view name = item.substr(0, equals);
    const std::string_view value = item.substr(equals + 1);
    // "v" is the version's own field; as a parameter it would be read back as one.
    if (name.empty() || name.size() > PHC_MAX_PARAMETER_NAME_LENGTH || !std::ranges::all_of(name, is_identifier_char) ||
        name == "v") {
      return fail(Reason::BadParameterName, position);
    }
    const std::size_t value_position = position + equals + 1;
    if (value.empty() || value.size() > PHC_MAX_PARAMETER_VALUE_LENGTH || !std::ranges::all_of(value, is_value_char)) {
      return fail(Reason::BadParameterValue, value_position);
    }
    const auto decimal = [&](std::optional<std::uint32_t>& slot) -> std::expected<void, PhcParseError> {
      if (slot) return fail(Reason::DuplicateParameter, position);
      const auto read = parse_decimal(value, Reason::BadDecimal, value_position);
      if (!read) return std::unexpected(read.error());
      slot = *read;
      return {};
    };
    // A value is at most PHC_MAX_PARAMETER_VALUE_LENGTH characters, so it is
    // never too long to decode into as many bytes: every fault is BadB64.
    const auto bytes = [&](std::optional<std::vector<std::uint8_t>>& slot) -> std::expected<void, PhcParseError> {
      if (slot) return fail(Reason::DuplicateParameter, position);
      auto read = b64_decode(value, PHC_MAX_PARAMETER_VALUE_LENGTH);
      if (!read) return fail(Reason::BadB64, value_position);
      slot = std::move(*read);
      return {};
    };
    if (name == "m") return decimal(phc.memory_kib);
    if (name == "t") return decimal(phc.passes);
    if (name == "p") return decimal(phc.lanes);
    if (name == "keyid") return bytes(phc.key_id);
    if (name == "data") return bytes(phc.associated_data);
    if (std::ranges::any_of(phc.other_parameters, [&](const PhcParameter& p) { return p.name == name; })) {
      return fail(Reason::DuplicateParameter, position);
    }
    phc.other_parameters.push_back({std::string(name), std::string(value)});
    return {};
  }

  std::string_view text_;
  std::size_t at_ = 0;  // the '$' that ends the last field read, or the end
  std::size_t field_start_ = 0;
  std::string_view field_;
};

}  // namespace

std::string_view PhcParseError::reason_text() const {
  switch (reason) {
    case Reason::MissingDollar: return "does not start with '$'";
    case Reason::BadIdentifier: return "invalid algorithm identifier";
    case Reason::EmptyField: return "empty field";
    case Reason::BadVersion: return "invalid version";
    case Reason::BadParameterName: return "invalid parameter name";
    case Reason::BadParameterValue: return "invalid parameter value";
    case Reason::MissingEquals: return "parameter without '='";
    case Reason::DuplicateParameter: return "duplicate parameter";
    case Reason::TooManyParameters: return "too many parameters";
    case Reason::BadDecimal: return "invalid decimal value";
    case Reason::BadB64: return "invalid B64 encoding";
    case Reason::SaltLength: return "salt length out of range";
    case Reason::HashLength: return "hash length out of range";
    case Reason::TrailingField: return "trailing data after the hash";
  }
  common::invariant_broken("a PHC parse reason outside its enumeration");
}

std::string PhcParseError::display() const {
  return "malformed password hash string: " + std::string(reason_text()) + " at byte " + std::to_string(position);
}

std::string PhcParseError::debug() const {
  return "PhcParseError { reason: " + common::quoted(reason_text()) + ", position: " + std::to_string(position) + " }";
}

std::expected<PhcString, PhcParseError> parse_phc_string(std::string_view text) { return Parser(text).parse(); }

std::string format_phc_string(const PhcString& phc) {
  if (phc.hash && !phc.salt) common::invariant_broken("a PHC string with a hash but no salt");
  std::string text;
  const auto field = [&](std::string_view value) {
    text += '$';
    text += value;
  };
  field(phc.algorithm);
  if (phc.version) field("v=" + std::to_string(*phc.version));
  std::string parameters;
  const auto add = [&](std::string_view name, std::string_view value) {
    if (!parameters.empty()) parameters += ',';
    parameters += name;
    parameters += '=';
    parameters += value;
  };
  if (phc.memory_kib) add("m", std::to_string(*phc.memory_kib));
  if (phc.passes) add("t", std::to_string(*phc.passes));
  if (phc.lanes) add("p", std::to_string(*phc.lanes));
  if (phc.key_id) add("keyid", b64_encode(*phc.key_id));
  if (phc.associated_data) add("data", b64_encode(*phc.associated_data));
  for (const auto& [name, value] : phc.other_parameters) add(name, value);
  if (!parameters.empty()) field(parameters);
  if (phc.salt) field(b64_encode(*phc.salt));
  if (phc.hash) field(b64_encode(*phc.hash));
  return text;
}

}  // namespace password_backend
