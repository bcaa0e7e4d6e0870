#include "tavrin_account/protocol.hpp"

#include <memory>

#include "strict_json.hpp"

namespace tavrin_account {
namespace {

using json = nlohmann::json;

// Lets the JSON library's serialiser write straight into a message buffer.
class BufferSink final : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  explicit BufferSink(std::vector<std::uint8_t>& out) : out_(out) {}
  void write_character(char c) override { out_.push_back(static_cast<std::uint8_t>(c)); }
  void write_characters(const char* s, std::size_t length) override {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(s);
    out_.insert(out_.end(), bytes, bytes + length);
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
  auto sink = std::make_shared<BufferSink>(out);
  try {
    nlohmann::detail::serializer<json> serializer(sink, ' ', json::error_handler_t::strict);
    const auto literal = [&](std::string_view text) { sink->write_characters(text.data(), text.size()); };
    literal("{\"");
    literal(first_key);
    literal("\":");
    serializer.dump(first, false, false, 0);
    literal(",\"");
    literal(second_key);
    literal("\":");
    serializer.dump(second, false, false, 0);
    literal("}");
  } catch (const json::exception& error) {
    out.clear();
    return std::unexpected(detail::library_message(error.what()));
  }
  return {};
}

constexpr detail::EnvelopeShape kResponseShape{
    .struct_name = "Response",
    .first_field = "success",
    .second_field = "value",
    .first_kind = detail::EnvelopeShape::FirstKind::Boolean,
};

constexpr detail::EnvelopeShape kRequestShape{
    .struct_name = "Request",
    .first_field = "method",
    .second_field = "params",
    .first_kind = detail::EnvelopeShape::FirstKind::String,
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

}  // namespace

std::expected<void, std::string> write_request(std::vector<std::uint8_t>& out, std::string_view method,
                                               const json& params) {
  return write_pair(out, "method", json(std::string(method)), "params", params);
}

std::expected<void, std::string> write_response(std::vector<std::uint8_t>& out, bool success, const json& value) {
  return write_pair(out, "success", json(success), "value", value);
}

std::expected<Response, std::string> decode_response(std::span<const std::uint8_t> body) {
  auto envelope = detail::read_envelope(body, kResponseShape);
  if (!envelope) return std::unexpected(std::move(envelope).error());
  return Response{.success = envelope->first.get<bool>(), .value = std::move(envelope->second)};
}

std::expected<Request, std::string> decode_request(std::span<const std::uint8_t> body) {
  auto envelope = detail::read_envelope(body, kRequestShape);
  if (!envelope) return std::unexpected(std::move(envelope).error());
  return Request{.method = std::move(envelope->first.get_ref<std::string&>()), .params = std::move(envelope->second)};
}

std::expected<Error, std::string> error_from_json(const json& value) {
  if (value.is_string()) {
    const auto& name = value.get_ref<const std::string&>();
    const auto kind = error_kind_from_name(name);
    if (!kind) return std::unexpected(unknown_variant(name));
    if (error_kind_has_text(*kind)) return std::unexpected("invalid type: unit variant, expected newtype variant");
    return Error::of_kind(*kind);
  }
  if (value.is_object()) {
    if (value.size() != 1) return std::unexpected("invalid value: map, expected map with a single key");
    const auto& [name, content] = *value.get_ref<const json::object_t&>().begin();
    const auto kind = error_kind_from_name(name);
    if (!kind) return std::unexpected(unknown_variant(name));
    if (error_kind_has_text(*kind)) {
      if (!content.is_string()) return std::unexpected(detail::invalid_type(content, "a string"));
      return Error::of_kind(*kind, content.get<std::string>());
    }
    if (!content.is_null()) return std::unexpected(detail::invalid_type(content, "unit"));
    return Error::of_kind(*kind);
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

std::expected<json, Error> call_method(AccountConnection& connection, std::string_view method, const json& params) {
  if (auto written = write_request(connection.buffer(), method, params); !written) {
    return std::unexpected(Error::communication(std::move(written).error()));
  }
  if (auto exchanged = exchange_message(connection); !exchanged) {
    return std::unexpected(Error::communication(exchanged.error().display()));
  }
  auto response = decode_response(connection.buffer());
  if (!response) return std::unexpected(Error::communication(std::move(response).error()));
  if (response->success) return std::move(response->value);
  auto error = error_from_json(response->value);
  if (!error) return std::unexpected(Error::invalid_params(std::move(error).error()));
  return std::unexpected(std::move(*error));
}

}  // namespace tavrin_account
