// The development account daemon.
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "common/fd_io.hpp"
#include "common/message_error.hpp"
#include "common/quote.hpp"
#include "listener.hpp"
#include "options.hpp"
#include "private_files.hpp"
#include "server.hpp"
#include "service_manager.hpp"

namespace {

void log_line(std::string_view text) {
  // Log lines carry what clients sent: whoever reads the log on a terminal
  // must see those bytes rather than have the terminal obey them, and one
  // line stays one line. A closed standard error must not stop the daemon.
  (void)common::write_all(STDERR_FILENO, "accountd: " + common::terminal_safe(text) + "\n");
}

int fail(std::string_view text) {
  log_line(text);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  auto options = accountd::parse_options(args);
  if (!options) {
    log_line(options.error().text);
    (void)common::write_all(STDERR_FILENO, "Try `accountd --help`.\n");
    return 1;
  }
  if (options->help) return common::write_all(STDOUT_FILENO, accountd::usage()) ? 0 : 1;

  // The stop signals are taken only between requests, through the event loop.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  if (sigprocmask(SIG_BLOCK, &stop_signals, nullptr) != 0) return fail("cannot block signals");
  const common::UniqueFd stop_fd(signalfd(-1, &stop_signals, SFD_CLOEXEC));
  if (!stop_fd.valid()) return fail("cannot watch signals");
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) return fail("cannot ignore SIGPIPE");

  // The store and its journal hold every user's secrets: owner only.
  ::umask(0077);

  auto endpoint = tavrin_account::parse_endpoint_uri(options->endpoint);
  if (!endpoint) return fail("endpoint " + options->endpoint + ": " + endpoint.error().display());
  auto passed = accountd::passed_listener(*endpoint);
  if (!passed) return fail(passed.error().text);
  // Everything that could let someone else plant or read a file is checked
  // before anything is opened or created.
  // The checked directories stay open until exit, and the files in them are
  // reached through them.
  const uid_t self = ::geteuid();
  std::optional<accountd::CheckedDirectory> socket_directory;
  if (!*passed && endpoint->kind == tavrin_account::EndpointAddress::Kind::Pathname) {
    auto safe = accountd::check_socket_directory(endpoint->bytes, self);
    if (!safe) return fail(safe.error().text);
    socket_directory.emplace(std::move(*safe));
  }
  std::optional<accountd::CheckedDirectory> store_directory;
  if (const auto& store_path = options->store_path; store_path.has_value()) {
    auto safe = accountd::check_store_files(*store_path, self);
    if (!safe) return fail(safe.error().text);
    store_directory.emplace(std::move(*safe));
  }
  auto store = store_directory ? accountd::SecretStore::open(store_directory->path_of_file())
                               : accountd::SecretStore::open_in_memory();
  if (!store) return fail(store.error().text);
  std::optional<common::UniqueFd>& from_manager = *passed;
  const bool activated = from_manager.has_value();
  std::expected<accountd::Listener, common::MessageError> listener =
      activated
          ? accountd::Listener::adopt(std::move(*from_manager))
          : accountd::Listener::open(
                socket_directory ? tavrin_account::EndpointAddress{tavrin_account::EndpointAddress::Kind::Pathname,
                                                                   socket_directory->path_of_file()}
                                 : *endpoint);
  if (!listener) return fail(listener.error().text);

  log_line("listening on " + options->endpoint + (activated ? " (socket passed by the service manager)" : ""));
  accountd::notify_service_manager("READY=1");
  accountd::serve(*listener, stop_fd.get(), *store, log_line, {.allowed_uids = options->allowed_uids});
  accountd::notify_service_manager("STOPPING=1");
  log_line("stopped");
  return 0;
}
