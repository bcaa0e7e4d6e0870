#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

[[nodiscard]] inline std::vector<std::uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

// Points the account-service calls made by this process at a daemon while in
// scope.
class Endpoint {
 public:
  explicit Endpoint(const std::string& uri) { ::setenv("ACCOUNT_IPC_URI", uri.c_str(), 1); }
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;
  ~Endpoint() { ::unsetenv("ACCOUNT_IPC_URI"); }
};

}  // namespace test_support
