// The development daemon as its clients see it: secrets round-trip and
// persist, many clients are served at once, and broken clients hurt nobody.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "frame.hpp"
#include "requests_as_user.hpp"
#include "run_process.hpp"
#include "running_accountd.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/protocol.hpp"
#include "tavrin_account/secrets.hpp"

namespace {

using namespace std::chrono_literals;
using tavrin_account::Error;
using tavrin_account::Secret;
using test_support::RunningAccountd;

const common::Uuid USER = *common::parse_uuid("2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10");
const common::Uuid OTHER = *common::parse_uuid("00000000-0000-4000-8000-000000000002");
constexpr uid_t STRANGER = 65534;

tavrin_account::AccountConnection connect(const RunningAccountd& daemon) {
  auto connection = tavrin_account::connect_to_endpoint(daemon.uri());
  if (!connection) ADD_FAILURE() << connection.error().display();
  return std::move(*connection);
}

// Sends raw bytes on a new connection and returns the reply frame, or what
// came before the daemon closed the connection.
std::string raw_exchange(const RunningAccountd& daemon, std::string_view bytes) {
  auto connection = connect(daemon);
  (void)::send(connection.socket(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
  std::string got;
  std::array<char, 4096> chunk{};
  while (got.size() < 4 ||
         got.size() < 4 + tavrin_account::decode_frame_length(reinterpret_cast<const std::uint8_t*>(got.data()))) {
    const ssize_t n = ::recv(connection.socket(), chunk.data(), chunk.size(), 0);
    if (n <= 0) break;
    got.append(chunk.data(), static_cast<std::size_t>(n));
  }
  return got;
}

TEST(Accountd, SecretsRoundTripAndSurviveARestart) {
  const std::string directory = test_support::make_temp_directory("accountd-store");
  const std::string store = directory + "/secrets.db";
  const std::vector<Secret> secrets = {
      {"org.norvalex.os.account.auth.password/Password", {'$', 'a', 'r', 'g'}, {0x2}, 0, INT64_MAX},
      {"org.norvalex.os.account.auth.password/MasterKey", {}, {0x13}, INT64_MIN, -1},
      {"\xc3\xa9\n\"", std::vector<std::uint8_t>(30'000, 0xff), {0}, 1, 2},
  };
  {
    RunningAccountd daemon(ACCOUNTD_BIN, store);
    ASSERT_TRUE(daemon.ready()) << daemon.log();
    struct stat info {};
    ASSERT_EQ(::stat(daemon.socket_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U);
    auto connection = connect(daemon);
    for (const auto& secret : secrets) ASSERT_TRUE(tavrin_account::set_secret(connection, USER, secret).has_value());
    const Secret replaced{secrets[0].name, {'n', 'e', 'w'}, {0x2}, 0, INT64_MAX};
    ASSERT_TRUE(tavrin_account::set_secret(connection, USER, replaced).has_value());
    EXPECT_EQ(tavrin_account::get_secret(connection, USER, secrets[0].name).value(), replaced);
    EXPECT_EQ(tavrin_account::get_secret(connection, OTHER, secrets[0].name).error(), Error::no_such_secret());
    for (const auto& file : std::filesystem::directory_iterator(directory)) {
      ASSERT_EQ(::stat(file.path().c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0777, 0600U) << file.path();
    }
    EXPECT_EQ(daemon.stop(SIGTERM), 0);
    EXPECT_FALSE(std::filesystem::exists(daemon.socket_path()));
    const std::string log = daemon.log();
    EXPECT_NE(
        log.find(
            R"("SetSecret" user=2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10 name="org.norvalex.os.account.auth.password/Password" -> ok)"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("-> NoSuchSecret"), std::string::npos);
    EXPECT_EQ(log.find("$arg"), std::string::npos);  // no secret data
  }
  RunningAccountd again(ACCOUNTD_BIN, store);
  ASSERT_TRUE(again.ready()) << again.log();
  auto connection = connect(again);
  EXPECT_EQ(tavrin_account::get_secret(connection, USER, secrets[0].name)->data,
            (std::vector<std::uint8_t>{'n', 'e', 'w'}));
  for (std::size_t i = 1; i < secrets.size(); ++i) {
    EXPECT_EQ(tavrin_account::get_secret(connection, USER, secrets[i].name).value(), secrets[i]);
  }
  std::filesystem::remove_all(directory);
}

TEST(Accountd, ServesManyClientsAtOnceBesideSilentAndBrokenOnes) {
  RunningAccountd daemon(ACCOUNTD_BIN, std::nullopt);
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  // A silent client and one stuck half way through a frame stay connected
  // throughout.
  auto silent = connect(daemon);
  auto half = connect(daemon);
  ASSERT_EQ(::send(half.socket(), "\x40\0\0\0{\"meth", 10, MSG_NOSIGNAL), 10);

  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 8; ++t) {
    clients.emplace_back([&, t] {
      auto connection = tavrin_account::connect_to_endpoint(daemon.uri());
      if (!connection) return;
      for (int i = 0; i < 25; ++i) {
        Secret secret{std::to_string(t), {static_cast<std::uint8_t>(i)}, {0x2}, t, i};
        secret.name += ".secret";
        if (!tavrin_account::set_secret(*connection, USER, secret)) return;
        if (tavrin_account::get_secret(*connection, USER, secret.name) != secret) return;
      }
      ++good;
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(good.load(), 8);

  // Oversize frames end their own connection only; bad requests get replies.
  EXPECT_EQ(raw_exchange(daemon, std::string("\x01\x00\x02\x00", 4)), "");
  const std::string bad = raw_exchange(daemon, test_support::frame_of("nonsense"));
  EXPECT_TRUE(bad.find(R"({"success":false,"value":{"InvalidParams":"parse error)") == 4) << bad;
  const std::string other = raw_exchange(daemon, test_support::frame_of(R"({"method":"ListUsers","params":null})"));
  EXPECT_EQ(other, test_support::frame_of(R"({"success":false,"value":{"NotImplemented":"ListUsers"}})"));

  auto connection = connect(daemon);
  EXPECT_TRUE(tavrin_account::set_secret(connection, OTHER, Secret{.name = "x"}).has_value());
  EXPECT_EQ(daemon.stop(SIGINT), 0);
  EXPECT_NE(daemon.log().find("dropped: frame of 131073 bytes is too large"), std::string::npos) << daemon.log();
}

TEST(Accountd, CommandLineIsExplainedAndChecked) {
  const auto help = test_support::run_process(ACCOUNTD_BIN, {.args = {"--help"}});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.out.find("--endpoint URI"), std::string::npos);
  const auto bad_uri = test_support::run_process(ACCOUNTD_BIN, {.args = {"--endpoint", "unix://x", "--memory"}});
  EXPECT_EQ(bad_uri.exit_status, 1);
  EXPECT_NE(bad_uri.err.find("address not available"), std::string::npos);
}

// The directory as it stands: its own mode and owner, then each entry's
// name, mode, owner and contents or link target.
std::string snapshot(const std::string& directory) {
  std::string out;
  const auto describe = [&](const std::string& path, const std::string& name) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return;
    out += name + " " + std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + " ";
    if (S_ISREG(info.st_mode)) {
      std::ifstream in(path, std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      out += bytes.str();
    } else if (S_ISLNK(info.st_mode)) {
      out += std::filesystem::read_symlink(path).string();
    }
    out += "\n";
  };
  describe(directory, ".");
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) names.push_back(entry.path().filename());
  std::ranges::sort(names);
  for (const auto& name : names) describe(directory + "/" + name, name);
  return out;
}

// To the test's stranger, as only root may.
void give_away(const std::string& path) { ASSERT_EQ(::lchown(path.c_str(), STRANGER, STRANGER), 0) << path; }

void write_file(const std::string& path, std::string_view bytes, mode_t mode) {
  std::ofstream(path, std::ios::binary) << bytes;
  ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

// The text with {dir}, {store} and {uid} put in.
std::string fill(std::string text, const std::string& dir, const std::string& store) {
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"{dir}", dir},
                                   {"{store}", store},
                                   {"{uid}", std::to_string(::geteuid())}}) {
    for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key))
      text.replace(at, key.size(), value);
  }
  return text;
}

TEST(Accountd, RefusesAStoreOrSocketThatOthersCouldReadPlantOrReplace) {
  // A store with a secret in it, to copy into each case's directory.
  const std::string origin = test_support::make_temp_directory("accountd-origin");
  {
    RunningAccountd daemon(ACCOUNTD_BIN, origin + "/secrets.db");
    ASSERT_TRUE(daemon.ready()) << daemon.log();
    auto connection = connect(daemon);
    ASSERT_TRUE(tavrin_account::set_secret(connection, USER, Secret{.name = "n", .data = {1, 2}}).has_value());
  }
  using Prepare = std::function<void(const std::string& dir, const std::string& store)>;
  struct Case {
    std::string name;
    bool socket;      // a socket file in the directory, and --memory
    bool needs_root;  // only root can give files away
    Prepare prepare;
    std::string message;
  };
  const std::string others = " may be written by group or others (mode ";
  const std::string given_away = " belongs to uid 65534, not to accountd's uid {uid}";
  const std::string refusing = "refusing the store {store}: ";
  const std::vector<Case> cases = {
      {"sticky world-writable directory, as /tmp", false, false, [](auto& dir, auto&) { ::chmod(dir.c_str(), 01777); },
       refusing + "its directory {dir}" + others + "1777)"},
      {"group-writable directory", false, false, [](auto& dir, auto&) { ::chmod(dir.c_str(), 0770); },
       refusing + "its directory {dir}" + others + "0770)"},
      {"directory of another user", false, true, [](auto& dir, auto&) { give_away(dir); },
       refusing + "its directory {dir} belongs to uid 65534, who may change what is in it"},
      {"store of another user, open to all", false, true,
       [](auto&, auto& store) { give_away(store), ::chmod(store.c_str(), 0666); }, refusing + "{store}" + given_away},
      {"store readable by others", false, false, [](auto&, auto& store) { ::chmod(store.c_str(), 0644); },
       refusing + "{store} may be read or written by group or others (mode 0644)"},
      {"store is a symbolic link", false, false,
       [](auto& dir, auto& store) {
         std::filesystem::rename(store, dir + "/real.db");
         std::filesystem::create_symlink("real.db", store);
       },
       refusing + "{store} is a symbolic link"},
      {"write-ahead log planted by another user", false, true,
       [](auto&, auto& store) { write_file(store + "-wal", "planted", 0600), give_away(store + "-wal"); },
       refusing + "{store}-wal" + given_away},
      {"write-ahead log is a link to a file of ours", false, false,
       [](auto& dir, auto& store) {
         write_file(dir + "/other", "ours", 0600);
         std::filesystem::create_symlink("other", store + "-wal");
       },
       refusing + "{store}-wal is a symbolic link"},
      {"shared memory file is a FIFO", false, false,
       [](auto&, auto& store) { ::mkfifo((store + "-shm").c_str(), 0600); },
       refusing + "{store}-shm is not a regular file"},
      {"journal readable by the group", false, false,
       [](auto&, auto& store) { write_file(store + "-journal", "hot", 0640); },
       refusing + "{store}-journal may be read or written by group or others (mode 0640)"},
      {"socket in a sticky world-writable directory", true, false,
       [](auto& dir, auto&) { ::chmod(dir.c_str(), 01777); },
       "refusing the socket {dir}/accountd.sock: its directory {dir}" + others + "1777)"},
      {"socket in a directory of another user", true, true, [](auto& dir, auto&) { give_away(dir); },
       "refusing the socket {dir}/accountd.sock: its directory {dir} belongs to uid 65534, who may change what is in "
       "it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_root && ::geteuid() != 0) continue;
    const std::string dir = test_support::make_temp_directory("accountd-refused");
    const std::string store = dir + "/secrets.db";
    std::filesystem::copy_file(origin + "/secrets.db", store);
    c.prepare(dir, store);
    const std::string before = snapshot(dir);
    const auto run = test_support::run_process(
        ACCOUNTD_BIN,
        {.args = c.socket
                     ? std::vector<std::string>{"--endpoint", "unix://" + dir + "/accountd.sock", "--memory"}
                     : std::vector<std::string>{"--endpoint", "unix://@accountd-refused-" + std::to_string(::getpid()),
                                                "--store", store}});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, "accountd: " + fill(c.message, dir, store) + "\n");
    EXPECT_TRUE(snapshot(dir) == before) << "the directory changed";
    std::filesystem::remove_all(dir);
  }
  std::filesystem::remove_all(origin);
}

// A directory of accountd's own is no safer than the ones above it: whoever
// may write a parent may put another directory in its place.
TEST(Accountd, RefusesAStoreOrSocketUnderAParentOthersMayWrite) {
  for (const bool socket : {false, true}) {
    SCOPED_TRACE(socket ? "socket" : "store");
    const std::string parent = test_support::make_temp_directory("accountd-open-parent");
    ::chmod(parent.c_str(), 0777);
    const std::string dir = parent + "/private";
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    const std::string path = dir + (socket ? "/accountd.sock" : "/secrets.db");
    const auto run = test_support::run_process(
        ACCOUNTD_BIN, {.args = socket ? std::vector<std::string>{"--endpoint", "unix://" + path, "--memory"}
                                      : std::vector<std::string>{
                                            "--endpoint", "unix://@accountd-open-parent-" + std::to_string(::getpid()),
                                            "--store", path}});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, "accountd: refusing the " + std::string(socket ? "socket " : "store ") + path + ": " + parent +
                           " may be written by group or others (mode 0777)\n");
    EXPECT_FALSE(std::filesystem::exists(path));
    std::filesystem::remove_all(parent);
  }
}

TEST(Accountd, ListensOnAbstractNamesAndRefusesToStealALiveSocket) {
  RunningAccountd daemon(ACCOUNTD_BIN, std::nullopt, "unix://@accountd-test-" + std::to_string(::getpid()));
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  auto connection = connect(daemon);
  EXPECT_EQ(tavrin_account::get_secret(connection, USER, "x").error(), Error::no_such_secret());

  RunningAccountd first(ACCOUNTD_BIN, std::nullopt);
  ASSERT_TRUE(first.ready());
  const auto second = test_support::run_process(ACCOUNTD_BIN, {.args = {"--endpoint", first.uri(), "--memory"}});
  EXPECT_EQ(second.exit_status, 1);
  EXPECT_NE(second.err.find("another daemon is listening"), std::string::npos) << second.err;
  auto still = connect(first);
  EXPECT_EQ(tavrin_account::get_secret(still, USER, "x").error(), Error::no_such_secret());
}

// A connection made straight with the kernel, as a client that does not
// speak the protocol makes it; invalid when it cannot be made.
common::UniqueFd raw_connect(const std::string& uri) {
  const auto address = tavrin_account::make_socket_address(*tavrin_account::parse_endpoint_uri(uri));
  common::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!address || !fd.valid() || ::connect(fd.get(), address->get(), address->length) != 0) return {};
  return fd;
}

void report(int fd, const std::string& text) { (void)!::write(fd, text.data(), text.size()); }

// A reply that does not come within five seconds is a failure, not a hang.
void answer_within_seconds(const tavrin_account::AccountConnection& connection) {
  const timeval limit{.tv_sec = 5, .tv_usec = 0};
  ASSERT_EQ(::setsockopt(connection.socket(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
}

// Whether the daemon's log shows `text` within ten seconds: the line may be
// written after the reply that the test has already read.
bool log_shows(RunningAccountd& daemon, std::string_view text) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (daemon.log().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

std::size_t lines_of(std::string_view log) { return static_cast<std::size_t>(std::ranges::count(log, '\n')); }

TEST(Accountd, ARefusedCrowdHoldsNothingAndTheOwnerIsAnsweredAtOnce) {
  constexpr std::size_t CROWD = 515;
  RunningAccountd daemon(ACCOUNTD_BIN, std::nullopt, "unix://@accountd-crowd-" + std::to_string(::getpid()));
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  // Each connection gets one more byte of a frame every 100 ms, too slowly
  // to finish it within the second a refused client is given.
  test_support::ChildAsUser crowd(STRANGER, [&](int fd) {
    std::vector<common::UniqueFd> open;
    for (std::size_t i = 0; i < CROWD; ++i) {
      if (auto connection = raw_connect(daemon.uri()); connection.valid()) open.push_back(std::move(connection));
    }
    report(fd, "connected " + std::to_string(open.size()) + "\n");
    const std::string slow_frame = test_support::frame_of(std::string(16, '{'));
    const auto start = std::chrono::steady_clock::now();
    std::size_t closed = 0;
    for (std::size_t step = 0; closed < open.size() && step < 50; ++step) {
      for (auto& connection : open) {
        const char byte = slow_frame[std::min(step, slow_frame.size() - 1)];
        if (connection.valid() && ::send(connection.get(), &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
          connection.reset();
          ++closed;
        }
      }
      std::this_thread::sleep_for(100ms);
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    report(fd, "closed " + std::to_string(closed) + " within " + std::to_string(took.count() / 1000 + 1) + " s\n");
  });
  const std::string connected = crowd.read_until("\n");
  if (connected.starts_with("cannot run as")) GTEST_SKIP() << connected;
  ASSERT_EQ(connected, "connected 515\n");
  auto owner = connect(daemon);
  answer_within_seconds(owner);
  EXPECT_EQ(tavrin_account::get_secret(owner, USER, "x").error(), Error::no_such_secret());
  const std::string closed = crowd.finish().substr(connected.size());
  // Cut by the daemon after a second or so; left alone, the crowd would go
  // on trickling for five. A loaded machine may add a second or two.
  const std::string prefix = "closed 515 within ";
  ASSERT_TRUE(closed.starts_with(prefix)) << closed;
  EXPECT_LE(std::stoi(closed.substr(prefix.size())), 4) << closed;
}

// utime and stime of /proc/PID/stat, in seconds.
double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::ostringstream text;
  text << in.rdbuf();
  const std::string stat = text.str();
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::vector<std::string> words(13);
  for (auto& word : words) fields >> word;
  return static_cast<double>(std::stoll(words[11]) + std::stoll(words[12])) /
         static_cast<double>(::sysconf(_SC_CLK_TCK));
}

TEST(Accountd, OutOfDescriptorsItWaitsQuietlyAndServesAgainOnceSomeAreFree) {
  RunningAccountd daemon(ACCOUNTD_BIN, std::nullopt);
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  const rlimit low{.rlim_cur = 16, .rlim_max = 16};
  ASSERT_EQ(::prlimit(daemon.pid(), RLIMIT_NOFILE, &low, nullptr), 0);
  std::vector<tavrin_account::AccountConnection> held;
  for (int i = 0; i < 40; ++i) held.push_back(connect(daemon));
  ASSERT_TRUE(log_shows(daemon, "accept failed: Too many open files")) << daemon.log();
  const double cpu = cpu_seconds(daemon.pid());
  const std::size_t lines = lines_of(daemon.log());
  std::this_thread::sleep_for(2s);
  EXPECT_LT(cpu_seconds(daemon.pid()) - cpu, 0.2);
  EXPECT_LE(lines_of(daemon.log()) - lines, 3U) << daemon.log();
  held.clear();
  auto fresh = connect(daemon);
  answer_within_seconds(fresh);
  EXPECT_EQ(tavrin_account::get_secret(fresh, USER, "x").error(), Error::no_such_secret()) << daemon.log();
  EXPECT_TRUE(log_shows(daemon, "accepting again")) << daemon.log();
}

constexpr std::size_t FLOOD_FRAMES = 20'000;

struct Flood {
  std::string name;  // as a test name
  bool as_owner;     // else as the stranger, whom the daemon refuses
  std::size_t connections;
  std::size_t replies;  // one per connection when refused, else one per frame
};

void PrintTo(const Flood& flood, std::ostream* out) { *out << flood.name; }

class AccountdFlood : public testing::TestWithParam<Flood> {};

TEST_P(AccountdFlood, LeavesABoundedLogAndServedRequestsAreStillLogged) {
  constexpr std::size_t FRAMES = FLOOD_FRAMES;
  const Flood& flood = GetParam();
  RunningAccountd daemon(ACCOUNTD_BIN, std::nullopt,
                         "unix://@accountd-flood-" + std::to_string(::getpid()) + "-" + flood.name);
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  const uid_t uid = flood.as_owner ? ::geteuid() : STRANGER;
  {
    const std::size_t lines = lines_of(daemon.log());
    const auto start = std::chrono::steady_clock::now();
    test_support::ChildAsUser child(uid, [&](int fd) {
      std::size_t replies = 0;
      const std::string empty_frames(4 * FRAMES / flood.connections, '\0');
      for (std::size_t i = 0; i < flood.connections; ++i) {
        const common::UniqueFd connection = raw_connect(daemon.uri());
        (void)::send(connection.get(), empty_frames.data(), empty_frames.size(), MSG_NOSIGNAL);
        // Replies are counted until the daemon hangs up or all have come.
        std::string got;
        std::array<char, 65536> chunk{};
        std::size_t here = 0;
        while (here < empty_frames.size() / 4) {
          const ssize_t n = ::recv(connection.get(), chunk.data(), chunk.size(), 0);
          if (n <= 0) break;
          got.append(chunk.data(), static_cast<std::size_t>(n));
          while (got.size() >= 4 && got.size() >= 4 + tavrin_account::decode_frame_length(
                                                          reinterpret_cast<const std::uint8_t*>(got.data()))) {
            got.erase(0, 4 + tavrin_account::decode_frame_length(reinterpret_cast<const std::uint8_t*>(got.data())));
            ++here;
          }
        }
        replies += here;
      }
      report(fd, std::to_string(replies) + " replies");
    });
    const std::string replies = child.finish();
    if (replies.starts_with("cannot run as")) GTEST_SKIP() << replies;
    EXPECT_EQ(replies, std::to_string(flood.replies) + " replies");
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    // What was left out is summed up once its second is over: the lines
    // written and the numbers left out come to every frame answered.
    const std::string peer = "pid=" + std::to_string(child.pid()) + " uid=" + std::to_string(uid) + " ";
    const std::string summary = " more from uid " + std::to_string(uid);
    const auto accounted = [&] {
      std::size_t count = 0;
      std::istringstream log(daemon.log());
      for (std::string line; std::getline(log, line);) {
        if (line.find(peer) != std::string::npos) ++count;
        if (line.ends_with(summary)) count += std::stoul(line.substr(line.find(' ', 10)));
      }
      return count;
    };
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (accounted() < flood.replies && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(accounted(), flood.replies) << daemon.log();
    EXPECT_EQ(flood.replies > 1, daemon.log().find(summary + "\n") != std::string::npos);
    // At most five lines and a summary a second.
    EXPECT_LE(lines_of(daemon.log()) - lines, 6 * static_cast<std::size_t>(seconds.count() + 2)) << daemon.log();
  }
  // Served requests are logged one by one all the same.
  auto connection = connect(daemon);
  ASSERT_TRUE(tavrin_account::set_secret(connection, USER, Secret{.name = "after the flood"}).has_value());
  EXPECT_TRUE(
      log_shows(daemon, R"("SetSecret" user=2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10 name="after the flood" -> ok)"));
}

INSTANTIATE_TEST_SUITE_P(Floods, AccountdFlood,
                         testing::Values(Flood{"RefusedUidOnOneConnection", false, 1, 1},
                                         Flood{"RefusedUidOn2000Connections", false, 2000, 2000},
                                         Flood{"OwnersMalformedFrames", true, 1, FLOOD_FRAMES}),
                         [](const testing::TestParamInfo<Flood>& row) { return row.param.name; });

constexpr uid_t ALLOWED = 1000;

struct Hog {
  std::string name;  // as a test name
  std::size_t connections;
  std::size_t closed_at_once;  // beyond the user's share of the slots
};

void PrintTo(const Hog& hog, std::ostream* out) { *out << hog.name; }

class AccountdFairness : public testing::TestWithParam<Hog> {};

// An allowed user opens connections and sends one more byte of a frame on
// each every half second, never silent long enough for the idle rule. Beyond
// its share its connections are closed as they come, the rest once their
// request has not come whole within five seconds, and root is answered at
// once all the while.
TEST_P(AccountdFairness, RootIsAnsweredBesideAnAllowedUserThatTricklesOnEverySlot) {
  const Hog& hog = GetParam();
  RunningAccountd daemon(ACCOUNTD_BIN, std::nullopt, "unix://@accountd-hog-" + std::to_string(::getpid()) + hog.name,
                         {"--allow-uid", std::to_string(ALLOWED)});
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  test_support::ChildAsUser child(ALLOWED, [&](int fd) {
    std::vector<common::UniqueFd> open;
    for (std::size_t i = 0; i < hog.connections; ++i) {
      if (auto connection = raw_connect(daemon.uri()); connection.valid()) open.push_back(std::move(connection));
    }
    const std::string frame = test_support::frame_of(std::string(64, '{'));
    const auto closed_now = [&] {
      std::size_t closed = 0;
      for (auto& connection : open) {
        char byte = 0;
        if (!connection.valid()) {
          ++closed;
        } else if (::recv(connection.get(), &byte, 1, MSG_DONTWAIT) == 0) {
          connection.reset();
          ++closed;
        }
      }
      return closed;
    };
    const auto start = std::chrono::steady_clock::now();
    std::size_t closed = 0;
    for (std::size_t step = 0; closed < open.size() && step < 40; ++step) {
      for (auto& connection : open) {
        if (connection.valid()) (void)::send(connection.get(), &frame[step], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      }
      std::this_thread::sleep_for(500ms);
      closed = closed_now();
      if (step == 1)
        report(fd, "connected " + std::to_string(open.size()) + ", closed " + std::to_string(closed) + "\n");
    }
    const auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    report(fd, "closed " + std::to_string(closed) + (took.count() < 10 ? " within 10 s\n" : " later\n"));
  });
  const std::string connected = child.read_until("\n");
  if (connected.starts_with("cannot run as")) GTEST_SKIP() << connected;
  EXPECT_EQ(connected,
            "connected " + std::to_string(hog.connections) + ", closed " + std::to_string(hog.closed_at_once) + "\n")
      << daemon.log();
  auto root = connect(daemon);
  answer_within_seconds(root);
  EXPECT_EQ(tavrin_account::get_secret(root, USER, "x").error(), Error::no_such_secret());
  EXPECT_EQ(child.finish().substr(connected.size()), "closed " + std::to_string(hog.connections) + " within 10 s\n");
  EXPECT_TRUE(log_shows(daemon, "dropped: request not whole within 5000 ms")) << daemon.log();
  if (hog.closed_at_once != 0) {
    EXPECT_TRUE(log_shows(daemon, "holds its share of 64 slots")) << daemon.log();
  }
}

INSTANTIATE_TEST_SUITE_P(Hogs, AccountdFairness,
                         testing::Values(Hog{"WithinItsShare", 64, 0}, Hog{"OnEverySlot", 512, 448},
                                         Hog{"BeyondEverySlot", 600, 536}),
                         [](const testing::TestParamInfo<Hog>& row) { return row.param.name; });

}  // namespace
