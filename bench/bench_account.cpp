// One get_secret round trip against a running accountd on a path socket,
// beside the bare socket round trip of a frame of the same size as its floor;
// and a new client's first answer while other connections sit open and
// silent, or while a refused user's crowd or an allowed user's connections
// trickle bytes. ACCOUNTD_BENCH_BIN names another accountd to time (an
// earlier build, say) instead of this tree's.
#include <benchmark/benchmark.h>
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "running_accountd.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/protocol.hpp"
#include "tavrin_account/secrets.hpp"

namespace {

const common::Uuid USER = *common::parse_uuid("2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10");
const std::string NAME = "org.norvalex.os.account.auth.password/Password";

constexpr uid_t STRANGER = 65534;
constexpr uid_t ALLOWED = 1000;

std::string accountd_bin() {
  const char* other = std::getenv("ACCOUNTD_BENCH_BIN");
  return other != nullptr ? other : ACCOUNTD_BIN;
}

// accountd with an in-memory store, stopped at exit.
const test_support::RunningAccountd& daemon() {
  static const test_support::RunningAccountd instance(accountd_bin(), std::nullopt);
  if (!instance.ready()) std::abort();
  return instance;
}

// Strangers reach only an abstract name; ALLOWED is served besides root.
const test_support::RunningAccountd& abstract_daemon() {
  static const test_support::RunningAccountd instance(accountd_bin(), std::nullopt,
                                                      "unix://@accountd-bench-" + std::to_string(::getpid()),
                                                      {"--allow-uid", std::to_string(ALLOWED)});
  if (!instance.ready()) std::abort();
  return instance;
}

void BM_GetSecretRoundTrip(benchmark::State& state) {
  auto connection = tavrin_account::connect_to_endpoint(daemon().uri());
  if (!connection) {
    state.SkipWithError(connection.error().display().c_str());
    return;
  }
  // A PHC string's worth of data, as the password check reads it.
  const tavrin_account::Secret stored{NAME, std::vector<std::uint8_t>(97, 'x'), {0x2}, 0, INT64_MAX};
  if (!tavrin_account::set_secret(*connection, USER, stored)) {
    state.SkipWithError("SetSecret failed");
    return;
  }
  for (auto _ : state) {
    auto secret = tavrin_account::get_secret(*connection, USER, NAME);
    if (!secret) {
      state.SkipWithError("GetSecret failed");
      return;
    }
    benchmark::DoNotOptimize(secret);
  }
}
BENCHMARK(BM_GetSecretRoundTrip)->Repetitions(9)->ReportAggregatesOnly(true)->UseRealTime();

// Connect and one GetSecret, as a backend operation begins, while `idle`
// connections of the same user that never send a byte are open: at most 63,
// since a user's 65th connection is closed.
void BM_FirstAnswerBesideIdleConnections(benchmark::State& state) {
  {
    auto writer = tavrin_account::connect_to_endpoint(daemon().uri());
    const tavrin_account::Secret stored{NAME, std::vector<std::uint8_t>(97, 'x'), {0x2}, 0, INT64_MAX};
    if (!writer || !tavrin_account::set_secret(*writer, USER, stored)) {
      state.SkipWithError("SetSecret failed");
      return;
    }
  }
  std::vector<tavrin_account::AccountConnection> idle;
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    auto connection = tavrin_account::connect_to_endpoint(daemon().uri());
    if (!connection) {
      state.SkipWithError(connection.error().display().c_str());
      return;
    }
    idle.push_back(std::move(*connection));
  }
  for (auto _ : state) {
    auto connection = tavrin_account::connect_to_endpoint(daemon().uri());
    if (!connection) {
      state.SkipWithError(connection.error().display().c_str());
      return;
    }
    auto secret = tavrin_account::get_secret(*connection, USER, NAME);
    if (!secret) {
      state.SkipWithError("GetSecret failed");
      return;
    }
    benchmark::DoNotOptimize(secret);
  }
}
BENCHMARK(BM_FirstAnswerBesideIdleConnections)
    ->Arg(0)
    ->Arg(63)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// A child running as `uid` that keeps `count` connections open, sending
