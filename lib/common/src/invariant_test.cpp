#include "common/invariant.hpp"

#include <gtest/gtest.h>

namespace common {
namespace {

// The one line is all a person reading a crash report gets: it must name what
// broke, whole and alone on its line, however long the text.
TEST(InvariantDeathTest, NamesWhatBrokeOnOneLineAndAborts) {
  const std::string long_text(8192, 'x');
  for (const std::string& what : {std::string("a closed record lacks a field"), long_text}) {
    EXPECT_DEATH(invariant_broken(what), "^" + what + "\n$") << what.size();
  }
}

}  // namespace
}  // namespace common
