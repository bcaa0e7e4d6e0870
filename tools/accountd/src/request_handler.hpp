#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "secret_store.hpp"

namespace accountd {

// What the log line says about one request; never any secret data.
struct RequestSummary {
  std::string method = "-";
  std::string user = "-";
  std::string name = "-";
  std::string outcome;
};

// Answers one request body: `reply` receives the reply body. Every request
// gets a reply, undecodable ones included.
RequestSummary handle_request(std::span<const std::uint8_t> body, SecretStore& store, std::vector<std::uint8_t>& reply);

}  // namespace accountd
