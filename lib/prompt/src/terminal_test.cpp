#include "prompt/terminal.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/message_error.hpp"
#include "common/unique_fd.hpp"
#include "prompt/password_prompt.hpp"
#include "prompt/prompt_error.hpp"

namespace prompt {
namespace {

// Points descriptor 2 at a pipe for the life of the object and collects what
// was written there.
class CapturedStandardError {
 public:
  CapturedStandardError() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK) != 0) std::abort();
    read_end_.reset(fds[0]);
    saved_.reset(::dup(STDERR_FILENO));
    ::dup2(fds[1], STDERR_FILENO);
    ::close(fds[1]);
  }
  CapturedStandardError(const CapturedStandardError&) = delete;
  CapturedStandardError& operator=(const CapturedStandardError&) = delete;
  ~CapturedStandardError() { ::dup2(saved_.get(), STDERR_FILENO); }

  std::string take() {
    std::string bytes;
    char buffer[256];
    for (ssize_t got; (got = ::read(read_end_.get(), buffer, sizeof buffer)) > 0;) {
      bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
  }

 private:
  common::UniqueFd read_end_;
  common::UniqueFd saved_;
};

TEST(Terminal, WritesExactlyTheSequencesOfTheDialogue) {
  CapturedStandardError captured;
  const Terminal terminal;
  EXPECT_EQ(terminal.fd(), 2);
  EXPECT_FALSE(terminal.is_terminal());

  ASSERT_TRUE(terminal.write_line("error: Passwords mismatching"));
  EXPECT_EQ(captured.take(), "error: Passwords mismatching\n");

  struct Case {
    std::size_t count;
    std::string bytes;
  };
  const std::string line = "\r\x1b[2K\x1b[1B";
  const Case cases[] = {
      {0, ""},
      {1, "\x1b[1A" + line + "\x1b[1A"},
      {2, "\x1b[2A" + line + line + "\x1b[2A"},
      {11, "\x1b[11A" + line + line + line + line + line + line + line + line + line + line + line + "\x1b[11A"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(terminal.clear_last_lines(c.count));
    EXPECT_EQ(captured.take(), c.bytes) << c.count;
  }
}

TEST(Terminal, AFailedWriteIsReported) {
  const common::UniqueFd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(full.valid());
  const common::UniqueFd saved(::dup(STDERR_FILENO));
  ::dup2(full.get(), STDERR_FILENO);
  const Terminal terminal;
  const auto written = terminal.write_line("x");
  const auto cleared = terminal.clear_last_lines(0);  // writes nothing, so cannot fail
  ::dup2(saved.get(), STDERR_FILENO);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind(), common::ErrorKind::StorageFull);
  EXPECT_TRUE(cleared.has_value());
}

TEST(Interact, RefusesAStandardErrorThatIsNoTerminalWithoutWritingOrReading) {
  CapturedStandardError captured;
  // Standard input holds typed-ahead bytes, which must stay unread.
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
  const common::UniqueFd typed_read(fds[0]);
  const common::UniqueFd typed_write(fds[1]);
  ASSERT_EQ(::write(typed_write.get(), "typed ahead\n", 12), 12);
  const common::UniqueFd saved_input(::dup(STDIN_FILENO));
  ::dup2(typed_read.get(), STDIN_FILENO);
  const auto entry = interact(PasswordPrompt().with_prompt("Password").with_allow_empty(true));
  ::dup2(saved_input.get(), STDIN_FILENO);
  ASSERT_FALSE(entry.has_value());
  EXPECT_EQ(entry.error().io().kind(), common::ErrorKind::NotConnected);
  EXPECT_EQ(entry.error().debug(), R"(IO(Custom { kind: NotConnected, error: "not a terminal" }))");
  EXPECT_EQ(entry.error().display(), "IO error: not a terminal");
  EXPECT_EQ(captured.take(), "");
  std::string left(32, '\0');
  const ssize_t got = ::read(typed_read.get(), left.data(), left.size());
  EXPECT_EQ(left.substr(0, got > 0 ? static_cast<std::size_t>(got) : 0), "typed ahead\n");
}

TEST(PromptError, PrintsTheCarriedErrorInBothForms) {
  const PromptError os(common::IoError::from_os_code(ENXIO));
  EXPECT_EQ(os.display(), "IO error: No such device or address (os error 6)");
  EXPECT_EQ(os.debug(), R"(IO(Os { code: 6, kind: Uncategorized, message: "No such device or address" }))");
  const common::AnyError carried =
      PromptError(common::IoError::with_message(common::ErrorKind::InvalidData, "stream did not contain valid UTF-8"));
  EXPECT_EQ(carried.display(), "IO error: stream did not contain valid UTF-8");
  EXPECT_EQ(carried.debug(), R"(IO(Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }))");
}

}  // namespace
}  // namespace prompt
