#pragma once

#include <concepts>
#include <cstdint>

namespace common {

// What kind of failure an error stands for, told where the error is made, so
// that whoever has to act on it (answer a caller, write a log line) need not
// read its text. Most errors are Unclassified.
enum class FailureClass : std::uint8_t {
  Unclassified,
  // The peer could not be reached, or the connection to it failed.
  Unreachable,
  // The peer answered, but not with what was asked for.
  PeerFault,
  // The record asked for does not exist.
  NotFound,
  // A secret did not open what it was meant to open.
  CredentialRejected,
  // Someone else holds what is needed.
  Busy,
  // What the caller handed over cannot be used.
  BadInput,
};

// The class an error value declares with a failure_class() member, else
// Unclassified.
template <class E>
[[nodiscard]] FailureClass failure_class_of(const E& error) {
  if constexpr (requires {
                  { error.failure_class() } -> std::same_as<FailureClass>;
                }) {
    return error.failure_class();
  } else {
    return FailureClass::Unclassified;
  }
}

}  // namespace common