// each one byte of a frame every 100 ms and making a new one for each the
// daemon closes, until it is killed; -1 when it cannot run as that user.
pid_t start_slow_crowd(const std::string& uri, std::int64_t count, uid_t uid) {
  std::array<int, 2> ready{};
  if (::pipe(ready.data()) != 0) std::abort();
  const pid_t pid = ::fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(1);
    const auto address = tavrin_account::make_socket_address(*tavrin_account::parse_endpoint_uri(uri));
    // Each connection's own bytes so far, so that every one sends a
    // well-formed frame, slowly.
    struct Slow {
      int fd = -1;
      std::size_t sent = 0;
    };
    std::vector<Slow> crowd(static_cast<std::size_t>(count));
    const std::string frame = std::string("\x10\0\0\0", 4) + std::string(16, '{');
    for (bool first = true;; first = false) {
      for (Slow& slow : crowd) {
        const char byte = frame[slow.sent++ % frame.size()];
        if (slow.fd >= 0 && ::send(slow.fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) continue;
        if (slow.fd >= 0) ::close(slow.fd);
        slow = {.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0), .sent = 0};
        if (::connect(slow.fd, address->get(), address->length) != 0) {
          ::close(slow.fd);
          slow.fd = -1;
        }
      }
      if (first) (void)!::write(ready[1], "r", 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  ::close(ready[1]);
  char byte = 0;
  const bool started = ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  if (!started) {
    ::waitpid(pid, nullptr, 0);
    return -1;
  }
  return pid;
}

// Connect and one GetSecret by the daemon's own user while a refused user's
// crowd of `count` connections trickles bytes and reconnects. An answer that
// does not come within 20 s is an error.
void first_answer_beside_a_slow_crowd(benchmark::State& state, uid_t uid) {
  const std::string& uri = abstract_daemon().uri();
  const pid_t crowd = state.range(0) == 0 ? 0 : start_slow_crowd(uri, state.range(0), uid);
  if (crowd < 0) {
    state.SkipWithError("cannot run a crowd as another user (needs root)");
    return;
  }
  for (auto _ : state) {
    auto connection = tavrin_account::connect_to_endpoint(uri);
    if (!connection) {
      state.SkipWithError(connection.error().display().c_str());
      break;
    }
    const timeval limit{.tv_sec = 20, .tv_usec = 0};
    (void)::setsockopt(connection->socket(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    auto secret = tavrin_account::get_secret(*connection, USER, NAME);
    if (!secret && secret.error() != tavrin_account::Error::no_such_secret()) {
      state.SkipWithError("no answer within 20 s");
      break;
    }
    benchmark::DoNotOptimize(secret);
  }
  if (crowd > 0) {
    ::kill(crowd, SIGKILL);
    ::waitpid(crowd, nullptr, 0);
  }
}

void BM_FirstAnswerBesideARefusedCrowd(benchmark::State& state) { first_answer_beside_a_slow_crowd(state, STRANGER); }
BENCHMARK(BM_FirstAnswerBesideARefusedCrowd)
    ->Arg(0)
    ->Arg(515)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// The same beside an allowed user who trickles on its share of the slots
// (64), or on all of them and more.
void BM_FirstAnswerBesideASlowAllowedUser(benchmark::State& state) { first_answer_beside_a_slow_crowd(state, ALLOWED); }
BENCHMARK(BM_FirstAnswerBesideASlowAllowedUser)
    ->Arg(64)
    ->Arg(515)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// The floor: the same frames echoed by a thread over a socket pair, with no
// JSON, no store and no poll loop.
void BM_BareFrameRoundTrip(benchmark::State& state) {
  std::array<int, 2> fds{};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds.data()) != 0) std::abort();
  tavrin_account::AccountConnection connection{common::UniqueFd(fds[0])};
  const common::UniqueFd peer(fds[1]);
  std::thread echo([fd = peer.get()] {
    std::array<std::uint8_t, 4096> frame{};
    while (true) {
      const ssize_t n = ::recv(fd, frame.data(), frame.size(), 0);
      if (n <= 0) return;
      std::string out(4, '\0');
      tavrin_account::encode_frame_length(240, reinterpret_cast<std::uint8_t*>(out.data()));
      out.append(240, 'r');
      (void)::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    }
  });
  for (auto _ : state) {
    connection.buffer().assign(135, 'q');
    if (!tavrin_account::exchange_message(connection)) std::abort();
  }
  ::shutdown(connection.socket(), SHUT_RDWR);
  echo.join();
}
BENCHMARK(BM_BareFrameRoundTrip)->Repetitions(9)->ReportAggregatesOnly(true)->UseRealTime();

// One SetSecret of an envelope's worth of data into a store on disk: committed
// durably before the reply, the replaced row overwritten and the log cut back.
// Against the accountd built beside this program and, when the environment
// names another build in BENCH_ACCOUNTD_BEFORE (bench/run --before does), in
// the same run against that one, so the two figures share the machine's mood.
void set_secret_to_a_file_store(benchmark::State& state, const std::string& binary) {
  const std::string directory = test_support::make_temp_directory("bench-store");
  {
    const test_support::RunningAccountd store_daemon(binary, directory + "/secrets.db");
    auto connection = tavrin_account::connect_to_endpoint(store_daemon.uri());
    if (!store_daemon.ready() || !connection) {
      state.SkipWithError(("accountd " + binary + " did not answer").c_str());
    } else {
      tavrin_account::Secret envelope{NAME, std::vector<std::uint8_t>(1024, 'e'), {0x2}, 0, INT64_MAX};
      for (auto _ : state) {
        ++envelope.data[0];  // a new value each time, as a change writes
        if (!tavrin_account::set_secret(*connection, USER, envelope)) {
          state.SkipWithError("SetSecret failed");
          break;
        }
      }
    }
  }
  std::filesystem::remove_all(directory);
}

const bool set_secret_benchmarks_registered = [] {
  benchmark::RegisterBenchmark("BM_SetSecretToAFileStore", set_secret_to_a_file_store, std::string(ACCOUNTD_BIN))
      ->Repetitions(5)
      ->ReportAggregatesOnly(true)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  if (const char* before = std::getenv("BENCH_ACCOUNTD_BEFORE"); before != nullptr && *before != '\0') {
    benchmark::RegisterBenchmark("BM_SetSecretToAFileStore/before", set_secret_to_a_file_store, std::string(before))
        ->Repetitions(5)
        ->ReportAggregatesOnly(true)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  }
  return true;
}();

}  // namespace
