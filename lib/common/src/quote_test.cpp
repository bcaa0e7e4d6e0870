#include "common/quote.hpp"

#include <gtest/gtest.h>

#include "common/any_error.hpp"
#include "common/message_error.hpp"

namespace common {
namespace {

TEST(Quoted, EscapesTheFixedSetWithBackslashes) {
  EXPECT_EQ(quoted("no command specified"), R"("no command specified")");
  EXPECT_EQ(quoted("a\"b\\c\td\re\nf"), R"("a\"b\\c\td\re\nf")");
  EXPECT_EQ(quoted(std::string_view("nul\0", 4)), R"("nul\0")");
  EXPECT_EQ(quoted("it's"), R"("it's")");  // a single quote stays
}

TEST(Quoted, WritesOtherControlsAndNonPrintablesAsCodePoints) {
  EXPECT_EQ(quoted("\x1b[2K"), R"("\u{1b}[2K")");
  EXPECT_EQ(quoted("\x7f"), R"("\u{7f}")");
  EXPECT_EQ(quoted("a\u00a0b"), R"("a\u{a0}b")");                  // no-break space is a separator
  EXPECT_EQ(quoted("zero\u200bwidth"), R"("zero\u{200b}width")");  // format character
  EXPECT_EQ(quoted("\u2028"), R"("\u{2028}")");                    // line separator
  EXPECT_EQ(quoted("\U000e0001"), R"("\u{e0001}")");
}

TEST(Quoted, WritesCombiningMarksAsCodePointsButKeepsPrintableText) {
  EXPECT_EQ(quoted("e\u0301"), R"("e\u{301}")");
  EXPECT_EQ(quoted("caf\u00e9 \u65e5\u672c \U0001F600"), "\"caf\u00e9 \u65e5\u672c \U0001F600\"");
  EXPECT_EQ(quoted("\U0001F44D\U0001F3FD"), "\"\U0001F44D\U0001F3FD\"");  // skin tone is a symbol
}

TEST(Quoted, WritesBytesThatAreNotUtf8OneByOne) { EXPECT_EQ(quoted("a\xff\xc3"), R"("a\x{ff}\x{c3}")"); }

TEST(QuotedChar, EscapesTheSingleQuoteInstead) {
  EXPECT_EQ(quoted_char("x"), "'x'");
  EXPECT_EQ(quoted_char("'"), R"('\'')");
  EXPECT_EQ(quoted_char("\""), R"('"')");
  EXPECT_EQ(quoted_char("\n"), R"('\n')");
}

TEST(MessageError, ShowsTextPlainAndQuotedThroughAnyError) {
  const AnyError error = MessageError("unexpected command `a\"b`");
  EXPECT_EQ(error.display(), "unexpected command `a\"b`");
  EXPECT_EQ(error.debug(), R"("unexpected command `a\"b`")");
}

}  // namespace
}  // namespace common
