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

TEST(TerminalSafe, EscapesControlsAndReplacesBrokenBytesButLeavesEverythingElse) {
  struct Case {
    std::string_view text;
    std::string_view shown;
  };
  using namespace std::string_view_literals;
  const Case cases[] = {
      // Unchanged, byte for byte: what quoted() would escape but a terminal only shows.
      {"internal error: disk full", "internal error: disk full"},
      {R"(a "b" \c 'd' `e`)", R"(a "b" \c 'd' `e`)"},
      {"caf\u00e9 e\u0301 \u00a0 \u200b \u202e \U0001F600", "caf\u00e9 e\u0301 \u00a0 \u200b \u202e \U0001F600"},
      {R"(already \u{1b} escaped)", R"(already \u{1b} escaped)"},
      {"", ""},
      // C0 controls and DEL.
      {"a\tb\rc\nd\0e"sv, R"(a\tb\rc\nd\0e)"},
      {"\x1b[2J\x1b[H", R"(\u{1b}[2J\u{1b}[H)"},                   // CSI: clear, home
      {"\x1b]0;owned\x07", R"(\u{1b}]0;owned\u{7})"},              // OSC: retitle
      {"\x1b]8;;http://x\x1b\\", R"(\u{1b}]8;;http://x\u{1b}\)"},  // OSC ended by ST
      {"x\r\x1b[2K\x1b[1AOld Password: [hidden]", R"(x\r\u{1b}[2K\u{1b}[1AOld Password: [hidden])"},
      {"\x01\x08\x0b\x0c\x1f\x7f", R"(\u{1}\u{8}\u{b}\u{c}\u{1f}\u{7f})"},
      // C1 controls written as UTF-8.
      {"\u0080 \u009b2J \u009d0;t\u009c \u0085", R"(\u{80} \u{9b}2J \u{9d}0;t\u{9c} \u{85})"},
      {"\u00a0", "\u00a0"},  // the first character past C1 stays
      // Bytes that are not UTF-8, C1 values as raw bytes among them: one U+FFFD each.
      {"last read: '\"\x9b'", "last read: '\"\uFFFD'"},
      {"\x80\x9f", "\uFFFD\uFFFD"},
      {"\xc3", "\uFFFD"},                      // cut short
      {"\xe2\x82x", "\uFFFD\uFFFDx"},          // cut short before more text
      {"\xed\xa0\x80", "\uFFFD\uFFFD\uFFFD"},  // a surrogate
      {"\xc0\xaf", "\uFFFD\uFFFD"},            // overlong
      {"\xff\x1b", "\uFFFD\\u{1b}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(terminal_safe(c.text), c.shown) << quoted(c.text);
  }
}

TEST(MessageError, ShowsTextPlainAndQuotedThroughAnyError) {
  const AnyError error = MessageError("unexpected command `a\"b`");
  EXPECT_EQ(error.display(), "unexpected command `a\"b`");
  EXPECT_EQ(error.debug(), R"("unexpected command `a\"b`")");
}

}  // namespace
}  // namespace common
