#pragma once

#include <sys/types.h>

#include <expected>
#include <string>

#include "common/message_error.hpp"
#include "common/unique_fd.hpp"

namespace accountd {

// The directory a check judged, held open, and the name of the file in it:
// what is opened or bound there goes through the descriptor, so the
// directory that was checked is the one used, whatever is renamed meanwhile.
struct CheckedDirectory {
  common::UniqueFd fd;
  std::string name;

  // The file's path through this process's descriptor (/proc/self/fd/N/NAME).
  [[nodiscard]] std::string path_of_file() const;
};

// Whoever may write a directory may plant, swap or remove what is in it: the
// store's directory may hold the journal and write-ahead log that SQLite
// replays on open, and a socket's directory decides who may put a socket of
// their own in its place. Both must be changeable only by root and `owner`.
// Each refusal is one line naming the path and the reason; nothing is
// created or changed either way. Every directory above it must be one only
// root and `owner` could have laid (see common::walk_trusted_path).
[[nodiscard]] std::expected<CheckedDirectory, common::MessageError> check_socket_directory(
    const std::string& socket_path, uid_t owner);

// The store, and any journal, write-ahead log or shared-memory file of it
// already there, must be a regular file of `owner` that neither group nor
// others may read or write, in a directory as check_socket_directory asks.
[[nodiscard]] std::expected<CheckedDirectory, common::MessageError> check_store_files(const std::string& store_path,
                                                                                      uid_t owner);

}  // namespace accountd
