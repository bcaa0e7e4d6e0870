#include "tavrin_account/protocol.hpp"

#include <ostream>
#include <streambuf>

#include "reply.hpp"

namespace tavrin_account {
namespace {

using json = nlohmann::json;

// Appends what the JSON library writes to a stream to a message buffer, so
// that the request is serialised once, in place, through the library's
// public stream output.
class BufferStream final : public std::streambuf {
 public:
  explicit BufferStream(std::vector<std::uint8_t>& out) : out_(out) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    out_.push_back(static_cast<std::uint8_t>(traits_type::to_char_type(c)));
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize length) override {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(s);
    out_.insert(out_.end(), bytes, bytes + length);
    return length;
  }

 private:
  std::vector<std::uint8_t>& out_;
};

std::string unknown_variant(std::string_view name) {
  std::string message = "unknown variant `";
  message += name;
  message += "`, expected one of ";
  for (std::size_t i = 0; i < Error::KIND_COUNT; ++i) {
    if (i > 0) message += ", ";
    message += '`';
    message += wire_name(static_cast<Error::Kind>(i));
    message += '`';
  }
  return message;
}

std::expected<Error, std::string> error_from_name(const std::string& name) {
  const auto kind = error_kind_from_name(name);
  if (!kind) return std::unexpected(unknown_variant(name));
  if (error_kind_has_text(*kind)) return std::unexpected("invalid type: unit variant, expected newtype variant");
  return Error::of_kind(*kind);
}

std::expected<Error, std::string> error_from_member(const std::string& name, const json& content) {
  const auto kind = error_kind_from_name(name);
  if (!kind) return std::unexpected(unknown_variant(name));
  if (error_kind_has_text(*kind)) {
    if (!content.is_string()) return std::unexpected(strict_json::invalid_type(content, "a string"));
    return Error::of_kind(*kind, content.get<std::string>());
  }
  if (!content.is_null()) return std::unexpected(strict_json::invalid_type(content, "unit"));
  return Error::of_kind(*kind);
}

constexpr std::string_view SINGLE_KEY = "invalid value: map, expected map with a single key";

// An error as it stands in the reply text: a name, or an object counted by
// the members given, so that a name given twice is two members.
class ErrorReader final : public strict_json::ValueReader {
 public:
  void scalar(json value) override {
    if (depth_ == 0) {
      if (!value.is_string()) {
        fail(strict_json::invalid_type(value, "string or map"));
        return;
      }
      name_ = std::move(value.get_ref<std::string&>());
      return;
    }
    if (members_ == 1) content_.scalar(std::move(value));
  }
  void open(bool object) override {
    if (depth_++ == 0) {
      if (!object) {
        fail(strict_json::invalid_type(json::array(), "string or map"));
        return;
      }
      map_ = true;
      return;
    }
    if (members_ == 1) content_.open(object);
  }
  void key(std::string& name) override {
    if (depth_ == 1) {
      if (++members_ == 1) name_ = name;
      return;
    }
    if (members_ == 1) content_.key(name);
  }
  void close() override {
    if (--depth_ != 0 && members_ == 1) content_.close();
  }

  [[nodiscard]] std::expected<Error, std::string> take() {
    if (failed()) return std::unexpected(error());
    if (!map_) return error_from_name(name_);
    if (members_ != 1) return std::unexpected(std::string(SINGLE_KEY));
    return error_from_member(name_, content_.take());
  }

 private:
  std::size_t depth_ = 0;
  bool map_ = false;
  std::size_t members_ = 0;
  std::string name_;
  strict_json::TreeReader content_;
};

}  // namespace

std::expected<void, std::string> write_message(std::vector<std::uint8_t>& out, const strict_json::MessageShape& shape,
                                               const json& first, const json& second) {
  out.clear();
  BufferStream buffer(out);
  std::ostream stream(&buffer);
  // Writing is the one place the JSON library can throw: a string that is not
  // valid UTF-8 (a name the caller took from a user, say). Its exception is
  // caught here and nowhere else, and becomes this call's error.
  try {
    // A stream width of zero is what makes the library write compactly. The
    // two field names of each message are in bytewise order already.
    stream.width(0);
    stream << "{\"" << shape.first_field << "\":" << first << ",\"" << shape.second_field << "\":" << second << '}';
  } catch (const json::exception& error) {
    out.clear();
    return std::unexpected(strict_json::library_message(error.what()));
  }
  return {};
}

namespace reply {

std::expected<void, Error> exchange_request(AccountConnection& connection, std::string_view method,
                                            const json& params) {
  if (auto written = write_request(connection.buffer(), method, params); !written) {
    return std::unexpected(Error::communication(std::move(written).error()));
  }
  if (auto exchanged = exchange_message(connection); !exchanged) {
    return std::unexpected(Error::communication(exchanged.error().display()));
  }
  return {};
}

std::expected<void, Error> read_reply(std::span<const std::uint8_t> body, strict_json::ValueReader& result) {
  // Which of the two readings of the value counts is known only once
  // "success" has been read, and it may come last.
  ErrorReader failure;
  strict_json::BothReaders value(result, failure);
  auto success = strict_json::read_message(body, RESPONSE_SHAPE, value);
  if (!success) return std::unexpected(Error::communication(std::move(success).error()));
  if (success->get<bool>()) return {};
  auto error = failure.take();
  if (!error) return std::unexpected(Error::invalid_params(std::move(error).error()).from_daemon());
  return std::unexpected(std::move(*error).from_daemon());
}

}  // namespace reply

std::expected<void, std::string> write_request(std::vector<std::uint8_t>& out, std::string_view method,
                                               const json& params) {
  return write_message(out, REQUEST_SHAPE, json(std::string(method)), params);
}

std::expected<json, Error> value_from_reply(std::span<const std::uint8_t> body) {
  strict_json::TreeReader value;
  if (auto read = reply::read_reply(body, value); !read) return std::unexpected(std::move(read).error());
  return value.take();
}

std::expected<json, Error> call_method(AccountConnection& connection, std::string_view method, const json& params) {
  if (auto exchanged = reply::exchange_request(connection, method, params); !exchanged) {
    return std::unexpected(std::move(exchanged).error());
  }
  return value_from_reply(connection.buffer());
}

}  // namespace tavrin_account
