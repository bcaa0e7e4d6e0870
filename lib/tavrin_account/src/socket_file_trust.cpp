#include "socket_file_trust.hpp"

#include "common/path_trust.hpp"

namespace tavrin_account {

bool socket_file_is_held_by(std::string_view path, uid_t uid, const struct stat& connected) {
  const auto walked = common::walk_trusted_path(path, uid);
  if (!walked || !walked->exists) return false;
  const struct stat& entry = walked->entry;
  return S_ISSOCK(entry.st_mode) && entry.st_uid == uid && entry.st_dev == connected.st_dev &&
         entry.st_ino == connected.st_ino;
}

}  // namespace tavrin_account
