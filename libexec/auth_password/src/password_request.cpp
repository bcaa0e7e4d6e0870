#include "password_request.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "common/utf8.hpp"
#include "tavrin_account/strict_json.hpp"

namespace auth_password {
namespace {

constexpr std::uint32_t FIRST_TRAIL_SURROGATE = 0xDC00;
constexpr std::uint32_t FIRST_LEAD_SURROGATE = 0xD800;
constexpr std::uint32_t PAST_SURROGATES = 0xE000;

bool is_blank(std::uint8_t byte) { return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r'; }

void append_utf8(common::SecretBytes& out, std::uint32_t code_point) {
  const auto byte = [](std::uint32_t value) { return static_cast<std::uint8_t>(value); };
  if (code_point < 0x80) {
    out.push_back(byte(code_point));
  } else if (code_point < 0x800) {
    out.push_back(byte(0xC0 | (code_point >> 6)));
    out.push_back(byte(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(byte(0xE0 | (code_point >> 12)));
    out.push_back(byte(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(byte(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(byte(0xF0 | (code_point >> 18)));
    out.push_back(byte(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(byte(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(byte(0x80 | (code_point & 0x3F)));
  }
}

class RequestReader {
 public:
  RequestReader(std::span<const std::uint8_t> text, std::span<const std::string_view> members)
      : text_(text), members_(members), values_(members.size()) {}

  std::expected<std::vector<common::SecretBytes>, InputError> read();

 private:
  using Step = std::expected<void, InputError>;

  // " at line L column C", C counting the bytes of line L up to and
  // including the one at `position` (or, at the end, the last one).
  [[nodiscard]] std::string location(std::size_t position) const {
    return tavrin_account::strict_json::text_location(text_, position + 1);
  }
  [[nodiscard]] std::unexpected<InputError> fault(std::string what, std::size_t position) const {
    what += location(position);
    return std::unexpected(InputError(std::move(what)));
  }
  [[nodiscard]] bool at_end() const { return at_ >= text_.size(); }
  [[nodiscard]] std::uint8_t peek() const { return text_[at_]; }
  void skip_blanks() {
    while (!at_end() && is_blank(peek())) ++at_;
  }
  [[nodiscard]] std::string what_starts_here() const;
  Step expect_value(std::uint8_t opening, std::string_view expected);
  Step expect(std::uint8_t wanted, std::string_view name);
  Step read_string(common::SecretBytes& into);
  Step read_escape(common::SecretBytes& into);
  std::expected<std::uint32_t, InputError> read_hex4();
  Step read_member();

  std::span<const std::uint8_t> text_;
  std::span<const std::string_view> members_;
  std::vector<std::optional<common::SecretBytes>> values_;
  std::size_t at_ = 0;
};

// How a value that is not wanted is named; a string's content never is.
std::string RequestReader::what_starts_here() const {
  switch (peek()) {
    case '{': return "map";
    case '[': return "sequence";
    case '"': return "string";
    case 't':
    case 'f': return "boolean";
    case 'n': return "null";
    default: break;
  }
  if (peek() == '-' || (peek() >= '0' && peek() <= '9')) return "number";
  return {};
}

// A value must start here, and with `opening`; the fault names what starts
// here instead.
RequestReader::Step RequestReader::expect_value(std::uint8_t opening, std::string_view expected) {
  if (at_end()) return fault("EOF while parsing a value", text_.size());
  if (peek() == opening) return {};
  const std::string kind = what_starts_here();
  if (kind.empty()) return fault("expected value", at_);
  return fault("invalid type: " + kind + ", expected " + std::string(expected), at_);
}

RequestReader::Step RequestReader::expect(std::uint8_t wanted, std::string_view name) {
  skip_blanks();
  if (at_end()) return fault("EOF while parsing an object", text_.size());
  if (peek() != wanted) return fault("expected " + std::string(name), at_);
  ++at_;
  return {};
}

std::expected<std::uint32_t, InputError> RequestReader::read_hex4() {
  std::uint32_t value = 0;
  for (int digit = 0; digit < 4; ++digit, ++at_) {
    if (at_end()) return fault("EOF while parsing a string", text_.size());
    const std::uint8_t c = peek();
    value <<= 4U;
    if (c >= '0' && c <= '9') {
      value |= static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      value |= static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      value |= static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return fault("invalid escape", at_);
    }
  }
  return value;
}

// After the backslash.
RequestReader::Step RequestReader::read_escape(common::SecretBytes& into) {
  if (at_end()) return fault("EOF while parsing a string", text_.size());
  const std::size_t escape_at = at_ - 1;  // the backslash
  switch (text_[at_++]) {
    case '"': into.push_back('"'); return {};
    case '\\': into.push_back('\\'); return {};
    case '/': into.push_back('/'); return {};
    case 'b': into.push_back('\b'); return {};
    case 'f': into.push_back('\f'); return {};
    case 'n': into.push_back('\n'); return {};
    case 'r': into.push_back('\r'); return {};
    case 't': into.push_back('\t'); return {};
    case 'u': break;
    default: return fault("invalid escape", escape_at);
  }
  auto unit = read_hex4();
  if (!unit) return std::unexpected(std::move(unit).error());
  std::uint32_t code_point = *unit;
  if (code_point >= FIRST_TRAIL_SURROGATE && code_point < PAST_SURROGATES) {
    return fault("lone trailing surrogate in hex escape", escape_at);
  }
  if (code_point >= FIRST_LEAD_SURROGATE && code_point < FIRST_TRAIL_SURROGATE) {
    // Only a trailing surrogate's escape may follow.
    if (text_.size() - at_ < 2 || text_[at_] != '\\' || text_[at_ + 1] != 'u') {
      return fault("unexpected end of hex escape", at_ < text_.size() ? at_ : text_.size());
    }
    at_ += 2;
    auto trail = read_hex4();
    if (!trail) return std::unexpected(std::move(trail).error());
    if (*trail < FIRST_TRAIL_SURROGATE || *trail >= PAST_SURROGATES) {
      return fault("lone leading surrogate in hex escape", escape_at);
    }
    code_point = 0x10000 + ((code_point - FIRST_LEAD_SURROGATE) << 10U) + (*trail - FIRST_TRAIL_SURROGATE);
  }
  append_utf8(into, code_point);
  return {};
}

// At the opening quote. The whole text is valid UTF-8 by now, so bytes of
// multi-byte characters are taken as they come.
RequestReader::Step RequestReader::read_string(common::SecretBytes& into) {
  ++at_;
  // Decoding never lengthens a string, so the value never moves once here.
  into.reserve(text_.size() - at_);
  for (;;) {
    if (at_end()) return fault("EOF while parsing a string", text_.size());
    const std::uint8_t c = text_[at_];
    if (c == '"') {
      ++at_;
      return {};
    }
    if (c < 0x20) return fault("control character (\\u0000-\\u001F) found while parsing a string", at_);
    ++at_;
    if (c == '\\') {
      if (auto escaped = read_escape(into); !escaped) return escaped;
    } else {
      into.push_back(c);
    }
  }
}

RequestReader::Step RequestReader::read_member() {
  skip_blanks();
  if (at_end()) return fault("EOF while parsing an object", text_.size());
  if (peek() != '"') return fault("key must be a string", at_);
  const std::size_t key_at = at_;
  // A misplaced password may stand where a name belongs: decoded into secret
  // memory like the values.
  common::SecretBytes name;
  if (auto read = read_string(name); !read) return read;
  std::optional<std::size_t> member;
  for (std::size_t i = 0; i < members_.size(); ++i) {
    if (name.text() == members_[i]) member = i;
  }
  if (!member) {
    std::string expected;
    for (std::size_t i = 0; i < members_.size(); ++i) {
      const bool last = i + 1 == members_.size();
      const char* before = ", `";
      if (i == 0) {
        before = "`";
      } else if (last) {
        before = " or `";
      }
      expected += before + std::string(members_[i]) + "`";
    }
    return fault("unknown field, expected " + expected, key_at);
  }
  if (values_[*member]) return fault("duplicate field `" + std::string(members_[*member]) + "`", key_at);
  if (auto colon = expect(':', "`:`"); !colon) return colon;
  skip_blanks();
  if (auto value = expect_value('"', "a string"); !value) return value;
  common::SecretBytes value;
  if (auto read = read_string(value); !read) return read;
  values_[*member] = std::move(value);
  return {};
}

std::expected<std::vector<common::SecretBytes>, InputError> RequestReader::read() {
  if (auto valid = common::check_utf8(text_); !valid) return fault("invalid UTF-8", valid.error().valid_up_to);
  skip_blanks();
  if (auto object = expect_value('{', "a JSON object"); !object) return std::unexpected(object.error());
  ++at_;
  skip_blanks();
  if (!at_end() && peek() == '}') {
    ++at_;
  } else {
    for (;;) {
      if (auto member = read_member(); !member) return std::unexpected(std::move(member).error());
      skip_blanks();
      if (at_end()) return fault("EOF while parsing an object", text_.size());
      const std::uint8_t next = text_[at_++];
      if (next == '}') break;
      if (next != ',') return fault("expected `,` or `}`", at_ - 1);
    }
  }
  skip_blanks();
  if (!at_end()) return fault("trailing characters", at_);
  std::vector<common::SecretBytes> values;
  values.reserve(values_.size());
  for (std::size_t i = 0; i < values_.size(); ++i) {
    auto& value = values_[i];
    if (!value.has_value()) return std::unexpected(InputError("missing field `" + std::string(members_[i]) + "`"));
    values.push_back(std::move(*value));
  }
  return values;
}

}  // namespace

std::expected<std::vector<common::SecretBytes>, InputError> read_password_request(
    std::span<const std::uint8_t> text, std::span<const std::string_view> members) {
  return RequestReader(text, members).read();
}

}  // namespace auth_password
