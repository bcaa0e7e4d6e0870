#include "auth_password/method_descriptor.hpp"

#include <nlohmann/json.hpp>

namespace auth_password {

MethodInfo MethodDescriptor::info() const {
  MethodInfo info{.name = name_, .provides_master_key = provides_master_key_, .modes = {}};
  info.modes.reserve(modes_.size());
  for (const auto& mode : modes_) info.modes.push_back(ModeInfo{std::string(mode->name())});
  return info;
}

Mode* MethodDescriptor::find_mode(std::string_view name) const {
  for (const auto& mode : modes_) {
    if (mode->name() == name) return mode.get();
  }
  return nullptr;
}

std::string method_info_json(const MethodInfo& info) {
  // ordered_json keeps the members in the order written here.
  nlohmann::ordered_json modes = nlohmann::ordered_json::array();
  for (const auto& mode : info.modes) modes.push_back({{"name", mode.name}});
  const nlohmann::ordered_json json = {
      {"name", info.name}, {"provides_master_key", info.provides_master_key}, {"modes", std::move(modes)}};
  // `replace` never throws: names are our own static texts anyway.
  return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace auth_password
