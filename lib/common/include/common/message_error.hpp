#pragma once

#include <string>
#include <utility>

#include "common/quote.hpp"

namespace common {

// An error that is nothing but a plain text.
struct MessageError {
  std::string text;

  explicit MessageError(std::string message) : text(std::move(message)) {}

  [[nodiscard]] std::string display() const { return text; }
  [[nodiscard]] std::string debug() const { return common::quoted(text); }
};

}  // namespace common
