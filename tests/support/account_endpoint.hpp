#pragma once

#include <cstdlib>
#include <string>

namespace test_support {

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
