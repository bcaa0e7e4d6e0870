#include "common/quote.hpp"

#include <gtest/gtest.h>
#include <utf8proc.h>

#include <array>

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

TEST(TerminalSafe, EscapesWhatQuotedEscapesAndReplacesBrokenBytesButLeavesEverythingElse) {
  struct Case {
    std::string_view text;
    std::string_view shown;
  };
  using namespace std::string_view_literals;
  const Case cases[] = {
      // Unchanged, byte for byte: the delimiters that only quoted() escapes, and printable text.
      {"internal error: disk full", "internal error: disk full"},
      {R"(a "b" \c 'd' `e`)", R"(a "b" \c 'd' `e`)"},
      {"caf\u00e9 \u65e5\u672c \u05e9\u05dc\u05d5\u05dd \U0001F600 \U0001F44D\U0001F3FD",
       "caf\u00e9 \u65e5\u672c \u05e9\u05dc\u05d5\u05dd \U0001F600 \U0001F44D\U0001F3FD"},
      {R"(already \u{1b} escaped)", R"(already \u{1b} escaped)"},
      {"", ""},
      // Format characters that reorder or hide text: bidi embeddings, overrides, isolates, marks.
      {"\u202a\u202b\u202c\u202d\u202e", R"(\u{202a}\u{202b}\u{202c}\u{202d}\u{202e})"},
      {"txt.\u2066exe\u2069 \u2067\u2068", R"(txt.\u{2066}exe\u{2069} \u{2067}\u{2068})"},
      {"\u061c\u200e\u200f", R"(\u{61c}\u{200e}\u{200f})"},
      {"a\u200bb\u200cc\u200dd", R"(a\u{200b}b\u{200c}c\u{200d}d)"},
      {"\u2060\u2061\u2062\u2063\u2064 \ufeff", R"(\u{2060}\u{2061}\u{2062}\u{2063}\u{2064} \u{feff})"},
      {"\u00ad \u0600 \U000e0001", R"(\u{ad} \u{600} \u{e0001})"},  // the rest of the format class
      // Separators other than the blank: line and paragraph, and spaces that look like it.
      {"one\u2028two\u2029three", R"(one\u{2028}two\u{2029}three)"},
      {"\u00a0\u2007\u3000", R"(\u{a0}\u{2007}\u{3000})"},
      // A mark that only combines, private use, unassigned: as quoted() writes them.
      {"e\u0301 \ue000 \u0378", R"(e\u{301} \u{e000} \u{378})"},
      // C0 controls and DEL.
      {"a\tb\rc\nd\0e"sv, R"(a\tb\rc\nd\0e)"},
      {"\x1b[2J\x1b[H", R"(\u{1b}[2J\u{1b}[H)"},                   // CSI: clear, home
      {"\x1b]0;owned\x07", R"(\u{1b}]0;owned\u{7})"},              // OSC: retitle
      {"\x1b]8;;http://x\x1b\\", R"(\u{1b}]8;;http://x\u{1b}\)"},  // OSC ended by ST
      {"x\r\x1b[2K\x1b[1AOld Password: [hidden]", R"(x\r\u{1b}[2K\u{1b}[1AOld Password: [hidden])"},
      {"\x01\x08\x0b\x0c\x1f\x7f", R"(\u{1}\u{8}\u{b}\u{c}\u{1f}\u{7f})"},
      // C1 controls written as UTF-8.
      {"\u0080 \u009b2J \u009d0;t\u009c \u0085", R"(\u{80} \u{9b}2J \u{9d}0;t\u{9c} \u{85})"},
      {"\u00a1", "\u00a1"},  // the first printable character past C1 stays
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

// One predicate decides for both forms: any code point that quoted() writes
// as an escape, terminal_safe() writes as the same escape.
TEST(TerminalSafe, EscapesEveryCodePointExactlyAsQuotedDoesBesidesTheDelimiters) {
  for (utf8proc_int32_t c = 0; c <= 0x10ffff; ++c) {
    if (c == '"' || c == '\\' || (c >= 0xd800 && c <= 0xdfff)) continue;
    std::array<utf8proc_uint8_t, 4> encoded{};
    const auto length = static_cast<std::size_t>(utf8proc_encode_char(c, encoded.data()));
    const std::string_view text(reinterpret_cast<const char*>(encoded.data()), length);
    const std::string inner = quoted(text);
    ASSERT_EQ(terminal_safe(text), inner.substr(1, inner.size() - 2)) << "U+" << std::hex << c;
  }
}

TEST(MessageError, ShowsTextPlainAndQuotedThroughAnyError) {
  const AnyError error = MessageError("unexpected command `a\"b`");
  EXPECT_EQ(error.display(), "unexpected command `a\"b`");
  EXPECT_EQ(error.debug(), R"("unexpected command `a\"b`")");
}

}  // namespace
}  // namespace common
