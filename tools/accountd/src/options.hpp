#pragma once

#include <sys/types.h>

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/message_error.hpp"

namespace accountd {

struct Options {
  std::string endpoint;
  std::optional<std::string> store_path;  // nullopt: a throw-away store in memory
  std::vector<uid_t> allowed_uids;        // served besides root and the daemon's own uid
  bool help = false;
};

[[nodiscard]] std::expected<Options, common::MessageError> parse_options(std::span<const std::string_view> args);
[[nodiscard]] std::string usage();

}  // namespace accountd
