#include "tavrin_account/error.hpp"

#include <algorithm>

#include "common/invariant.hpp"
#include "common/quote.hpp"

namespace tavrin_account {
namespace {

struct KindInfo {
  std::string_view name;
  std::string_view display;  // for the cases without text
  bool has_text;
};

constexpr std::array<KindInfo, Error::KIND_COUNT> KINDS = {{
    {"Communication", "", true},
    {"NotImplemented", "", true},
    {"InvalidParams", "", true},
    {"PermissionDenied", "permission denied", false},
    {"NoSuchUser", "no such user", false},
    {"NoSuchGroup", "no such group", false},
    {"NoSuchSecret", "no such secret", false},
    {"NoSuchAuthMethod", "no such auth method", false},
    {"NotActivatedAuthMethod", "the specified auth method is not activated for the user", false},
    {"AllocHostId", "cannot allocate host id", false},
    {"AlreadyExists", "already exists", false},
    {"Internal", "", true},
}};
static_assert(static_cast<std::size_t>(Error::Kind::Internal) + 1 == Error::KIND_COUNT, "a kind without a count");
static_assert(std::ranges::none_of(KINDS, [](const KindInfo& kind) { return kind.name.empty(); }),
              "a kind without a row");
static_assert(KINDS[static_cast<std::size_t>(Error::Kind::Internal)].name == "Internal", "rows out of order");

const KindInfo& info(Error::Kind kind) noexcept {
  const auto index = static_cast<std::size_t>(kind);
  if (index >= KINDS.size()) common::invariant_broken("an error kind outside its enumeration");
  return KINDS[index];
}

}  // namespace

std::string_view wire_name(Error::Kind kind) noexcept { return info(kind).name; }

bool error_kind_has_text(Error::Kind kind) noexcept { return info(kind).has_text; }

std::optional<Error::Kind> error_kind_from_name(std::string_view name) noexcept {
  for (std::size_t i = 0; i < KINDS.size(); ++i) {
    if (KINDS[i].name == name) return static_cast<Error::Kind>(i);
  }
  return std::nullopt;
}

Error Error::of_kind(Kind kind, std::string text) {
  if (!error_kind_has_text(kind)) text.clear();
  return Error(kind, std::move(text));
}

common::FailureClass Error::failure_class() const noexcept {
  if (kind_ == Kind::NoSuchUser || kind_ == Kind::NoSuchSecret) return common::FailureClass::NotFound;
  return common::FailureClass::PeerFault;
}

std::string Error::display() const {
  switch (kind_) {
    case Kind::Communication: return "communication error: " + text_;
    case Kind::NotImplemented: return "`" + text_ + "`: Not implemented";
    case Kind::InvalidParams: return "invalid parameters: " + text_;
    case Kind::Internal: return "internal error: " + text_;
    default: return std::string(info(kind_).display);
  }
}

std::string Error::debug() const {
  std::string result(wire_name(kind_));
  if (error_kind_has_text(kind_)) {
    result += '(';
    result += common::quoted(text_);
    result += ')';
  }
  return result;
}

}  // namespace tavrin_account
