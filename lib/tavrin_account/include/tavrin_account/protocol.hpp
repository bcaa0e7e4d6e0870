#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "tavrin_account/connection.hpp"
#include "tavrin_account/error.hpp"

namespace tavrin_account {

// One request and its reply over the connection: the reply's value when the
// daemon reports success, otherwise the daemon's error.
[[nodiscard]] std::expected<nlohmann::json, Error> call_method(AccountConnection& connection, std::string_view method,
                                                               const nlohmann::json& params);

// What a reply body says: the value of a success reply, the error of a failure
// reply, `Communication` for a body that is no reply, and `InvalidParams` for
// a failure reply whose error cannot be read.
[[nodiscard]] std::expected<nlohmann::json, Error> value_from_reply(std::span<const std::uint8_t> body);

// The wire forms, shared by the client and the development daemon.

struct Request {
  std::string method;
  nlohmann::json params;
};

struct Response {
  bool success = false;
  nlohmann::json value;
};

// Replace `out` with the compact request text: "method" first, every object's
// members in bytewise key order. Fails only for text that is not UTF-8.
[[nodiscard]] std::expected<void, std::string> write_request(std::vector<std::uint8_t>& out, std::string_view method,
                                                             const nlohmann::json& params);
[[nodiscard]] std::expected<void, std::string> write_response(std::vector<std::uint8_t>& out, bool success,
                                                              const nlohmann::json& value);

// Strict readers: one JSON value with only blank, tab, line feed and carriage
// return around it, no NUL byte, the record's own members once each, nesting
// below 128 levels. Failures describe the fault and where it lies. A repeated
// key inside a reply's value keeps its later value; the daemon refuses one
// anywhere inside a request's params.
[[nodiscard]] std::expected<Response, std::string> decode_response(std::span<const std::uint8_t> body);
[[nodiscard]] std::expected<Request, std::string> decode_request(std::span<const std::uint8_t> body);

// An error as carried in a failure reply: its name, or a map of its name to
// its text (or to null).
[[nodiscard]] std::expected<Error, std::string> error_from_json(const nlohmann::json& value);
[[nodiscard]] nlohmann::json error_to_json(const Error& error);

}  // namespace tavrin_account
