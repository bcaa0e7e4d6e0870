#pragma once

#include <string>

namespace test_support {

// A fresh temp directory (mkdtemp) under /tmp.
[[nodiscard]] std::string make_temp_directory(const std::string& prefix);

}  // namespace test_support
