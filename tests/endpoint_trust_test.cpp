// Who the client believes is the account daemon: one running as root or as
// the client itself; on a socket file also one of another user, where only
// that user could have put the file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "daemon_as_user.hpp"
#include "pty_session.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/secrets.hpp"
#include "temp_directory.hpp"

namespace {

using test_support::DaemonAsUser;
using test_support::PtyOptions;
using test_support::PtySession;

constexpr uid_t STRANGER = 65534;
const common::Uuid USER = *common::parse_uuid("2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10");
const std::string UNTRUSTED = "account service endpoint is held by an untrusted user";

std::string fresh_abstract_uri() {
  static int serial = 0;
  return "unix://@endpoint-trust-" + std::to_string(::getpid()) + "-" + std::to_string(++serial);
}

// Directories for a stranger's socket files, each owned and open as its name
// says, in a root-owned directory that anyone may pass through. Made only
// when running as root; removed at the end.
class StrangerDirectories {
 public:
  StrangerDirectories() : base_(test_support::make_temp_directory("endpoint-trust")) {
    if (::geteuid() != 0) return;
    ::chmod(base_.c_str(), 0755);
    make("own", STRANGER, 0700);
    make("open", STRANGER, 0755);
    make("group-writable", STRANGER, 0775);
    make("shared", 0, 01777);  // as /tmp
    make("shared/private", STRANGER, 0700);
    // Links: one of root's to a directory (as /var/run to /run), and one the
    // stranger left in the shared directory naming a socket of its own.
    link("open", "run", 0);
    link(base_ + "/open/linked.sock", "shared/linked.sock", STRANGER);
  }
  StrangerDirectories(const StrangerDirectories&) = delete;
  StrangerDirectories& operator=(const StrangerDirectories&) = delete;
  ~StrangerDirectories() { std::filesystem::remove_all(base_); }

  [[nodiscard]] std::string uri(const std::string& relative) const { return "unix://" + base_ + "/" + relative; }

 private:
  void make(const std::string& relative, uid_t owner, mode_t mode) const {
    const std::string path = base_ + "/" + relative;
    if (::mkdir(path.c_str(), 0700) != 0 || ::chown(path.c_str(), owner, owner) != 0 || ::chmod(path.c_str(), mode)) {
      std::abort();
    }
  }
  void link(const std::string& target, const std::string& relative, uid_t owner) const {
    const std::string path = base_ + "/" + relative;
    if (::symlink(target.c_str(), path.c_str()) != 0 || ::lchown(path.c_str(), owner, owner) != 0) std::abort();
  }

  std::string base_;
};

TEST(EndpointTrust, ClientTalksOnlyToRootItselfOrTheOwnerOfASocketFileNobodyElseCouldPlace) {
  const StrangerDirectories directories;
  struct Case {
    std::string name;
    std::string uri;
    uid_t daemon_uid;
    bool trusted;
    std::string listen_uri;  // where the daemon listens, when not at `uri`
  };
  const std::vector<Case> cases = {
      {"abstract name held by ourselves", fresh_abstract_uri(), ::geteuid(), true, {}},
      {"abstract name held by a stranger", fresh_abstract_uri(), STRANGER, false, {}},
      {"socket file of a stranger in its private directory", directories.uri("own/accountd.sock"), STRANGER, true, {}},
      {"dedicated user's directory, mode 0755", directories.uri("open/accountd.sock"), STRANGER, true, {}},
      {"group-writable directory", directories.uri("group-writable/accountd.sock"), STRANGER, false, {}},
      {"squatter in a world-writable sticky directory", directories.uri("shared/acct.sock"), STRANGER, false, {}},
      {"a stranger's directory inside a sticky one",
       directories.uri("shared/private/accountd.sock"),
       STRANGER,
       false,
       {}},
      {"through root's link to the directory", directories.uri("run/through-link.sock"), STRANGER, true, {}},
      {"a stranger's link in the sticky directory naming its private socket", directories.uri("shared/linked.sock"),
       STRANGER, false, directories.uri("open/linked.sock")},
      {"dot and dot-dot leading back to the dedicated directory",
       directories.uri("shared/.././open/./dots.sock"),
       STRANGER,
       true,
       {}},
      {"dot-dot leading into the sticky directory", directories.uri("open/../shared/dots.sock"), STRANGER, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DaemonAsUser daemon(c.listen_uri.empty() ? c.uri : c.listen_uri, c.daemon_uid);
    if (!daemon.listening()) GTEST_SKIP() << daemon.problem();
    {
      auto connection = tavrin_account::connect_to_endpoint(c.uri);
      if (c.trusted) {
        ASSERT_TRUE(connection.has_value()) << connection.error().display();
        EXPECT_TRUE(tavrin_account::set_secret(*connection, USER, tavrin_account::Secret{.name = "x"}).has_value());
      } else {
        ASSERT_FALSE(connection.has_value());
        EXPECT_EQ(connection.error().kind(), common::ErrorKind::PermissionDenied);
        EXPECT_EQ(connection.error().display(), UNTRUSTED);
      }
    }
    // Refused before the first byte of a request.
    EXPECT_EQ(daemon.finish() > 0, c.trusted);
  }
}

TEST(EndpointTrust, AStrangerOnTheDefaultAnAbstractOrASquattedEndpointGetsNoPassword) {
  const StrangerDirectories directories;
  const std::string user = "user_uuid=2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10";
  struct Case {
    std::string verb;
    std::optional<std::string> uri;  // nullopt: ACCOUNT_IPC_URI unset, the default endpoint
    std::vector<test_support::Answer> answers;
    std::string last_line;
  };
  const std::vector<Case> cases = {
      {"Authenticate", std::nullopt, {{"Password", "chosen by the squatter\n"}}, "Sorry."},
      {"Update",
       fresh_abstract_uri(),
       {{"Old Password", "old\n"}, {"New Password", "new\n"}, {"Confirm password", "new\n"}},
       "Unable to update user password: " + UNTRUSTED},
      {"Authenticate", directories.uri("shared/acct.sock"), {{"Password", "chosen by the squatter\n"}}, "Sorry."},
      {"Update",
       directories.uri("shared/accountd.sock"),
       {{"Old Password", "old\n"}, {"New Password", "new\n"}, {"Confirm password", "new\n"}},
       "Unable to update user password: " + UNTRUSTED},
      {"Update",
       directories.uri("shared/private/accountd.sock"),
       {{"Old Password", "old\n"}, {"New Password", "new\n"}, {"Confirm password", "new\n"}},
       "Unable to update user password: " + UNTRUSTED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.verb);
    DaemonAsUser daemon(c.uri.value_or(std::string(tavrin_account::DEFAULT_ACCOUNT_IPC_URI)), STRANGER);
    // The default name may be taken by a daemon of this machine: that row
    // alone is left out, not the ones after it.
    if (!daemon.listening()) {
      std::cout << "[ SKIPPED ROW ] " << c.verb << ": " << daemon.problem() << "\n";
      continue;
    }
    PtySession session(AUTH_PASSWORD_BIN,
                       PtyOptions{.args = {c.verb, user, "mode=CLI"}, .env = {{"ACCOUNT_IPC_URI", c.uri}}});
    test_support::answer_all(session, c.answers);
    EXPECT_EQ(session.wait_exit().exit_status, 1);
    EXPECT_TRUE(session.transcript().ends_with(c.last_line + "\n")) << test_support::visible(session.transcript());
    EXPECT_EQ(daemon.finish(), 0U);
  }
}

}  // namespace
