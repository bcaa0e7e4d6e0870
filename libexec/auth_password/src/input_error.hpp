#pragma once

#include <string>
#include <utility>

#include "common/failure_class.hpp"
#include "common/quote.hpp"

namespace auth_password {

// Why what a program handed over on standard input cannot be used. The text
// never holds a byte of what was read inside a string: that may be a
// password.
class [[nodiscard]] InputError {
 public:
  explicit InputError(std::string why) : why_(std::move(why)) {}

  [[nodiscard]] std::string display() const { return "bad input: " + why_; }
  [[nodiscard]] std::string debug() const { return common::quoted(display()); }
  [[nodiscard]] static common::FailureClass failure_class() { return common::FailureClass::BadInput; }

 private:
  std::string why_;
};

}  // namespace auth_password
