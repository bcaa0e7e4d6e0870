#include "private_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "common/invariant.hpp"
#include "common/io_error.hpp"
#include "common/path_trust.hpp"
#include "common/unique_fd.hpp"

namespace accountd {
namespace {

// The files SQLite opens beside a database by name, besides the database.
constexpr std::array<const char*, 4> STORE_SUFFIXES = {"", "-wal", "-shm", "-journal"};

std::string octal_mode(mode_t mode) {
  std::array<char, 8> digits{};
  const auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(), mode & 07777U, 8);
  if (error != std::errc()) common::invariant_broken("a file mode does not fit four octal digits");
  std::string text(digits.data(), end);
  return std::string(text.size() < 4 ? 4 - text.size() : 0, '0') + text;
}

std::string os_failure() { return common::IoError::last_os_error().display(); }

std::unexpected<common::MessageError> refuse(std::string text) {
  return std::unexpected(common::MessageError(std::move(text)));
}

struct SplitPath {
  std::string directory;
  std::string name;
};

SplitPath split(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// Opens the directory and checks what was opened, so that a name swapped
// after the check leads to the directory that was checked. Group write is
// refused too: with an access control list the group bits are its mask, so
// they show whether any named user or group may write. The way to it must be
// one only root and `owner` could have laid: whoever may write a directory
// above it may put another directory in its place.
std::expected<common::UniqueFd, common::MessageError> open_private_directory(const std::string& directory, uid_t owner,
                                                                             const std::string& refusing) {
  common::UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return refuse(refusing + ": cannot open its directory " + directory + ": " + os_failure());
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    return refuse(refusing + ": cannot inspect its directory " + directory + ": " + os_failure());
  }
  if (info.st_uid != 0 && info.st_uid != owner) {
    return refuse(refusing + ": its directory " + directory + " belongs to uid " + std::to_string(info.st_uid) +
                  ", who may change what is in it");
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return refuse(refusing + ": its directory " + directory + " may be written by group or others (mode " +
                  octal_mode(info.st_mode) + ")");
  }
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(directory, error);
  if (error) return refuse(refusing + ": cannot tell where " + directory + " is: " + error.message());
  auto walked = common::walk_trusted_path(absolute.string(), owner);
  if (!walked) return refuse(refusing + ": " + walked.error().display());
  auto checked = common::open_walked_directory(*walked);
  if (!checked) return refuse(refusing + ": " + checked.error().display());
  if (!walked->exists || walked->entry.st_dev != info.st_dev || walked->entry.st_ino != info.st_ino) {
    return refuse(refusing + ": its directory " + directory + " was replaced while it was being checked");
  }
  return std::move(*checked);
}

// O_PATH with O_NOFOLLOW opens a symbolic link itself, and a FIFO without
// waiting for a writer, so what is checked is the file that is there.
std::expected<void, common::MessageError> check_file(int directory, const std::string& path, const std::string& name,
                                                     uid_t owner, const std::string& refusing) {
  const common::UniqueFd fd(::openat(directory, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) return {};
    return refuse(refusing + ": cannot open " + path + ": " + os_failure());
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return refuse(refusing + ": cannot inspect " + path + ": " + os_failure());
  if (S_ISLNK(info.st_mode)) return refuse(refusing + ": " + path + " is a symbolic link");
  if (!S_ISREG(info.st_mode)) return refuse(refusing + ": " + path + " is not a regular file");
  if (info.st_uid != owner) {
    return refuse(refusing + ": " + path + " belongs to uid " + std::to_string(info.st_uid) +
                  ", not to accountd's uid " + std::to_string(owner));
  }
  if ((info.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0) {
    return refuse(refusing + ": " + path + " may be read or written by group or others (mode " +
                  octal_mode(info.st_mode) + ")");
  }
  return {};
}

}  // namespace

std::string CheckedDirectory::path_of_file() const { return "/proc/self/fd/" + std::to_string(fd.get()) + "/" + name; }

std::expected<CheckedDirectory, common::MessageError> check_socket_directory(const std::string& socket_path,
                                                                             uid_t owner) {
  const SplitPath where = split(socket_path);
  auto directory = open_private_directory(where.directory, owner, "refusing the socket " + socket_path);
  if (!directory) return std::unexpected(std::move(directory).error());
  return CheckedDirectory{.fd = std::move(*directory), .name = where.name};
}

std::expected<CheckedDirectory, common::MessageError> check_store_files(const std::string& store_path, uid_t owner) {
  const std::string refusing = "refusing the store " + store_path;
  const SplitPath where = split(store_path);
  auto directory = open_private_directory(where.directory, owner, refusing);
  if (!directory) return std::unexpected(std::move(directory).error());
  for (const char* suffix : STORE_SUFFIXES) {
    auto checked = check_file(directory->get(), store_path + suffix, where.name + suffix, owner, refusing);
    if (!checked) return std::unexpected(std::move(checked).error());
  }
  return CheckedDirectory{.fd = std::move(*directory), .name = where.name};
}

}  // namespace accountd
