#include "auth_password/mode.hpp"

#include <string>
#include <variant>

#include "common/overloaded.hpp"

namespace auth_password {

std::string Failure::report() const {
  return std::visit(common::Overloaded{
                        [](const common::AnyError& error) { return "Error: " + error.debug() + "\n"; },
                        [](const Refusal& refusal) { return refusal.message; },
                    },
                    content_);
}

}  // namespace auth_password
