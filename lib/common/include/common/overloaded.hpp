#pragma once

namespace common {

// Builds a std::visit visitor from lambdas, one per alternative.
template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
// clang 16 does not deduce aggregate template arguments by itself.
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

}  // namespace common
