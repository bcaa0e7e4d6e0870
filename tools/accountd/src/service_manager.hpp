#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "common/message_error.hpp"
#include "common/unique_fd.hpp"
#include "tavrin_account/endpoint.hpp"

namespace accountd {

// The listening socket that a service manager passed (socket activation), if
// it passed one. It must be one listening AF_UNIX stream socket bound to
// `endpoint`, so that the unit and the command line cannot disagree about
// where accountd serves. It comes back non-blocking and close-on-exec.
[[nodiscard]] std::expected<std::optional<common::UniqueFd>, common::MessageError> passed_listener(
    const tavrin_account::EndpointAddress& endpoint);

// Tells the service manager how accountd stands ("READY=1", "STOPPING=1");
// nothing happens when no service manager asked to be told.
void notify_service_manager(std::string_view state);

}  // namespace accountd
