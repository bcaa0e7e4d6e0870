#include "temp_directory.hpp"

#include <cstdlib>

namespace test_support {

std::string make_temp_directory(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

}  // namespace test_support
