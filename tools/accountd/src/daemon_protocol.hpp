#pragma once

// The daemon's side of the protocol: requests read with the client's own
// strict reader, replies written in the one form the client reads.

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/message_error.hpp"
#include "tavrin_account/error.hpp"
#include "tavrin_account/secrets.hpp"

namespace accountd {

struct Request {
  std::string method;
  nlohmann::json params;
};

// One JSON value with only blank, tab, line feed and carriage return around
// it, no NUL byte, "method" and "params" once each, nesting below 128 levels,
// and no key twice in any object of the params. Failures describe the fault
// and end with the line and column where it lies.
[[nodiscard]] std::expected<Request, common::MessageError> decode_request(std::span<const std::uint8_t> body);

// The params of the two secret calls: the record's fields (objects in any
// order, unknown members skipped; arrays in declaration order), then each
// field's own type. Failures describe the fault, without a place.
[[nodiscard]] std::expected<tavrin_account::GetSecretParams, common::MessageError> get_secret_params(
    const nlohmann::json& params);
[[nodiscard]] std::expected<tavrin_account::SetSecretParams, common::MessageError> set_secret_params(
    const nlohmann::json& params);

// Replaces `out` with the reply text: "success" first, then "value".
[[nodiscard]] std::expected<void, common::MessageError> write_response(std::vector<std::uint8_t>& out, bool success,
                                                                       const nlohmann::json& value);

// An error as a failure reply carries it: its name, or a map of its name to
// its text.
[[nodiscard]] nlohmann::json error_to_json(const tavrin_account::Error& error);

}  // namespace accountd
