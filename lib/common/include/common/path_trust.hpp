#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <expected>
#include <string>
#include <string_view>

#include "common/message_error.hpp"
#include "common/unique_fd.hpp"

namespace common {

// Where a trusted walk ended: the directory that holds the last name, opened
// with O_PATH, and what is under that name now. The name is never a symbolic
// link; `exists` is false when nothing is there yet.
struct WalkedPath {
  UniqueFd directory;
  struct stat directory_status {};
  std::string name;
  bool exists = false;
  struct stat entry {};
};

// Whether only root, `owner` or ourselves (the effective uid) could have put
// what is at the absolute `path` where it is, and so only they could swap it.
// Every directory on the way, and the one holding the last name, is owned by
// root, `owner` or ourselves, and is either writable by no group or other
// user, or sticky with the entry taken from it owned by root or ourselves:
// inside a directory anyone may write (as /tmp), nobody can tell whose
// private directory a stranger's one is, so it is never believed. A name not
// there yet is guarded only in a directory nobody else may write. The path is
// followed as the kernel follows it (symbolic links, "." and ".."), each
// link judged as the entry it is. A refusal says which entry or directory is
// in doubt, and why.
[[nodiscard]] std::expected<WalkedPath, MessageError> walk_trusted_path(std::string_view path, uid_t owner);

// The directory `walked` ends at, opened for path lookups (O_PATH) and
// checked to be the entry the walk judged.
[[nodiscard]] std::expected<UniqueFd, MessageError> open_walked_directory(const WalkedPath& walked);

// Whether nobody but the owner of `status` (and root) may write it.
[[nodiscard]] inline bool others_cannot_write(const struct stat& status) {
  return (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace common
