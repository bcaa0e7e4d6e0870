#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string_view>

namespace tavrin_account {

// Whether only root or `uid` could have put the socket file `connected` (the
// one the program connected to) at the absolute `path`: it is the socket file
// the path leads to now, owned by `uid`, and the way to it is one that only
// root, `uid` or ourselves could have laid (see common::walk_trusted_path).
[[nodiscard]] bool socket_file_is_held_by(std::string_view path, uid_t uid, const struct stat& connected);

}  // namespace tavrin_account
