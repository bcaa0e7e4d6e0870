#include "tavrin_account/protocol.hpp"

#include <ostream>
#include <streambuf>

#include "reply.hpp"
#include "strict_json.hpp"

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

// {"<first>":<first value>,"<second>":<second value>}, compact, with the
// library's escaping and its bytewise-sorted object members. The two keys are
// in sorted order already.
std::expected<void, std::string> write_pair(std::vector<std::uint8_t>& out, std::string_view first_key,
                                            const json& first, std::string_view second_key, const json& second) {
  out.clear();
  BufferStream buffer(out);
  std::ostream stream(&buffer);
  try {
    // A stream width of zero is what makes the library write compactly.
    stream.width(0);
    stream << "{\"" << first_key << "\":" << first << ",\"" << second_key << "\":" << second << '}';
  } catch (const json::exception& error) {
    out.clear();
    return std::unexpected(detail::library_message(error.what()));
  }
  return {};
}

constexpr detail::MessageShape kResponseShape{
    .struct_name = "Response",
    .first_field = "success",
    .second_field = "value",
    .first_kind = detail::MessageShape::FirstKind::Boolean,
};

constexpr detail::MessageShape kRequestShape{
    .struct_name = "Request",
    .first_field = "method",
    .second_field = "params",
    .first_kind = detail::MessageShape::FirstKind::String,
};

std::string unknown_variant(std::string_view name) {
  std::string message = "unknown variant `";
  message += name;
  message += "`, expected one of ";
  for (std::size_t i = 0; i < Error::KIND_COUNT; ++i) {
    if (i > 0) message += ", ";
    message += '`';
    message += error_kind_name(static_cast<Error::Kind>(i));
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
    if (!content.is_string()) return std::unexpected(detail::invalid_type(content, "a string"));
    return Error::of_kind(*kind, content.get<std::string>());
  }
  if (!content.is_null()) return std::unexpected(detail::invalid_type(content, "unit"));
  return Error::of_kind(*kind);
}

constexpr std::string_view kSingleKey = "invalid value: map, expected map with a single key";

// An error as it stands in the reply text: a name, or an object counted by
// the members given, so that a name given twice is two members.
class ErrorReader final : public detail::ValueReader {
 public:
  bool scalar(json value) override {
    if (depth_ == 0) {
      if (!value.is_string()) return fail(detail::invalid_type(value, "string or map"));
      name_ = std::move(value.get_ref<std::string&>());
      return true;
    }
    if (members_ == 1) (void)content_.scalar(std::move(value));
    return true;
  }
  bool open(bool object) override {
    if (depth_++ == 0) {
      if (!object) return fail(detail::invalid_type(json::array(), "string or map"));
      map_ = true;
      return true;
    }
    if (members_ == 1) (void)content_.open(object);
    return true;
  }
  bool key(std::string& name) override {
    if (depth_ == 1) {
      if (++members_ == 1) name_ = name;
      return true;
    }
    if (members_ == 1) (void)content_.key(name);
    return true;
  }
  bool close() override {
    if (--depth_ != 0 && members_ == 1) (void)content_.close();
    return true;
  }

  [[nodiscard]] std::expected<Error, std::string> take() {
    if (failed()) return std::unexpected(error());
    if (!map_) return error_from_name(name_);
    if (members_ != 1) return std::unexpected(std::string(kSingleKey));
    return error_from_member(name_, content_.take());
  }

 private:
  std::size_t depth_ = 0;
  bool map_ = false;
  std::size_t members_ = 0;
  std::string name_;
  detail::TreeReader content_;
};

}  // namespace

namespace detail {

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

std::expected<void, Error> read_reply(std::span<const std::uint8_t> body, ValueReader& result) {
  // Which of the two readings of the value counts is known only once
  // "success" has been read, and it may come last.
  ErrorReader failure;
  BothReaders value(result, failure);
  auto success = read_message(body, kResponseShape, value);
  if (!success) return std::unexpected(Error::communication(std::move(success).error()));
  if (success->get<bool>()) return {};
  auto error = failure.take();
  if (!error) return std::unexpected(Error::invalid_params(std::move(error).error()));
  return std::unexpected(std::move(*error));
}

}  // namespace detail

std::expected<void, std::string> write_request(std::vector<std::uint8_t>& out, std::string_view method,
                                               const json& params) {
  return write_pair(out, "method", json(std::string(method)), "params", params);
}

std::expected<void, std::string> write_response(std::vector<std::uint8_t>& out, bool success, const json& value) {
  return write_pair(out, "success", json(success), "value", value);
}

std::expected<Response, std::string> decode_response(std::span<const std::uint8_t> body) {
  detail::TreeReader value;
  auto success = detail::read_message(body, kResponseShape, value);
  if (!success) return std::unexpected(std::move(success).error());
  return Response{.success = success->get<bool>(), .value = value.take()};
}

std::expected<Request, std::string> decode_request(std::span<const std::uint8_t> body) {
  detail::TreeReader params(detail::TreeReader::RepeatedKeys::Refuse);
  auto method = detail::read_message(body, kRequestShape, params);
  if (!method) return std::unexpected(std::move(method).error());
  return Request{.method = std::move(method->get_ref<std::string&>()), .params = params.take()};
}

std::expected<Error, std::string> error_from_json(const json& value) {
  if (value.is_string()) return error_from_name(value.get_ref<const std::string&>());
  if (value.is_object()) {
    if (value.size() != 1) return std::unexpected(std::string(kSingleKey));
    const auto& [name, content] = *value.get_ref<const json::object_t&>().begin();
    return error_from_member(name, content);
  }
  return std::unexpected(detail::invalid_type(value, "string or map"));
}

json error_to_json(const Error& error) {
  const std::string name(error_kind_name(error.kind()));
  // Not "return {name}": braces would make a JSON array of one string.
  if (!error_kind_has_text(error.kind())) return json(name);  // NOLINT(modernize-return-braced-init-list)
  json object = json::object();
  object[name] = error.text();
  return object;
}

std::expected<json, Error> value_from_reply(std::span<const std::uint8_t> body) {
  detail::TreeReader value;
  if (auto read = detail::read_reply(body, value); !read) return std::unexpected(std::move(read).error());
  return value.take();
}

std::expected<json, Error> call_method(AccountConnection& connection, std::string_view method, const json& params) {
  if (auto exchanged = detail::exchange_request(connection, method, params); !exchanged) {
    return std::unexpected(std::move(exchanged).error());
  }
  return value_from_reply(connection.buffer());
}

}  // namespace tavrin_account
