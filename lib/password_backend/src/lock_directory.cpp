#include "lock_directory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "common/io_error.hpp"
#include "common/message_error.hpp"
#include "common/path_trust.hpp"

namespace password_backend {
namespace {

constexpr mode_t PRIVATE_DIRECTORY = S_IRWXU;
constexpr mode_t OTHERS_ACCESS = S_IRWXG | S_IRWXO;

common::MessageError belongs_to_another_user(const std::string& path) {
  return common::MessageError("the lock directory " + path + " belongs to another user");
}

// The parent the lock directory goes in, opened, when only root and this uid
// could have laid the way to it.
std::expected<common::UniqueFd, common::MessageError> open_parent(const std::string& path, uid_t uid) {
  auto walked = common::walk_trusted_path(path, uid);
  if (!walked) return std::unexpected(std::move(walked).error());
  if (!walked->exists || !S_ISDIR(walked->entry.st_mode)) {
    return std::unexpected(common::MessageError(path + " is not a directory"));
  }
  return common::open_walked_directory(*walked);
}

// This uid's own runtime directory, as a login manager makes it: owned by the
// uid, mode 0700.
std::expected<common::UniqueFd, common::MessageError> open_runtime_directory(uid_t uid) {
  const std::string path = "/run/user/" + std::to_string(uid);
  auto directory = open_parent(path, uid);
  if (!directory) return directory;
  struct stat status {};
  if (::fstat(directory->get(), &status) != 0 || status.st_uid != uid || (status.st_mode & 07777U) != 0700) {
    return std::unexpected(common::MessageError(path + " is not this user's runtime directory"));
  }
  return directory;
}

// Changes the mode of what `fd` (opened with O_PATH) is, through /proc: a
// directory left without access by an earlier run under a tight umask cannot
// be opened any other way to repair it.
std::expected<void, common::IoError> set_mode(int fd, mode_t mode) {
  const std::string through_proc = "/proc/self/fd/" + std::to_string(fd);
  if (::chmod(through_proc.c_str(), mode) != 0) return std::unexpected(common::IoError::last_os_error());
  return {};
}

// `name` in `parent`, made with mode 0700 if missing. One that another uid
// made, that is not a directory, or that gives group or others any access is
// refused. Any other mode is kept as it is, except that a directory without
// all of its owner's access bits (made under a umask that took them, or left
// so by an earlier run) is set to 0700.
std::expected<common::UniqueFd, common::AnyError> private_subdirectory(const common::UniqueFd& parent,
                                                                       const std::string& shown,
                                                                       const std::string& name, uid_t uid) {
  if (::mkdirat(parent.get(), name.c_str(), PRIVATE_DIRECTORY) != 0 && errno != EEXIST) {
    return std::unexpected(common::IoError::last_os_error());
  }
  struct stat named {};
  if (::fstatat(parent.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::unexpected(common::IoError::last_os_error());
  }
  if (named.st_uid != uid) return std::unexpected(belongs_to_another_user(shown));
  if (!S_ISDIR(named.st_mode)) {
    return std::unexpected(common::MessageError("the lock directory " + shown + " is not a directory"));
  }
  common::UniqueFd directory(::openat(parent.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat opened {};
  if (!directory.valid() || ::fstat(directory.get(), &opened) != 0) {
    return std::unexpected(common::IoError::last_os_error());
  }
  if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino || opened.st_uid != uid) {
    return std::unexpected(belongs_to_another_user(shown));
  }
  if ((opened.st_mode & OTHERS_ACCESS) != 0) {
    return std::unexpected(common::MessageError("the lock directory " + shown + " is open to other users"));
  }
  if ((opened.st_mode & S_IRWXU) != S_IRWXU) {
    if (auto repaired = set_mode(directory.get(), PRIVATE_DIRECTORY); !repaired) {
      return std::unexpected(std::move(repaired).error());
    }
  }
  return directory;
}

}  // namespace

std::expected<common::UniqueFd, common::AnyError> open_lock_directory() {
  const uid_t uid = ::geteuid();
  if (uid == 0) {
    auto run = open_parent("/run", uid);
    if (run) return private_subdirectory(*run, "/run/auth_password", "auth_password", uid);
  } else if (auto runtime = open_runtime_directory(uid)) {
    return private_subdirectory(*runtime, "/run/user/" + std::to_string(uid) + "/auth_password", "auth_password", uid);
  }
  auto shared = open_parent("/tmp", uid);
  if (!shared) return std::unexpected(common::MessageError("no private directory for password-change locks"));
  const std::string name = "auth_password-" + std::to_string(uid);
  return private_subdirectory(*shared, "/tmp/" + name, name, uid);
}

}  // namespace password_backend
