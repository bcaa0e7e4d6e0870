#include "common/path_trust.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// Directories of our own, each open as its name says; runs as any uid.
class OwnTree {
 public:
  OwnTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "path-trust-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    base_ = pattern;
    make("private", 0700);
    make("private/inner", 0755);
    make("group-writable", 0775);
    make("shared", 01777);
    make("open", 0757);
    file("private/entry");
    file("shared/ours");
    link("private", "private-link");
    link("../private/entry", "shared/link-to-entry");
  }
  OwnTree(const OwnTree&) = delete;
  OwnTree& operator=(const OwnTree&) = delete;
  ~OwnTree() { std::filesystem::remove_all(base_); }

  [[nodiscard]] std::string path(const std::string& relative) const { return base_ + "/" + relative; }

 private:
  void make(const std::string& relative, mode_t mode) const {
    if (::mkdir(path(relative).c_str(), 0700) != 0 || ::chmod(path(relative).c_str(), mode) != 0) std::abort();
  }
  void file(const std::string& relative) const {
    if (::mknod(path(relative).c_str(), S_IFREG | 0600, 0) != 0) std::abort();
  }
  void link(const std::string& target, const std::string& relative) const {
    if (::symlink(target.c_str(), path(relative).c_str()) != 0) std::abort();
  }

  std::string base_;
};

TEST(PathTrust, BelievesOnlyAWayNobodyElseCouldHaveLaid) {
  const OwnTree tree;
  const uid_t self = ::geteuid();
  struct Case {
    std::string name;
    std::string path;
    bool believed;
    bool exists;
    std::string named_in_refusal;
  };
  const std::vector<Case> cases = {
      {"entry in a private directory", tree.path("private/entry"), true, true, {}},
      {"name not there yet in a private directory", tree.path("private/new"), true, false, {}},
      {"dot, dot-dot and doubled slashes", tree.path("open/..//./private/inner/../entry"), true, true, {}},
      {"through our own link to a directory", tree.path("private-link/entry"), true, true, {}},
      {"our own entry in a sticky directory", tree.path("shared/ours"), true, true, {}},
      {"our own link in a sticky directory", tree.path("shared/link-to-entry"), true, true, {}},
      {"name not there yet in a sticky directory", tree.path("shared/new"), false, false, tree.path("shared")},
      {"group-writable directory", tree.path("group-writable/x"), false, false, tree.path("group-writable")},
      {"passing a directory others may write", tree.path("open/../private/entry"), true, true, {}},
      {"entry in a directory others may write", tree.path("open/x"), false, false, tree.path("open")},
      {"relative path", "private/entry", false, false, "absolute"},
      {"a file taken for a directory", tree.path("private/entry/x"), false, false, tree.path("private/entry")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto walked = common::walk_trusted_path(c.path, self);
    ASSERT_EQ(walked.has_value(), c.believed) << (walked ? "" : walked.error().display());
    if (walked) {
      EXPECT_EQ(walked->exists, c.exists);
      if (c.exists) {
        EXPECT_FALSE(S_ISLNK(walked->entry.st_mode));
      }
    } else {
      EXPECT_NE(walked.error().display().find(c.named_in_refusal), std::string::npos) << walked.error().display();
    }
  }
}

TEST(PathTrust, OpensTheDirectoryItJudged) {
  const OwnTree tree;
  const auto walked = common::walk_trusted_path(tree.path("private-link/inner"), ::geteuid());
  ASSERT_TRUE(walked.has_value()) << walked.error().display();
  const auto opened = common::open_walked_directory(*walked);
  ASSERT_TRUE(opened.has_value()) << opened.error().display();
  struct stat status {};
  ASSERT_EQ(::fstat(opened->get(), &status), 0);
  EXPECT_EQ(status.st_ino, walked->entry.st_ino);
}

}  // namespace
