#include "options.hpp"

#include "tavrin_account/endpoint.hpp"

namespace accountd {

std::string usage() {
  return "Usage: accountd [--endpoint URI] (--store PATH | --memory)\n"
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
         "  --help          show this text and exit\n"
         "\n"
         "Once the socket accepts connections, the line \"accountd: listening on URI\"\n"
         "is written to standard error. Each request is logged there on one line\n"
         "(peer pid and uid, method, user, secret name, outcome); secret data never\n"
         "is. SIGTERM or SIGINT: the request in hand is finished and the daemon\n"
         "exits with status 0. Point clients at it with ACCOUNT_IPC_URI=URI.\n";
}

std::expected<Options, std::string> parse_options(std::span<const std::string_view> args) {
  Options options{.endpoint = std::string(tavrin_account::DEFAULT_ACCOUNT_IPC_URI)};
  bool memory = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const auto value = [&]() -> std::expected<std::string, std::string> {
      if (i + 1 >= args.size()) return std::unexpected("option " + std::string(arg) + " needs a value");
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
      if (path->empty()) return std::unexpected("--store needs a non-empty path");
      options.store_path = std::move(*path);
    } else if (arg == "--memory") {
      memory = true;
    } else {
      return std::unexpected("unknown argument `" + std::string(arg) + "`");
    }
  }
  if (memory == options.store_path.has_value()) return std::unexpected("give exactly one of --store PATH and --memory");
  return options;
}

}  // namespace accountd
