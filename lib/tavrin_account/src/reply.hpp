#pragma once

// The steps of one call, for the secret calls that read the reply value
// straight from the message body instead of from a tree.

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tavrin_account/connection.hpp"
#include "tavrin_account/error.hpp"
#include "tavrin_account/strict_json.hpp"

namespace tavrin_account::reply {

// Writes the request into the connection's buffer and leaves the reply body
// there in its place.
[[nodiscard]] std::expected<void, Error> exchange_request(AccountConnection& connection, std::string_view method,
                                                          const nlohmann::json& params);

// Reads a reply body. On a success reply `result` has read the value, and the
// caller asks it what it found (a value it refused is a `Communication`
// error); a failure reply gives the daemon's error.
[[nodiscard]] std::expected<void, Error> read_reply(std::span<const std::uint8_t> body,
                                                    strict_json::ValueReader& result);

}  // namespace tavrin_account::reply
