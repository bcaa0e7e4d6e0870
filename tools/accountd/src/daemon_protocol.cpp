#include "daemon_protocol.hpp"

#include "tavrin_account/protocol.hpp"
#include "tavrin_account/strict_json.hpp"

namespace accountd {
namespace {

using nlohmann::json;
using tavrin_account::strict_json::ReadResult;
using tavrin_account::strict_json::RecordReader;
using tavrin_account::strict_json::refuse;
using tavrin_account::strict_json::ValueReader;

// A params tree, already read strictly, goes through the record readers the
// client uses, as the events its text gave; objects come in bytewise key
// order. The tree nests less than the reader's limit, so the recursion is
// bounded. The first event the reader refuses ends the replay.
ReadResult replay(const json& value, ValueReader& reader) {
  if (value.is_object()) {
    if (auto read = reader.open(true); !read) return read;
    for (const auto& [name, member] : value.get_ref<const json::object_t&>()) {
      std::string key = name;
      if (auto read = reader.key(key); !read) return read;
      if (auto read = replay(member, reader); !read) return read;
    }
    return reader.close();
  }
  if (value.is_array()) {
    if (auto read = reader.open(false); !read) return read;
    for (const json& element : value.get_ref<const json::array_t&>()) {
      if (auto read = replay(element, reader); !read) return read;
    }
    return reader.close();
  }
  return reader.scalar(value);
}

std::expected<std::vector<json>, common::MessageError> record_fields(const json& value, std::string_view struct_name,
                                                                     std::span<const std::string_view> fields) {
  RecordReader record(struct_name, fields);
  if (auto read = replay(value, record); !read) return std::unexpected(std::move(read).error());
  return record.take();
}

std::expected<common::Uuid, common::MessageError> read_uuid(const json& value) {
  if (!value.is_string()) return refuse(tavrin_account::strict_json::invalid_type(value, "a UUID string"));
  auto uuid = common::parse_uuid(value.get_ref<const std::string&>());
  if (!uuid) return refuse("UUID parsing failed: " + uuid.error().display());
  return *uuid;
}

constexpr std::array<std::string_view, 2> GET_SECRET_PARAMS_FIELDS = {"user", "name"};
constexpr std::array<std::string_view, 2> SET_SECRET_PARAMS_FIELDS = {"user", "secret"};

}  // namespace

std::expected<Request, common::MessageError> decode_request(std::span<const std::uint8_t> body) {
  tavrin_account::strict_json::TreeReader params(tavrin_account::strict_json::TreeReader::RepeatedKeys::Refuse);
  auto method = tavrin_account::strict_json::read_message(body, tavrin_account::REQUEST_SHAPE, params);
  if (!method) return std::unexpected(std::move(method).error());
  return Request{.method = std::move(method->get_ref<std::string&>()), .params = params.take()};
}

std::expected<tavrin_account::GetSecretParams, common::MessageError> get_secret_params(const json& params) {
  const auto fields = record_fields(params, "GetSecretParams", GET_SECRET_PARAMS_FIELDS);
  if (!fields) return std::unexpected(fields.error());
  auto user = read_uuid((*fields)[0]);
  if (!user) return std::unexpected(user.error());
  const json& name = (*fields)[1];
  if (!name.is_string()) return refuse(tavrin_account::strict_json::invalid_type(name, "a string"));
  return tavrin_account::GetSecretParams{.user = *user, .name = name.get<std::string>()};
}

std::expected<tavrin_account::SetSecretParams, common::MessageError> set_secret_params(const json& params) {
  const auto fields = record_fields(params, "SetSecretParams", SET_SECRET_PARAMS_FIELDS);
  if (!fields) return std::unexpected(fields.error());
  auto user = read_uuid((*fields)[0]);
  if (!user) return std::unexpected(user.error());
  const auto secret_fields = record_fields((*fields)[1], "Secret", tavrin_account::SECRET_FIELDS);
  if (!secret_fields) return std::unexpected(secret_fields.error());
  auto secret = tavrin_account::secret_from_fields(*secret_fields);
  if (!secret) return std::unexpected(secret.error());
  return tavrin_account::SetSecretParams{.user = *user, .secret = std::move(*secret)};
}

std::expected<void, common::MessageError> write_response(std::vector<std::uint8_t>& out, bool success,
                                                         const json& value) {
  return tavrin_account::write_message(out, tavrin_account::RESPONSE_SHAPE, json(success), value);
}

json error_to_json(const tavrin_account::Error& error) {
  const std::string name(tavrin_account::wire_name(error.kind()));
  // Not "return {name}": braces would make a JSON array of one string.
  if (!tavrin_account::error_kind_has_text(error.kind()))
    return json(name);  // NOLINT(modernize-return-braced-init-list)
  json object = json::object();
  object[name] = error.text();
  return object;
}

}  // namespace accountd
