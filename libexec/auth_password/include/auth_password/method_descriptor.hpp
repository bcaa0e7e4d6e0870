#pragma once

#include <concepts>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "auth_password/mode.hpp"

namespace auth_password {

struct ModeInfo {
  std::string name;
};

// The descriptor as QueryInformation reports it.
struct MethodInfo {
  std::string name;
  bool provides_master_key = false;
  std::vector<ModeInfo> modes;
};

// The method: its name, whether it keeps a master key for its users, and its
// modes in registration order. Built once, then consumed by run().
class MethodDescriptor {
 public:
  MethodDescriptor(std::string name, bool provides_master_key)
      : name_(std::move(name)), provides_master_key_(provides_master_key) {}

  MethodDescriptor(const MethodDescriptor&) = delete;
  MethodDescriptor& operator=(const MethodDescriptor&) = delete;
  MethodDescriptor(MethodDescriptor&&) noexcept = default;
  MethodDescriptor& operator=(MethodDescriptor&&) noexcept = default;
  ~MethodDescriptor() = default;

  // Appends a mode; written as one chain. Names are not checked for
  // uniqueness: the first registered mode of a name is the one found.
  template <std::derived_from<Mode> M>
  [[nodiscard]] MethodDescriptor with_mode(M mode) && {
    modes_.push_back(std::make_unique<M>(std::move(mode)));
    return std::move(*this);
  }

  [[nodiscard]] MethodInfo info() const;
  // The first mode whose name equals `name` byte for byte, or null.
  [[nodiscard]] Mode* find_mode(std::string_view name) const;

 private:
  std::string name_;
  bool provides_master_key_;
  std::vector<std::unique_ptr<Mode>> modes_;
};

// The method description as one line of compact JSON (no line feed).
[[nodiscard]] std::string method_info_json(const MethodInfo& info);

}  // namespace auth_password
