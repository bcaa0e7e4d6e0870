#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/message_error.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/error.hpp"
#include "tavrin_account/strict_json.hpp"

namespace tavrin_account {

// One request and its reply over the connection: the reply's value when the
// daemon reports success, otherwise the daemon's error.
[[nodiscard]] std::expected<nlohmann::json, Error> call_method(AccountConnection& connection, std::string_view method,
                                                               const nlohmann::json& params);

// What a reply body says: the value of a success reply, the error of a failure
// reply (from_daemon() set, `InvalidParams` when the error cannot be read),
// and `Communication` for a body that is no reply.
[[nodiscard]] std::expected<nlohmann::json, Error> value_from_reply(std::span<const std::uint8_t> body);

// The two messages, as both sides read and write them.
inline constexpr strict_json::MessageShape REQUEST_SHAPE{
    .struct_name = "Request",
    .first_field = "method",
    .second_field = "params",
    .first_kind = strict_json::MessageShape::FirstKind::String,
};
inline constexpr strict_json::MessageShape RESPONSE_SHAPE{
    .struct_name = "Response",
    .first_field = "success",
    .second_field = "value",
    .first_kind = strict_json::MessageShape::FirstKind::Boolean,
};

// Replaces `out` with the compact message text {"<first field>":<first>,
// "<second field>":<second>}, every object's members in bytewise key order.
// Fails only for text that is not UTF-8, and then leaves `out` empty.
[[nodiscard]] std::expected<void, common::MessageError> write_message(std::vector<std::uint8_t>& out,
                                                                      const strict_json::MessageShape& shape,
                                                                      const nlohmann::json& first,
                                                                      const nlohmann::json& second);

// A request: "method" first, then "params".
[[nodiscard]] std::expected<void, common::MessageError> write_request(std::vector<std::uint8_t>& out,
                                                                      std::string_view method,
                                                                      const nlohmann::json& params);

}  // namespace tavrin_account
