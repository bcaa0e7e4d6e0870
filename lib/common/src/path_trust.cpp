#include "common/path_trust.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ranges>
#include <vector>

#include "common/invariant.hpp"
#include "common/io_error.hpp"

namespace common {
namespace {

// The kernel gives up after as many links in one lookup.
constexpr int MAX_SYMBOLIC_LINKS = 40;

struct Directory {
  UniqueFd fd;
  struct stat status {};
  std::string shown;  // the path it was reached by, for messages
};

// The uids whose directories may decide what a path leads to.
struct Trusted {
  uid_t owner;
  uid_t self;

  [[nodiscard]] bool directory_owner(uid_t uid) const { return uid == 0 || uid == owner || uid == self; }
  // In a directory anyone may write, only an entry root or we made is ours to
  // believe: a stranger's entry there may be anyone's.
  [[nodiscard]] static bool shared_entry_owner(uid_t uid, uid_t self) { return uid == 0 || uid == self; }
};

std::string child_of(const std::string& parent, std::string_view name) {
  std::string shown = parent;
  if (!shown.ends_with('/')) shown += '/';
  shown += name;
  return shown;
}

std::string octal(mode_t mode) {
  std::string digits;
  for (int shift = 9; shift >= 0; shift -= 3) digits += static_cast<char>('0' + ((mode >> shift) & 07U));
  return digits;
}

// Why `entry` (nullptr: a name not there yet) in `here` may have been put
// there by someone else, or an empty text when it cannot.
std::string doubt(const Directory& here, const struct stat* entry, const Trusted& trusted) {
  if (!trusted.directory_owner(here.status.st_uid)) {
    return here.shown + " belongs to uid " + std::to_string(here.status.st_uid) + ", who may change what is in it";
  }
  if (others_cannot_write(here.status)) return {};
  const bool sticky = (here.status.st_mode & S_ISVTX) != 0;
  if (sticky && entry != nullptr && Trusted::shared_entry_owner(entry->st_uid, trusted.self)) return {};
  return here.shown + " may be written by group or others (mode " + octal(here.status.st_mode & 07777U) + ")";
}

// Queues the names of `path` so that its first name is taken next ("" and
// "." name nothing).
void queue_names(std::vector<std::string>& pending, std::string_view path) {
  std::vector<std::string_view> names;
  for (std::size_t at = 0; at <= path.size();) {
    const std::size_t end = std::min(path.find('/', at), path.size());
    const std::string_view name = path.substr(at, end - at);
    if (!name.empty() && name != ".") names.push_back(name);
    at = end + 1;
  }
  for (const std::string_view name : std::ranges::reverse_view(names)) pending.emplace_back(name);
}

std::string os_failure() { return IoError::last_os_error().display(); }

// Opens `name` in `at` as a directory, and checks that it is still the entry
// that was judged (`expected`, when given).
std::expected<Directory, MessageError> open_directory(int at, const std::string& name, std::string shown,
                                                      const struct stat* expected) {
  Directory next;
  next.shown = std::move(shown);
  next.fd.reset(::openat(at, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!next.fd.valid() || ::fstat(next.fd.get(), &next.status) != 0) {
    return std::unexpected(MessageError("cannot open " + next.shown + ": " + os_failure()));
  }
  if (expected != nullptr && (next.status.st_dev != expected->st_dev || next.status.st_ino != expected->st_ino)) {
    return std::unexpected(MessageError(next.shown + " was replaced while it was being checked"));
  }
  return next;
}

}  // namespace

std::expected<WalkedPath, MessageError> walk_trusted_path(std::string_view path, uid_t owner) {
  const auto refuse = [](const std::string& why) { return std::unexpected(MessageError(why)); };
  if (!path.starts_with('/')) return refuse("not an absolute path");
  const Trusted trusted{.owner = owner, .self = ::geteuid()};
  // The directories from "/" down to where the walk stands: ".." goes back
  // up the way the walk came, as it does for the kernel.
  std::vector<Directory> walked;
  auto root = open_directory(AT_FDCWD, "/", "/", nullptr);
  if (!root) return refuse(root.error().text);
  walked.push_back(std::move(*root));
  std::vector<std::string> pending;
  queue_names(pending, path);
  if (pending.empty()) return refuse("names no entry");
  int links = 0;
  while (!pending.empty()) {
    std::string name = std::move(pending.back());
    pending.pop_back();
    if (name == "..") {
      if (walked.size() > 1) walked.pop_back();
      if (pending.empty()) return refuse("ends at a directory's parent");
      continue;
    }
    const Directory& here = walked.back();
    const std::string shown = child_of(here.shown, name);
    struct stat entry {};
    const bool last = pending.empty();
    if (::fstatat(here.fd.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT || !last) return refuse("cannot look at " + shown + ": " + os_failure());
      if (const std::string why = doubt(here, nullptr, trusted); !why.empty()) return refuse(why);
      WalkedPath end{.directory = std::move(walked.back().fd), .name = std::move(name)};
      end.directory_status = walked.back().status;
      return end;
    }
    // A link chooses what the path leads to as much as the entry itself.
    if (const std::string why = doubt(here, &entry, trusted); !why.empty()) return refuse(why);
    if (S_ISLNK(entry.st_mode)) {
      if (++links > MAX_SYMBOLIC_LINKS) return refuse("too many symbolic links");
      std::array<char, PATH_MAX> target{};
      const ssize_t length = ::readlinkat(here.fd.get(), name.c_str(), target.data(), target.size());
      if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
        return refuse("cannot read the link " + shown);
      }
      const std::string_view text(target.data(), static_cast<std::size_t>(length));
      if (text.starts_with('/')) walked.resize(1);
      queue_names(pending, text);
      continue;
    }
    if (last) {
      WalkedPath end{.directory = std::move(walked.back().fd), .name = std::move(name), .exists = true, .entry = entry};
      end.directory_status = walked.back().status;
      return end;
    }
    if (!S_ISDIR(entry.st_mode)) return refuse(shown + " is not a directory");
    auto next = open_directory(here.fd.get(), name, shown, &entry);
    if (!next) return refuse(next.error().text);
    walked.push_back(std::move(*next));
  }
  common::invariant_broken("the path walk went past its last name");
}

std::expected<UniqueFd, MessageError> open_walked_directory(const WalkedPath& walked) {
  auto directory = open_directory(walked.directory.get(), walked.name, walked.name, &walked.entry);
  if (!directory) return std::unexpected(std::move(directory).error());
  return std::move(directory->fd);
}

}  // namespace common
