#include "socket_file_trust.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <climits>
#include <ranges>
#include <string>
#include <vector>

#include "common/unique_fd.hpp"

namespace tavrin_account {
namespace {

// The kernel gives up after as many links in one lookup.
constexpr int MAX_SYMBOLIC_LINKS = 40;

struct Directory {
  common::UniqueFd fd;
  struct stat status {};
};

bool trusted_owner(uid_t owner, uid_t uid) { return owner == 0 || owner == uid; }

bool others_cannot_write(const struct stat& directory) { return (directory.st_mode & (S_IWGRP | S_IWOTH)) == 0; }

// Nobody else may add an entry here, so nobody else can have taken the name
// first; a sticky directory open to all would let a stranger in early.
bool guards_the_name(const struct stat& directory, uid_t uid) {
  return trusted_owner(directory.st_uid, uid) && others_cannot_write(directory);
}

// Nobody else may swap the entry taken from here: in a sticky directory only
// the entry's owner, the directory's owner and root may remove or rename it.
bool guards_the_way(const struct stat& directory, const struct stat& next, uid_t uid) {
  return trusted_owner(directory.st_uid, uid) &&
         (others_cannot_write(directory) || ((directory.st_mode & S_ISVTX) != 0 && trusted_owner(next.st_uid, uid)));
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

bool open_directory(std::vector<Directory>& walked, int at, const char* name, const struct stat* expected) {
  Directory next;
  next.fd.reset(::openat(at, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!next.fd.valid() || ::fstat(next.fd.get(), &next.status) != 0) return false;
  // Replaced between the look and the open: not what was judged.
  if (expected != nullptr && (next.status.st_dev != expected->st_dev || next.status.st_ino != expected->st_ino)) {
    return false;
  }
  walked.push_back(std::move(next));
  return true;
}

}  // namespace

bool socket_file_is_held_by(std::string_view path, uid_t uid) {
  if (!path.starts_with('/')) return false;
  // The directories from "/" down to where the walk stands: ".." goes back
  // up the way the walk came, as it does for the kernel.
  std::vector<Directory> walked;
  if (!open_directory(walked, AT_FDCWD, "/", nullptr)) return false;
  std::vector<std::string> pending;
  queue_names(pending, path);
  int links = 0;
  while (!pending.empty()) {
    const std::string name = std::move(pending.back());
    pending.pop_back();
    if (name == "..") {
      if (walked.size() > 1) walked.pop_back();
      continue;
    }
    const Directory& here = walked.back();
    struct stat entry {};
    if (::fstatat(here.fd.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) return false;
    const bool last = pending.empty();
    if (S_ISLNK(entry.st_mode)) {
      // A link that names the socket chooses it as much as the socket's own
      // directory does.
      if (++links > MAX_SYMBOLIC_LINKS) return false;
      if (last ? !guards_the_name(here.status, uid) : !guards_the_way(here.status, entry, uid)) return false;
      std::array<char, PATH_MAX> target{};
      const ssize_t length = ::readlinkat(here.fd.get(), name.c_str(), target.data(), target.size());
      if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return false;
      const std::string_view text(target.data(), static_cast<std::size_t>(length));
      if (text.starts_with('/')) walked.resize(1);
      queue_names(pending, text);
      continue;
    }
    if (last) return S_ISSOCK(entry.st_mode) && entry.st_uid == uid && guards_the_name(here.status, uid);
    if (!S_ISDIR(entry.st_mode) || !guards_the_way(here.status, entry, uid)) return false;
    if (!open_directory(walked, here.fd.get(), name.c_str(), &entry)) return false;
  }
  // The path ends at a directory, which is no socket.
  return false;
}

}  // namespace tavrin_account
