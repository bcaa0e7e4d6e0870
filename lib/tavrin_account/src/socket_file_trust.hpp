#pragma once

#include <sys/types.h>

#include <string_view>

namespace tavrin_account {

// Whether only root or `uid` could have put the socket file at the absolute
// `path` where it is: the file is a socket owned by `uid`; the directory that
// holds it, and the one that holds any symbolic link naming it, is owned by
// root or `uid` and writable by no group and no other user; and every
// directory passed on the way down is owned by root or `uid` and either
// writable by no group or other user, or sticky with the entry taken from it
// owned by root or `uid`. The path is followed as the kernel follows it
// (symbolic links, "." and ".." included), and anything that cannot be
// looked at counts as untrusted.
[[nodiscard]] bool socket_file_is_held_by(std::string_view path, uid_t uid);

}  // namespace tavrin_account
