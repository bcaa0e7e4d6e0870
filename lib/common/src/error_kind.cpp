#include <array>
#include <cerrno>

#include "common/io_error.hpp"

namespace common {
namespace {

struct KindText {
  std::string_view name;
  std::string_view description;
};

// Indexed by ErrorKind; the order is the enumeration's.
constexpr auto KIND_TEXTS = std::to_array<KindText>({
    {"NotFound", "entity not found"},
    {"PermissionDenied", "permission denied"},
    {"ConnectionRefused", "connection refused"},
    {"ConnectionReset", "connection reset"},
    {"HostUnreachable", "host unreachable"},
    {"NetworkUnreachable", "network unreachable"},
    {"ConnectionAborted", "connection aborted"},
    {"NotConnected", "not connected"},
    {"AddrInUse", "address in use"},
    {"AddrNotAvailable", "address not available"},
    {"NetworkDown", "network down"},
    {"BrokenPipe", "broken pipe"},
    {"AlreadyExists", "entity already exists"},
    {"WouldBlock", "operation would block"},
    {"NotADirectory", "not a directory"},
    {"IsADirectory", "is a directory"},
    {"DirectoryNotEmpty", "directory not empty"},
    {"ReadOnlyFilesystem", "read-only filesystem or storage medium"},
    {"FilesystemLoop", "filesystem loop or indirection limit"},
    {"StaleNetworkFileHandle", "stale network file handle"},
    {"InvalidInput", "invalid input parameter"},
    {"InvalidData", "invalid data"},
    {"TimedOut", "timed out"},
    {"WriteZero", "write zero"},
    {"StorageFull", "no storage space"},
    {"NotSeekable", "seek on unseekable file"},
    {"QuotaExceeded", "quota exceeded"},
    {"FileTooLarge", "file too large"},
    {"ResourceBusy", "resource busy"},
    {"ExecutableFileBusy", "executable file busy"},
    {"Deadlock", "deadlock"},
    {"CrossesDevices", "cross-device link or rename"},
    {"TooManyLinks", "too many links"},
    {"InvalidFilename", "invalid filename"},
    {"ArgumentListTooLong", "argument list too long"},
    {"Interrupted", "operation interrupted"},
    {"Unsupported", "unsupported"},
    {"UnexpectedEof", "unexpected end of file"},
    {"OutOfMemory", "out of memory"},
    {"InProgress", "in progress"},
    {"TooManyOpenFiles", "too many open files"},
    {"InputOutputError", "input/output error"},
    {"Other", "other error"},
    {"Uncategorized", "uncategorized error"},
});
static_assert(std::size(KIND_TEXTS) == static_cast<std::size_t>(ErrorKind::Uncategorized) + 1);

}  // namespace

std::string_view error_kind_name(ErrorKind kind) { return KIND_TEXTS[static_cast<std::size_t>(kind)].name; }

std::string_view error_kind_description(ErrorKind kind) {
  return KIND_TEXTS[static_cast<std::size_t>(kind)].description;
}

ErrorKind error_kind_from_os_code(int code) {
  switch (code) {
    case EPERM:
    case EACCES: return ErrorKind::PermissionDenied;
    case ENOENT: return ErrorKind::NotFound;
    case EINTR: return ErrorKind::Interrupted;
    case EIO: return ErrorKind::InputOutputError;
    case E2BIG: return ErrorKind::ArgumentListTooLong;
    case EAGAIN: return ErrorKind::WouldBlock;
    case ENOMEM: return ErrorKind::OutOfMemory;
    case EBUSY: return ErrorKind::ResourceBusy;
    case EEXIST: return ErrorKind::AlreadyExists;
    case EXDEV: return ErrorKind::CrossesDevices;
    case ENOTDIR: return ErrorKind::NotADirectory;
    case EISDIR: return ErrorKind::IsADirectory;
    case EINVAL: return ErrorKind::InvalidInput;
    case ENFILE:
    case EMFILE: return ErrorKind::TooManyOpenFiles;
    case ETXTBSY: return ErrorKind::ExecutableFileBusy;
    case EFBIG: return ErrorKind::FileTooLarge;
    case ENOSPC: return ErrorKind::StorageFull;
    case ESPIPE: return ErrorKind::NotSeekable;
    case EROFS: return ErrorKind::ReadOnlyFilesystem;
    case EMLINK: return ErrorKind::TooManyLinks;
    case EPIPE: return ErrorKind::BrokenPipe;
    case EDEADLK: return ErrorKind::Deadlock;
    case ENAMETOOLONG: return ErrorKind::InvalidFilename;
    case ENOSYS:
    case EOPNOTSUPP: return ErrorKind::Unsupported;
    case ENOTEMPTY: return ErrorKind::DirectoryNotEmpty;
    case ELOOP: return ErrorKind::FilesystemLoop;
    case EADDRINUSE: return ErrorKind::AddrInUse;
    case EADDRNOTAVAIL: return ErrorKind::AddrNotAvailable;
    case ENETDOWN: return ErrorKind::NetworkDown;
    case ENETUNREACH: return ErrorKind::NetworkUnreachable;
    case ECONNABORTED: return ErrorKind::ConnectionAborted;
    case ECONNRESET: return ErrorKind::ConnectionReset;
    case ENOTCONN: return ErrorKind::NotConnected;
    case ETIMEDOUT: return ErrorKind::TimedOut;
    case ECONNREFUSED: return ErrorKind::ConnectionRefused;
    case EHOSTUNREACH: return ErrorKind::HostUnreachable;
    case EINPROGRESS: return ErrorKind::InProgress;
    case ESTALE: return ErrorKind::StaleNetworkFileHandle;
    case EDQUOT: return ErrorKind::QuotaExceeded;
    default: return ErrorKind::Uncategorized;
  }
}

}  // namespace common
