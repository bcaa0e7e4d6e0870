#pragma once

#include <concepts>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "common/failure_class.hpp"

namespace common {

// An error type has a display form (for people) and a debug form (for the
// driver's final "Error: " line).
template <class E>
concept ErrorValue = requires(const E& e) {
  { e.display() } -> std::convertible_to<std::string>;
  { e.debug() } -> std::convertible_to<std::string>;
};

// The one carrier every failure travels upwards in. It is moved, never
// copied, and offers nothing but its two printed forms and the class its
// value declares: nobody on the way up inspects or converts it.
class [[nodiscard]] AnyError {
 public:
  template <ErrorValue E>
    requires(!std::same_as<std::remove_cvref_t<E>, AnyError>)
  AnyError(E error)  // NOLINT(google-explicit-constructor): errors convert implicitly.
      : impl_(std::make_unique<Model<E>>(std::move(error))) {}

  AnyError(AnyError&&) noexcept = default;
  AnyError& operator=(AnyError&&) noexcept = default;
  AnyError(const AnyError&) = delete;
  AnyError& operator=(const AnyError&) = delete;
  ~AnyError() = default;

  [[nodiscard]] std::string display() const { return impl_->display(); }
  [[nodiscard]] std::string debug() const { return impl_->debug(); }
  [[nodiscard]] FailureClass failure_class() const { return impl_->failure_class(); }

 private:
  struct Concept {
    virtual ~Concept() = default;
    [[nodiscard]] virtual std::string display() const = 0;
    [[nodiscard]] virtual std::string debug() const = 0;
    [[nodiscard]] virtual FailureClass failure_class() const = 0;
  };
  template <class E>
  struct Model final : Concept {
    explicit Model(E e) : value(std::move(e)) {}
    [[nodiscard]] std::string display() const override { return value.display(); }
    [[nodiscard]] std::string debug() const override { return value.debug(); }
    [[nodiscard]] FailureClass failure_class() const override { return failure_class_of(value); }
    E value;
  };

  std::unique_ptr<Concept> impl_;
};

}  // namespace common
