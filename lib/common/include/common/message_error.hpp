#pragma once

#include <string>
#include <utility>

#include "common/failure_class.hpp"
#include "common/quote.hpp"

namespace common {

// An error that is nothing but a plain text, and the class of failure it
// stands for where that matters to whoever receives it.
struct MessageError {
  std::string text;
  FailureClass kind = FailureClass::Unclassified;

  explicit MessageError(std::string message, FailureClass failure = FailureClass::Unclassified)
      : text(std::move(message)), kind(failure) {}

  [[nodiscard]] std::string display() const { return text; }
  [[nodiscard]] std::string debug() const { return common::quoted(text); }
  [[nodiscard]] FailureClass failure_class() const { return kind; }
};

}  // namespace common
