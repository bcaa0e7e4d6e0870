#pragma once

#include <string>
#include <string_view>

namespace test_support {

// The body with the wire's four-byte length in front, as a client or daemon
// sends it.
[[nodiscard]] std::string frame_of(std::string_view body);

}  // namespace test_support
