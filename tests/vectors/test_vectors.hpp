#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace password_backend::test_vectors {

// The tab-separated lines of a file in tests/vectors/, comments and blank lines skipped.
[[nodiscard]] std::vector<std::vector<std::string>> read_vectors(std::string_view file_name);

}  // namespace password_backend::test_vectors
