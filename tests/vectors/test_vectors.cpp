#include "test_vectors.hpp"

#include <cstdlib>
#include <fstream>

namespace auth_password::backend::testing {

std::vector<std::vector<std::string>> read_vectors(std::string_view file_name) {
  std::ifstream in(std::string(TEST_VECTORS_DIR) + "/" + std::string(file_name));
  if (!in) std::abort();
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line.front() == '#') continue;
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab = 0; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
      fields.push_back(line.substr(start, tab - start));
    }
    fields.push_back(line.substr(start));
    rows.push_back(std::move(fields));
  }
  return rows;
}

std::vector<std::uint8_t> from_hex(std::string_view hex) {
  const auto nibble = [](char c) -> std::uint8_t {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
    std::abort();
  };
  if (hex.size() % 2 != 0) std::abort();
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
  }
  return bytes;
}

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace auth_password::backend::testing
