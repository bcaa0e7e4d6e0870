#pragma once

// A second, independent reading of reply bodies, written from the reply
// rules alone, apart from the client's reader: a recursive-descent JSON
// reader that keeps object members as given (repeats included), and the
// Response, Secret and Error rules on top of it. Only the flags text and the
// table of error names are the client's own, since they are not JSON.

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tavrin_account/error.hpp"
#include "tavrin_account/secrets.hpp"
#include "tavrin_account/security_flags.hpp"

namespace reference {

struct Member;

struct Value {
  enum class Kind : std::uint8_t { Null, Boolean, Integer, Float, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  std::uint64_t magnitude = 0;  // Integer: a whole number within 64 bits, signed or not
  bool negative = false;
  std::string text;  // String
  std::vector<Value> elements;
  std::vector<Member> members;  // as given, repeats included
};

struct Member {
  std::string key;
  Value value;
};

class Reader {
 public:
  explicit Reader(std::string_view text) : s_(text) {}

  // The one value that, with JSON white space around it, is the whole text.
  std::optional<Value> document() {
    space();
    auto v = value(1);
    space();
    if (!v || i_ != s_.size()) return std::nullopt;
    return v;
  }

 private:
  static constexpr std::size_t MAX_DEPTH = 128;  // containers this deep fail

