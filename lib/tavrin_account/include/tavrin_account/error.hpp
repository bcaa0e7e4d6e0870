#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/failure_class.hpp"

namespace tavrin_account {

// A failure reported by (or on the way to) the account service.
class [[nodiscard]] Error {
 public:
  enum class Kind : std::uint8_t {
    Communication,
    NotImplemented,
    InvalidParams,
    PermissionDenied,
    NoSuchUser,
    NoSuchGroup,
    NoSuchSecret,
    NoSuchAuthMethod,
    NotActivatedAuthMethod,
    AllocHostId,
    AlreadyExists,
    Internal,
  };
  static constexpr std::size_t KIND_COUNT = 12;

  [[nodiscard]] static Error communication(std::string text) { return Error(Kind::Communication, std::move(text)); }
  [[nodiscard]] static Error not_implemented(std::string text) { return Error(Kind::NotImplemented, std::move(text)); }
  [[nodiscard]] static Error invalid_params(std::string text) { return Error(Kind::InvalidParams, std::move(text)); }
  [[nodiscard]] static Error permission_denied() { return Error(Kind::PermissionDenied); }
  [[nodiscard]] static Error no_such_user() { return Error(Kind::NoSuchUser); }
  [[nodiscard]] static Error no_such_group() { return Error(Kind::NoSuchGroup); }
  [[nodiscard]] static Error no_such_secret() { return Error(Kind::NoSuchSecret); }
  [[nodiscard]] static Error no_such_auth_method() { return Error(Kind::NoSuchAuthMethod); }
  [[nodiscard]] static Error not_activated_auth_method() { return Error(Kind::NotActivatedAuthMethod); }
  [[nodiscard]] static Error alloc_host_id() { return Error(Kind::AllocHostId); }
  [[nodiscard]] static Error already_exists() { return Error(Kind::AlreadyExists); }
  [[nodiscard]] static Error internal(std::string text) { return Error(Kind::Internal, std::move(text)); }

  // Any case; the text is ignored for the cases that carry none. Used when
  // decoding a case named on the wire.
  [[nodiscard]] static Error of_kind(Kind kind, std::string text = {});

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  // Empty for the cases that carry no text.
  [[nodiscard]] const std::string& text() const noexcept { return text_; }

  // The same error, marked as the one the daemon sent in a failure reply:
  // the daemon turned the request down (an error it sent that cannot be read
  // is marked too). Errors made here because no usable reply came are not.
  [[nodiscard]] Error from_daemon() && {
    from_daemon_ = true;
    return std::move(*this);
  }
  [[nodiscard]] bool sent_by_daemon() const noexcept { return from_daemon_; }

  [[nodiscard]] std::string display() const;
  [[nodiscard]] std::string debug() const;
  // NotFound for a user or secret the service does not have; PeerFault for
  // everything else, which the service sent or which came instead of a usable
  // reply.
  [[nodiscard]] common::FailureClass failure_class() const noexcept;

  // Equal when they say the same; where an error came from is asked apart.
  friend bool operator==(const Error& a, const Error& b) { return a.kind_ == b.kind_ && a.text_ == b.text_; }

 private:
  explicit Error(Kind kind, std::string text = {}) : kind_(kind), text_(std::move(text)) {}

  Kind kind_;
  std::string text_;
  bool from_daemon_ = false;
};

// The case's name, as written on the wire.
[[nodiscard]] std::string_view wire_name(Error::Kind kind) noexcept;
[[nodiscard]] bool error_kind_has_text(Error::Kind kind) noexcept;
[[nodiscard]] std::optional<Error::Kind> error_kind_from_name(std::string_view name) noexcept;

}  // namespace tavrin_account
