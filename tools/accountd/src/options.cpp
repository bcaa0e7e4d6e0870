#include "options.hpp"

#include <charconv>
#include <limits>
#include <string>
#include <utility>

#include "server.hpp"
#include "tavrin_account/endpoint.hpp"

namespace accountd {

std::string usage() {
  return "Usage: accountd [--endpoint URI] [--allow-uid UID]... (--store PATH | --memory)\n"
         "       accountd --help\n"
         "\n"
         "A development account daemon: keeps users' secrets and answers GetSecret and\n"
         "SetSecret over a local stream socket, one length-prefixed JSON request and\n"
         "reply at a time. Other methods are answered with NotImplemented.\n"
         "\n"
         "Options:\n"
         "  --endpoint URI  where to listen: unix://@NAME (abstract socket) or\n"
         "                  unix:///PATH (socket file, created with mode 0600 and\n"
         "                  removed on exit). Default: " +
         std::string(tavrin_account::DEFAULT_ACCOUNT_IPC_URI) +
         "\n"
         "  --store PATH    keep secrets in the SQLite database PATH (created if\n"
         "                  missing); every SetSecret is committed durably before\n"
         "                  its reply\n"
         "  --memory        keep secrets in memory only; they are lost on exit\n"
         "  --allow-uid UID also serve clients running as the user id UID (may be\n"
         "                  repeated). Without it only root and the daemon's own\n"
         "                  user are served; any other client gets PermissionDenied\n"
         "                  for its first request and is closed\n"
         "  --help          show this text and exit\n"
         "\n"
         "Once the socket accepts connections, the line \"accountd: listening on URI\"\n"
         "is written to standard error. Each request is logged there on one line\n"
         "(peer pid and uid, method, user, secret name, outcome); secret data never\n"
         "is. Refusals and unreadable requests are logged at most five a second per\n"
         "peer, and what is left out is counted. A connection that sends nothing for " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(IDLE_TIMEOUT).count()) +
         " seconds is closed. SIGTERM or\n"
         "SIGINT: the request in hand is finished and the daemon exits with status 0.\n"
         "Point clients at it with ACCOUNT_IPC_URI=URI.\n";
}

namespace {

std::unexpected<common::MessageError> refuse(std::string text) {
  return std::unexpected(common::MessageError(std::move(text)));
}

// Decimal digits only; (uid_t)-1 means "no user" to the kernel.
std::expected<uid_t, common::MessageError> parse_uid(std::string_view text) {
  uid_t uid = 0;
  const char* begin = text.data();
  const char* end = begin + text.size();
  const auto [stop, error] = std::from_chars(begin, end, uid);
  if (error != std::errc() || stop != end || uid == std::numeric_limits<uid_t>::max()) {
    return refuse("--allow-uid needs a user id, not `" + std::string(text) + "`");
  }
  return uid;
}

}  // namespace

std::expected<Options, common::MessageError> parse_options(std::span<const std::string_view> args) {
  Options options{.endpoint = std::string(tavrin_account::DEFAULT_ACCOUNT_IPC_URI)};
  bool memory = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const auto value = [&]() -> std::expected<std::string, common::MessageError> {
      if (i + 1 >= args.size()) return refuse("option " + std::string(arg) + " needs a value");
      return std::string(args[++i]);
    };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return options;
    }
    if (arg == "--endpoint") {
      auto uri = value();
      if (!uri) return std::unexpected(uri.error());
      options.endpoint = std::move(*uri);
    } else if (arg == "--store") {
      auto path = value();
      if (!path) return std::unexpected(path.error());
      if (path->empty()) return refuse("--store needs a non-empty path");
      options.store_path = std::move(*path);
    } else if (arg == "--allow-uid") {
      auto text = value();
      if (!text) return std::unexpected(text.error());
      auto uid = parse_uid(*text);
      if (!uid) return std::unexpected(std::move(uid).error());
      options.allowed_uids.push_back(*uid);
    } else if (arg == "--memory") {
      memory = true;
    } else {
      return refuse("unknown argument `" + std::string(arg) + "`");
    }
  }
  if (memory == options.store_path.has_value()) return refuse("give exactly one of --store PATH and --memory");
  return options;
}

}  // namespace accountd
