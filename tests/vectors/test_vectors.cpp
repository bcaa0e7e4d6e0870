#include "test_vectors.hpp"

#include <cstdlib>
#include <fstream>

namespace password_backend::test_vectors {

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

}  // namespace password_backend::test_vectors
