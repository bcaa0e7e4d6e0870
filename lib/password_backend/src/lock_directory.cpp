#include "lock_directory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include "common/io_error.hpp"
#include "common/message_error.hpp"

namespace password_backend {
namespace {

constexpr const char* SUBDIRECTORY = "auth_password";
constexpr const char* SHARED_FALLBACK = "/tmp";
constexpr mode_t OTHERS_ACCESS = S_IRWXG | S_IRWXO;

// The final component is never followed: a symbolic link there could point
// anywhere, and what counts is the directory itself.
std::expected<common::UniqueFd, common::IoError> open_directory(int at, const char* path) {
  common::UniqueFd directory(::openat(at, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory.valid()) return std::unexpected(common::IoError::last_os_error());
  return directory;
}

std::optional<struct stat> status_of(const common::UniqueFd& fd) {
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return std::nullopt;
  return status;
}

bool is_private_to(const struct stat& status, uid_t uid) {
  return S_ISDIR(status.st_mode) && status.st_uid == uid && (status.st_mode & OTHERS_ACCESS) == 0;
}

// Root's, and either writable by nobody else or sticky, so that no other uid
// can remove or rename what it holds.
bool is_safely_shared(const struct stat& status) {
  return S_ISDIR(status.st_mode) && status.st_uid == 0 &&
         ((status.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (status.st_mode & S_ISVTX) != 0);
}

std::expected<common::UniqueFd, common::AnyError> private_subdirectory(const common::UniqueFd& parent,
                                                                       const std::string& name, uid_t uid) {
  if (::mkdirat(parent.get(), name.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
    return std::unexpected(common::IoError::last_os_error());
  }
  auto directory = open_directory(parent.get(), name.c_str());
  if (!directory) return std::unexpected(std::move(directory).error());
  const auto status = status_of(*directory);
  if (!status || !is_private_to(*status, uid)) {
    return std::unexpected(common::MessageError("the directory for password-change locks is not private"));
  }
  return std::move(*directory);
}

std::optional<common::UniqueFd> own_runtime_directory(const char* path, uid_t uid) {
  if (path == nullptr || path[0] != '/') return std::nullopt;
  auto directory = open_directory(AT_FDCWD, path);
  if (!directory) return std::nullopt;
  const auto status = status_of(*directory);
  if (!status || !is_private_to(*status, uid)) return std::nullopt;
  return std::move(*directory);
}

std::optional<common::UniqueFd> safely_shared_directory(const char* path) {
  auto directory = open_directory(AT_FDCWD, path);
  if (!directory) return std::nullopt;
  const auto status = status_of(*directory);
  if (!status || !is_safely_shared(*status)) return std::nullopt;
  return std::move(*directory);
}

}  // namespace

std::expected<common::UniqueFd, common::AnyError> open_lock_directory() {
  const uid_t uid = ::geteuid();
  if (uid == 0) {
    if (auto run = safely_shared_directory("/run")) return private_subdirectory(*run, SUBDIRECTORY, uid);
  } else {
    // Under a login manager both name the same directory, so a process that
    // lost the variable (su, cron) still meets the others there.
    const std::string per_user = "/run/user/" + std::to_string(uid);
    const char* variable = ::secure_getenv("XDG_RUNTIME_DIR");
    for (const char* path : {variable, per_user.c_str()}) {
      if (auto runtime = own_runtime_directory(path, uid)) return private_subdirectory(*runtime, SUBDIRECTORY, uid);
    }
  }
  auto shared = safely_shared_directory(SHARED_FALLBACK);
  if (!shared) return std::unexpected(common::MessageError("no private directory for password-change locks"));
  return private_subdirectory(*shared, std::string(SUBDIRECTORY) + "-" + std::to_string(uid), uid);
}

}  // namespace password_backend