  [[nodiscard]] int peek() const { return i_ < s_.size() ? static_cast<unsigned char>(s_[i_]) : -1; }
  bool eat(char c) {
    if (peek() != static_cast<unsigned char>(c)) return false;
    ++i_;
    return true;
  }
  void space() {
    while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r') ++i_;
  }
  bool word(std::string_view w) {
    if (s_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }

  std::optional<Value> value(std::size_t depth) {
    Value v;
    switch (peek()) {
      case '{': return depth >= MAX_DEPTH ? std::nullopt : object(depth);
      case '[': return depth >= MAX_DEPTH ? std::nullopt : array(depth);
      case '"': {
        auto t = string();
        if (!t) return std::nullopt;
        v.kind = Value::Kind::String;
        v.text = std::move(*t);
        return v;
      }
      case 't':
        v.kind = Value::Kind::Boolean;
        v.boolean = true;
        return word("true") ? std::optional(v) : std::nullopt;
      case 'f': v.kind = Value::Kind::Boolean; return word("false") ? std::optional(v) : std::nullopt;
      case 'n': return word("null") ? std::optional(v) : std::nullopt;
      default: return number();
    }
  }

  std::optional<Value> object(std::size_t depth) {
    Value v;
    v.kind = Value::Kind::Object;
    ++i_;
    space();
    if (eat('}')) return v;
    do {
      space();
      if (peek() != '"') return std::nullopt;
      auto key = string();
      space();
      if (!key || !eat(':')) return std::nullopt;
      space();
      auto member = value(depth + 1);
      if (!member) return std::nullopt;
      v.members.push_back(Member{.key = std::move(*key), .value = std::move(*member)});
      space();
    } while (eat(','));
    return eat('}') ? std::optional(std::move(v)) : std::nullopt;
  }

  std::optional<Value> array(std::size_t depth) {
    Value v;
    v.kind = Value::Kind::Array;
    ++i_;
    space();
    if (eat(']')) return v;
    do {
      space();
      auto element = value(depth + 1);
      if (!element) return std::nullopt;
      v.elements.push_back(std::move(*element));
      space();
    } while (eat(','));
    return eat(']') ? std::optional(std::move(v)) : std::nullopt;
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?; whole numbers beyond 64
  // bits count as floating point, and floating point beyond the double range
  // fails.
  std::optional<Value> number() {
    const std::size_t start = i_;
    const auto digits = [&] {
      const std::size_t from = i_;
      while (peek() >= '0' && peek() <= '9') ++i_;
      return i_ - from;
    };
    const bool negative = eat('-');
    if (!eat('0') && digits() == 0) return std::nullopt;
    bool whole = true;
    if (eat('.')) {
      whole = false;
      if (digits() == 0) return std::nullopt;
    }
    if (eat('e') || eat('E')) {
      whole = false;
      if (!eat('+')) (void)eat('-');
      if (digits() == 0) return std::nullopt;
    }
    const std::string token(s_.substr(start, i_ - start));
    Value v;
    if (whole) {
      const char* first = token.data() + (negative ? 1 : 0);
      const char* last = token.data() + token.size();
      if (std::from_chars(first, last, v.magnitude).ec == std::errc() &&
          (!negative || v.magnitude <= (std::uint64_t{1} << 63))) {
        v.kind = Value::Kind::Integer;
        v.negative = negative && v.magnitude != 0;
        return v;
      }
    }
    v.kind = Value::Kind::Float;
    if (!std::isfinite(std::strtod(token.c_str(), nullptr))) return std::nullopt;
    return v;
  }

  static void put_utf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }

  std::optional<std::uint32_t> hex4() {
    if (s_.size() - i_ < 4) return std::nullopt;
    std::uint32_t unit = 0;
    for (int k = 0; k < 4; ++k) {
      const int c = peek();
      ++i_;
      unit <<= 4;
      if (c >= '0' && c <= '9')
        unit |= static_cast<std::uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        unit |= static_cast<std::uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        unit |= static_cast<std::uint32_t>(c - 'A' + 10);
      else
        return std::nullopt;
    }
    return unit;
  }

  // A string's bytes: UTF-8 without overlong forms, surrogates or code points
  // beyond U+10FFFF, no raw control character, escapes paired properly.
  // Kept as one loop so that it can be checked against the JSON grammar at a
  // glance, which is the point of a reference reader.
  std::optional<std::string> string() {  // NOLINT(readability-function-cognitive-complexity)
    std::string out;
    ++i_;
    while (true) {
      const int c = peek();
      if (c < 0x20) return std::nullopt;  // the end of the text included
      ++i_;
      if (c == '"') return out;
      if (c == '\\') {
        const int e = peek();
        ++i_;
        switch (e) {
          case '"':
          case '\\':
          case '/': out += static_cast<char>(e); break;
          case 'b': out += '\b'; break;
          case 'f': out += '\f'; break;
          case 'n': out += '\n'; break;
          case 'r': out += '\r'; break;
          case 't': out += '\t'; break;
          case 'u': {
            auto unit = hex4();
            if (!unit || (*unit >= 0xDC00 && *unit <= 0xDFFF)) return std::nullopt;
            if (*unit >= 0xD800 && *unit <= 0xDBFF) {
              if (!word("\\u")) return std::nullopt;
              const auto low = hex4();
              if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
              unit = 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00);
            }
            put_utf8(out, *unit);
            break;
          }
          default: return std::nullopt;
        }
        continue;
      }
      out += static_cast<char>(c);
      if (c < 0x80) continue;
      // The lead byte decides how many continuation bytes follow, and the
      // range of the first of them.
      int follow = 0;
      int low = 0x80;
      int high = 0xBF;
      if (c >= 0xC2 && c <= 0xDF)
        follow = 1;
      else if (c == 0xE0)
        follow = 2, low = 0xA0;
      else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF)
        follow = 2;
      else if (c == 0xED)
        follow = 2, high = 0x9F;
      else if (c == 0xF0)
        follow = 3, low = 0x90;
      else if (c >= 0xF1 && c <= 0xF3)
        follow = 3;
      else if (c == 0xF4)
        follow = 3, high = 0x8F;
      else
        return std::nullopt;
      for (int k = 0; k < follow; ++k, low = 0x80, high = 0xBF) {
        const int b = peek();
        if (b < low || b > high) return std::nullopt;
        out += static_cast<char>(b);
        ++i_;
      }
    }
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

// The value of a member whose key is given exactly once; nullopt when it is
// missing or given twice (`repeated` tells which).
inline const Value* only_member(const Value& object, std::string_view key, bool& repeated) {
  const Value* found = nullptr;
  for (const auto& [k, v] : object.members) {
    if (k != key) continue;
    if (found != nullptr) repeated = true;
    found = &v;
  }
  return repeated ? nullptr : found;
}

struct Reply {
  bool success = false;
  Value value;
};

inline std::optional<Reply> response(std::string_view body) {
  auto root = Reader(body).document();
  if (!root) return std::nullopt;
  const Value* success = nullptr;
  const Value* value = nullptr;
  if (root->kind == Value::Kind::Object) {
    bool repeated = false;
    success = only_member(*root, "success", repeated);
    value = only_member(*root, "value", repeated);
    if (repeated) return std::nullopt;
  } else if (root->kind == Value::Kind::Array && root->elements.size() == 2) {
    success = root->elements.data();
    value = &root->elements[1];
  }
  if (success == nullptr || value == nullptr || success->kind != Value::Kind::Boolean) return std::nullopt;
  return Reply{success->boolean, *value};
}

inline std::optional<tavrin_account::Secret> secret(const Value& value) {
  static constexpr std::array<std::string_view, 5> FIELDS = {"name", "data", "security_flags", "creation_time",
                                                             "expiration_time"};
  std::array<const Value*, 5> f{};
  if (value.kind == Value::Kind::Object) {
    bool repeated = false;
    for (std::size_t i = 0; i < f.size(); ++i) f[i] = only_member(value, FIELDS[i], repeated);
    if (repeated) return std::nullopt;
  } else if (value.kind == Value::Kind::Array && value.elements.size() == 5) {
    for (std::size_t i = 0; i < f.size(); ++i) f[i] = &value.elements[i];
  } else {
    return std::nullopt;
  }
  for (const Value* field : f) {
    if (field == nullptr) return std::nullopt;
  }
  const auto is_i64 = [](const Value& v) {
    return v.kind == Value::Kind::Integer && v.magnitude <= (v.negative ? std::uint64_t{1} << 63 : INT64_MAX);
  };
  const auto i64 = [](const Value& v) {
    return v.negative ? static_cast<std::int64_t>(0 - v.magnitude) : static_cast<std::int64_t>(v.magnitude);
  };
  if (f[0]->kind != Value::Kind::String || f[1]->kind != Value::Kind::Array || f[2]->kind != Value::Kind::String ||
      !is_i64(*f[3]) || !is_i64(*f[4])) {
    return std::nullopt;
  }
  tavrin_account::Secret secret{.name = f[0]->text, .creation_time = i64(*f[3]), .expiration_time = i64(*f[4])};
  for (const Value& byte : f[1]->elements) {
    if (byte.kind != Value::Kind::Integer || byte.negative || byte.magnitude > 255) return std::nullopt;
    secret.data.push_back(static_cast<std::uint8_t>(byte.magnitude));
  }
  const auto flags = tavrin_account::parse_security_flags(f[2]->text);
  if (!flags) return std::nullopt;
  secret.security_flags = *flags;
  return secret;
}

inline std::optional<tavrin_account::Error> error(const Value& value) {
  using tavrin_account::Error;
  if (value.kind == Value::Kind::String) {
    const auto kind = tavrin_account::error_kind_from_name(value.text);
    if (!kind || tavrin_account::error_kind_has_text(*kind)) return std::nullopt;
    return Error::of_kind(*kind);
  }
  if (value.kind != Value::Kind::Object || value.members.size() != 1) return std::nullopt;
  const auto& [name, content] = value.members.front();
  const auto kind = tavrin_account::error_kind_from_name(name);
  if (!kind) return std::nullopt;
  if (!tavrin_account::error_kind_has_text(*kind)) {
    return content.kind == Value::Kind::Null ? std::optional(Error::of_kind(*kind)) : std::nullopt;
  }
  return content.kind == Value::Kind::String ? std::optional(Error::of_kind(*kind, content.text)) : std::nullopt;
}

}  // namespace reference
