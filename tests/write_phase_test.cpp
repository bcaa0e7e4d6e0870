// Where a password change leaves the user when something goes wrong while it
// writes: the real program at a terminal against a daemon that keeps the two
// secrets and fails, hangs up or stalls at one request. After every row one
// of the typed passwords both verifies against the stored hash and opens the
// stored envelope to the user's master key, and the exit status names it
// (0: the new one, 1: the old one). The rows marked as a window are the cases
// no client can mend; they state what they leave. Two changes of one user at
// once are taken in turn, and the same holds for both together.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "account_endpoint.hpp"
#include "dialogue_bytes.hpp"
#include "master_key.hpp"
#include "password_backend/change_lock.hpp"
#include "password_backend/envelope.hpp"
#include "password_backend/operations.hpp"
#include "password_backend/password_hash.hpp"
#include "pty_session.hpp"
#include "secret_keeping_daemon.hpp"
#include "tavrin_account/protocol.hpp"
#include "tavrin_account/secrets.hpp"
#include "test_bytes.hpp"

namespace {

using password_backend::MASTER_KEY_SECRET_NAME;
using password_backend::PASSWORD_SECRET_NAME;
using tavrin_account::Secret;
using test_support::asked;
using test_support::bytes_of;
using test_support::cleared;
using test_support::Clients;
using test_support::Endpoint;
using test_support::Fault;
using test_support::FaultPlan;
using test_support::PtyOptions;
using test_support::PtySession;
using test_support::SecretKeepingDaemon;
using test_support::summary;
using test_support::visible;

const common::Uuid USER = *common::parse_uuid("2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10");
const std::string OLD = "old secret";
const std::string NEW = "new secret";
const std::string FAILURE = "Unable to update user password: ";
const std::string INTERRUPTED = "interrupted before the account service confirmed the change";
const std::string RUN_AGAIN = "Run the same change again to complete it.\n";

// The requests of a change, in the order they go out.
constexpr std::size_t READ = 1;
constexpr std::size_t ENVELOPE_WRITE = 2;
constexpr std::size_t HASH_WRITE = 3;
constexpr std::size_t WRITE_BACK = 4;

using Seconds = std::chrono::duration<double>;

// Which typed password a stored secret answers to.
enum class Opens : std::uint8_t { Absent, Old, New, Neither };

std::string name_of(Opens opens) {
  switch (opens) {
    case Opens::Absent: return "absent";
    case Opens::Old: return "OLD";
    case Opens::New: return "NEW";
    case Opens::Neither: return "neither";
  }
  return "?";
}

// What a window row leaves: whose hash is stored, and who opens the envelope.
struct Left {
  Opens hash;
  Opens envelope;
};

struct Row {
  std::string name;
  bool first_time = false;  // no secrets before the change
  FaultPlan plan{};
  int signal = 0;  // sent while the planned answer is held back
  bool limit_address_space = false;
  bool lock_held = false;    // by another change of the same user
  int exit_status = 0;       // -1: ended by `signal`
  std::string failure;       // for status 1: what the failure line begins with after its prefix
  std::string note;          // the line that follows the failure line, if any
  std::size_t requests = 3;  // that reached the daemon
  std::optional<Left> window{};
  // How soon after the signal, or the last entry, the program must have
  // ended, having waited 10 seconds first: for the grace a daemon that never
  // answers is given, or for a lock that stays held.
  std::optional<Seconds> ends_within{};
};

// A row by its name in the test's report.
void PrintTo(const Row& row, std::ostream* out) { *out << '"' << row.name << '"'; }

common::SecretBytes the_master_key() {
  common::SecretBytes key(32);
  for (std::size_t i = 0; i < key.size(); ++i) key.data()[i] = static_cast<std::uint8_t>(0x5A ^ i);
  return key;
}

std::vector<std::uint8_t> bytes_of_key(const common::SecretBytes& key) {
  return {key.bytes().begin(), key.bytes().end()};
}

// The user before the change: the hash of OLD and the master key sealed under
// it, stored with times and a flag this program never writes itself, so a
// write-back shows whether it kept them.
std::vector<Secret> existing_user() {
  static const std::string hash = *password_backend::make_password_hash(bytes_of(OLD));
  const auto key = the_master_key();
  static const auto envelope =
      password_backend::seal_master_key(password_backend::envelope_key(bytes_of(OLD)), key.bytes());
  return {
      Secret{std::string(PASSWORD_SECRET_NAME),
             {hash.begin(), hash.end()},
             {tavrin_account::SecurityFlags::WRITE_PROTECTED},
             0,
             std::numeric_limits<std::int64_t>::max()},
      Secret{std::string(MASTER_KEY_SECRET_NAME),
             envelope,
             {tavrin_account::SecurityFlags::WRITE_PROTECTED | 0x10},
             1765000000,
             1796536000},
  };
}

Opens hash_answers(const std::optional<Secret>& secret) {
  if (!secret) return Opens::Absent;
  for (const auto& [password, opens] : {std::pair{OLD, Opens::Old}, std::pair{NEW, Opens::New}}) {
    if (password_backend::password_matches(secret->data, bytes_of(password)).value_or(false)) return opens;
  }
  return Opens::Neither;
}

// A first-time user has no key to compare with: any key of the right size.
Opens envelope_answers(const std::optional<Secret>& secret, bool first_time) {
  if (!secret) return Opens::Absent;
  const auto expected = bytes_of_key(the_master_key());
  for (const auto& [password, opens] : {std::pair{OLD, Opens::Old}, std::pair{NEW, Opens::New}}) {
    const auto key = test_support::opened_master_key(secret->data, password);
    if (key && (first_time ? key->size() == 32 : *key == expected)) return opens;
  }
  return Opens::Neither;
}

std::string method_and_name(const test_support::RecordedFrame& frame) {
  const auto body = nlohmann::json::parse(frame.body, nullptr, false);
  if (body.is_discarded() || !body.contains("params")) return "unreadable";
  const auto& params = body["params"];
  const auto& name = params.contains("name") ? params.at("name") : params.at("secret").at("name");
  return body.at("method").get<std::string>() + " " + name.get<std::string>();
}

std::string set_secret_request(const Secret& secret) {
  std::vector<std::uint8_t> body;
  if (!tavrin_account::write_request(body, tavrin_account::SET_SECRET_METHOD,
                                     tavrin_account::set_secret_params_to_json(USER, secret))) {
    std::abort();
  }
  return {body.begin(), body.end()};
}

std::string proc_status_field(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field + ":")) return line.substr(field.size() + 1);
  }
  return {};
}

bool under_wrapper() { return std::getenv("AUTH_TEST_WRAPPER") != nullptr; }

bool sanitized() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#else
  return false;
#endif
}

// Waits until the signal has taken effect: the program has ended or stopped,
// or holds it pending. A wrapper such as valgrind takes signals in itself,
// where they cannot be seen: then a pause has to do.
void wait_until_signal_taken(pid_t pid, int signo) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(under_wrapper() ? 1 : 10);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string state = proc_status_field(pid, "State");
    if (state.empty() || state.find('Z') != std::string::npos || state.find('T') != std::string::npos) return;
    const std::string pending = proc_status_field(pid, "ShdPnd");
    if (!pending.empty() && ((std::stoull(pending, nullptr, 16) >> (signo - 1)) & 1U) != 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (!under_wrapper()) ADD_FAILURE() << "signal " << signo << " was neither taken nor held";
}

bool is_stopped(pid_t pid) { return proc_status_field(pid, "State").find('T') != std::string::npos; }

// Just enough room to come through the prompts and the read, not enough for
// the hash's memory.
void limit_address_space(pid_t pid) {
  const std::string size = proc_status_field(pid, "VmSize");  // "  12345 kB"
  ASSERT_FALSE(size.empty());
  const rlim_t limit = (std::stoull(size) + 8U * 1024U) * 1024U;
  const rlimit tight{limit, limit};
  ASSERT_EQ(::prlimit(pid, RLIMIT_AS, &tight, nullptr), 0);
}

std::unique_ptr<PtySession> start_update(const std::string& uri) {
  // Started as from a shell, so that a stop signal stops it.
  return std::make_unique<PtySession>(AUTH_PASSWORD_BIN,
                                      PtyOptions{.args = {"Update", "user_uuid=" + USER.hyphenated(), "mode=CLI"},
                                                 .env = {{"ACCOUNT_IPC_URI", uri}},
                                                 .job_control = true});
}

// Types both passwords, up to the confirmation: it is typed once the program
// waits for it, so two changes can be let go at the same moment.
void type_up_to_confirmation(PtySession& session, const std::string& old_password, const std::string& new_password) {
  test_support::answer_all(session, {{"Old Password", old_password + "\n"}, {"New Password", new_password + "\n"}});
  session.wait_for_output("\rConfirm password: ");
  session.wait_for_echo_off();
}

const std::string& change_dialogue() {
  static const std::string dialogue = asked("Old Password") + cleared(1) + summary("Old Password") +
                                      asked("New Password") + asked("Confirm password") + cleared(2) +
                                      summary("New Password");
  return dialogue;
}

// What the program wrote after the dialogue.
std::string after_dialogue(const PtySession& session) {
  const std::string& shown = session.transcript();
  EXPECT_TRUE(shown.starts_with(change_dialogue())) << visible(shown);
  return shown.starts_with(change_dialogue()) ? shown.substr(change_dialogue().size()) : shown;
}

Seconds slack_for_wrapper() { return Seconds(under_wrapper() ? 5.0 : 0.0); }

// The same change typed again against what a row left, with no fault: it
// finishes an interrupted change and is an ordinary one otherwise, so
// afterwards the new password does both.
void run_again(SecretKeepingDaemon& left_by_row, bool first_time) {
  SCOPED_TRACE("then run again");
  std::vector<Secret> left;
  for (const auto name : {PASSWORD_SECRET_NAME, MASTER_KEY_SECRET_NAME}) {
    if (auto secret = left_by_row.secret(std::string(name))) left.push_back(std::move(*secret));
  }
  SecretKeepingDaemon daemon(left, FaultPlan{});
  const auto session = start_update(daemon.uri());
  test_support::answer_all(
      *session, {{"Old Password", OLD + "\n"}, {"New Password", NEW + "\n"}, {"Confirm password", NEW + "\n"}});
  const auto ended = session->wait_exit();
  (void)daemon.finish();
  EXPECT_EQ(ended.exit_status, 0);
  EXPECT_EQ(after_dialogue(*session), "") << visible(session->transcript());
  EXPECT_EQ(name_of(hash_answers(daemon.secret(std::string(PASSWORD_SECRET_NAME)))), name_of(Opens::New));
  EXPECT_EQ(name_of(envelope_answers(daemon.secret(std::string(MASTER_KEY_SECRET_NAME)), first_time)),
            name_of(Opens::New));
}

void run_row(const Row& row) {
  SCOPED_TRACE(row.name);
  if (row.limit_address_space && (sanitized() || under_wrapper())) {
    GTEST_SKIP() << "the sanitizer or wrapper manages the address space itself";
  }
  if (row.signal == SIGTSTP && row.exit_status == 0 && row.plan.request == READ && under_wrapper()) {
    GTEST_SKIP() << "the wrapper does not stop the program";
  }
  // The limits themselves are tested in-process with short values; the
  // program's own 10 seconds are waited out once, in the optimised build.
  if (row.ends_within && (sanitized() || under_wrapper())) {
    GTEST_SKIP() << "the 10-second wait runs in the optimised build only";
  }
  const std::vector<Secret> before = row.first_time ? std::vector<Secret>{} : existing_user();
  SecretKeepingDaemon daemon(before, row.plan);
  std::optional<password_backend::ChangeLock> held;
  if (row.lock_held) {
    const Endpoint endpoint(daemon.uri());
    auto lock = password_backend::lock_password_change(USER);
    ASSERT_TRUE(lock.has_value()) << lock.error().display();
    held.emplace(std::move(*lock));
  }
  const auto started = start_update(daemon.uri());
  PtySession& session = *started;
  session.wait_for_output("\rOld Password: ");
  session.wait_for_echo_off();
  if (row.limit_address_space) limit_address_space(session.pid());
  session.type(OLD + "\n");
  session.wait_for_output("\n");
  test_support::answer_all(session, {{"New Password", NEW + "\n"}, {"Confirm password", NEW + "\n"}});
  auto signalled = std::chrono::steady_clock::now();  // or the last entry typed
  if (row.signal != 0) {
    ASSERT_TRUE(daemon.wait_for_requests(row.plan.request));
    signalled = std::chrono::steady_clock::now();
    session.send_signal(row.signal);
    wait_until_signal_taken(session.pid(), row.signal);
    if (row.signal == SIGTSTP && row.plan.request == READ) {
      // Before the first write a stop takes effect; once continued after the
      // daemon has answered, the change goes on.
      session.wait_until_stopped();
      daemon.release();
      session.send_signal(SIGCONT);
    } else {
      // Otherwise nothing stops the program: with a write in flight a stop
      // is held like the others, and the program has to finish without being
      // continued. Looked at while the daemon still holds its answer back;
      // after the release the program may end at any moment, so no signal
      // follows it.
      EXPECT_FALSE(is_stopped(session.pid())) << "stopped while the daemon held its answer back";
      daemon.release();
    }
  }
  const auto ended = row.ends_within
                         ? session.wait_exit(std::chrono::ceil<std::chrono::milliseconds>(*row.ends_within * 2))
                         : session.wait_exit();
  const Seconds waited = std::chrono::steady_clock::now() - signalled;
  const auto frames = daemon.finish();

  // What the person was told, and when.
  if (row.exit_status < 0) {
    EXPECT_EQ(ended.signal, row.signal);
  } else {
    EXPECT_EQ(ended.exit_status, row.exit_status);
  }
  if (row.ends_within) {
    const Seconds first = row.signal != 0 ? Seconds(password_backend::REPLY_GRACE_AFTER_STOP)
                                          : Seconds(password_backend::CHANGE_LOCK_PATIENCE);
    EXPECT_GE(waited, first - Seconds(0.1));
    EXPECT_LE(waited, *row.ends_within + slack_for_wrapper());
  }
  const std::string after = after_dialogue(session);
  if (row.exit_status == 1) {
    const std::string first_line = after.substr(0, after.find('\n') + 1);
    EXPECT_TRUE(first_line.starts_with(FAILURE + row.failure) && first_line.ends_with("\n")) << visible(after);
    EXPECT_EQ(after.substr(first_line.size()), row.note) << visible(after);
  } else {
    EXPECT_EQ(after, "") << visible(after);
  }
  EXPECT_EQ(session.standard_output(), "");
  EXPECT_TRUE(session.echo_enabled());

  // What went out: the read, the envelope, the hash, and a write-back of the
  // envelope exactly as it was read.
  ASSERT_EQ(frames.size(), row.requests);
  const std::vector<std::string> order = {"GetSecret " + std::string(MASTER_KEY_SECRET_NAME),
                                          "SetSecret " + std::string(MASTER_KEY_SECRET_NAME),
                                          "SetSecret " + std::string(PASSWORD_SECRET_NAME)};
  for (std::size_t i = 0; i < std::min(frames.size(), order.size()); ++i) {
    EXPECT_EQ(method_and_name(frames[i]), order[i]) << "request " << i + 1;
  }
  if (frames.size() == 4) {
    EXPECT_EQ(frames[3].body, set_secret_request(before.at(1)));
  }

  // What is stored now.
  const Opens hash = hash_answers(daemon.secret(std::string(PASSWORD_SECRET_NAME)));
  const Opens envelope = envelope_answers(daemon.secret(std::string(MASTER_KEY_SECRET_NAME)), row.first_time);
  Left expected{};
  if (row.window) {
    expected = *row.window;
  } else if (row.exit_status == 0) {
    expected = {Opens::New, Opens::New};
  } else {
    expected = row.first_time ? Left{Opens::Absent, Opens::Absent} : Left{Opens::Old, Opens::Old};
  }
  EXPECT_EQ(name_of(hash), name_of(expected.hash)) << "the stored hash";
  EXPECT_EQ(name_of(envelope), name_of(expected.envelope)) << "the stored envelope";
  // A row left in step under the old password makes the retry an ordinary
  // change, which the fault-free row already is. Under a wrapper the retry
  // adds time and no finding: its code runs in-process under the sanitizer.
  if ((row.window || !row.note.empty()) && !under_wrapper()) run_again(daemon, row.first_time);
}

FaultPlan at(std::size_t request, Fault fault) { return FaultPlan{.request = request, .fault = fault}; }

// A row's name as a test name: letters and digits, each run of anything
// else one underscore.
std::string test_name_of(const testing::TestParamInfo<Row>& info) {
  std::string name;
  bool gap = false;
  for (const char c : info.param.name) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
      if (gap && !name.empty()) name += '_';
      name += c;
      gap = false;
    } else {
      gap = true;
    }
  }
  return name;
}

class WritePhaseRow : public testing::TestWithParam<Row> {};

TEST_P(WritePhaseRow, EndsAsTheRowSays) { run_row(GetParam()); }

// A fault at any step leaves one password for both secrets, or a named
// window that the same change run again finishes.
std::vector<Row> fault_rows() {
  const std::string closed = "communication error: failed to fill whole buffer";
  const std::string unreadable = "communication error: ";
  // A write the daemon applied but did not report, or reported as failed.
  const Left envelope_applied{Opens::Old, Opens::New};
  const std::vector<Row> rows = {
      // A read that fails is in the backend's own table; here are the steps
      // whose outcome the terminal or the stored secrets show.
      {.name = "no fault", .requests = 3},
      {.name = "hashing: address space too small", .limit_address_space = true, .exit_status = 1, .requests = 1},
      // Another change of the user holds the lock: a wait with nothing shown,
      // then a refusal with nothing sent.
      {.name = "lock held throughout",
       .lock_held = true,
       .exit_status = 1,
       .failure = "another password change for this user is in progress\n",
       .requests = 0,
       .ends_within = Seconds(12)},
      {.name = "envelope write: error",
       .plan = at(ENVELOPE_WRITE, Fault::Error),
       .exit_status = 1,
       .failure = "permission denied",
       .requests = 2},
      {.name = "envelope write: close",
       .plan = at(ENVELOPE_WRITE, Fault::Close),
       .exit_status = 1,
       .failure = closed,
       .note = RUN_AGAIN,
       .requests = 2},
      {.name = "envelope write: garbage",
       .plan = at(ENVELOPE_WRITE, Fault::Garbage),
       .exit_status = 1,
       .failure = unreadable,
       .note = RUN_AGAIN,
       .requests = 2},
      // Window: a failure reported for a write the daemon did apply.
      {.name = "envelope write: applied, then error",
       .plan = at(ENVELOPE_WRITE, Fault::AppliedThenError),
       .exit_status = 1,
       .failure = "permission denied",
       .requests = 2,
       .window = envelope_applied},
      // Window: the reply to an applied write is lost.
      {.name = "envelope write: applied, then close",
       .plan = at(ENVELOPE_WRITE, Fault::AppliedThenClose),
       .exit_status = 1,
       .failure = closed,
       .note = RUN_AGAIN,
       .requests = 2,
       .window = envelope_applied},
      // The daemon refused the hash: the envelope is written back as it was.
      {.name = "hash write: error",
       .plan = at(HASH_WRITE, Fault::Error),
       .exit_status = 1,
       .failure = "permission denied",
       .requests = 4},
      // The write-back fails too: the person is told what is left, and how
      // to mend it.
      {.name = "hash write: error, write-back: error",
       .plan = {.request = HASH_WRITE, .fault = Fault::Error, .then_request = WRITE_BACK, .then_fault = Fault::Error},
       .exit_status = 1,
       .failure = "permission denied",
       .note = RUN_AGAIN,
       .requests = 4,
       .window = Left{Opens::Old, Opens::New}},
      {.name = "hash write: error, write-back: close",
       .plan = {.request = HASH_WRITE, .fault = Fault::Error, .then_request = WRITE_BACK, .then_fault = Fault::Close},
       .exit_status = 1,
       .failure = "permission denied",
       .note = RUN_AGAIN,
       .requests = 4,
       .window = Left{Opens::Old, Opens::New}},
      // Window: a transport failure after the envelope write was applied.
      {.name = "hash write: close",
       .plan = at(HASH_WRITE, Fault::Close),
       .exit_status = 1,
       .failure = closed,
       .note = RUN_AGAIN,
       .requests = 3,
       .window = envelope_applied},
      // Window: a reply that cannot be read says nothing about what was stored.
      {.name = "hash write: garbage",
       .plan = at(HASH_WRITE, Fault::Garbage),
       .exit_status = 1,
       .failure = unreadable,
       .note = RUN_AGAIN,
       .requests = 3,
       .window = envelope_applied},
      // Window: a failure reported for a write the daemon did apply; the
      // write-back then undoes the envelope under the new hash.
      {.name = "hash write: applied, then error",
       .plan = at(HASH_WRITE, Fault::AppliedThenError),
       .exit_status = 1,
       .failure = "permission denied",
       .requests = 4,
       .window = Left{Opens::New, Opens::Old}},
      // Window: the reply to an applied write is lost; the change is complete
      // but reported as failed.
      {.name = "hash write: applied, then close",
       .plan = at(HASH_WRITE, Fault::AppliedThenClose),
       .exit_status = 1,
       .failure = closed,
       .note = RUN_AGAIN,
       .requests = 3,
       .window = Left{Opens::New, Opens::New}},
      {.name = "first time: no fault", .first_time = true, .requests = 3},
      {.name = "first time: hashing: address space too small",
       .first_time = true,
       .limit_address_space = true,
       .exit_status = 1,
       .requests = 1},
      {.name = "first time: envelope write: error",
       .first_time = true,
       .plan = at(ENVELOPE_WRITE, Fault::Error),
       .exit_status = 1,
       .failure = "permission denied",
       .requests = 2},
      // Window: nothing to write back, and the protocol cannot delete; the
      // new key guards nothing yet.
      {.name = "first time: hash write: error",
       .first_time = true,
       .plan = at(HASH_WRITE, Fault::Error),
       .exit_status = 1,
       .failure = "permission denied",
       .note = RUN_AGAIN,
       .requests = 3,
       .window = Left{Opens::Absent, Opens::New}},
  };
  return rows;
}
INSTANTIATE_TEST_SUITE_P(Faults, WritePhaseRow, testing::ValuesIn(fault_rows()), test_name_of);

// A termination signal during the writes is held until the change has ended.
std::vector<Row> signal_rows() {
  struct Step {
    std::string name;
    std::size_t request;
  };
  const std::vector<Step> steps = {
      {"the read", READ}, {"the envelope write", ENVELOPE_WRITE}, {"the hash write", HASH_WRITE}};
  const std::vector<std::pair<int, std::string>> signals = {
      {SIGINT, "SIGINT"},   {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"},   {SIGQUIT, "SIGQUIT"}, {SIGTSTP, "SIGTSTP"},
      {SIGALRM, "SIGALRM"}, {SIGUSR1, "SIGUSR1"}, {SIGXCPU, "SIGXCPU"}, {SIGPWR, "SIGPWR"}};
  std::vector<Row> rows;
  for (const auto& step : steps) {
    for (const auto& [signo, signal_name] : signals) {
      Row row{.name = signal_name + " during " + step.name,
              .plan = {.request = step.request, .delayed = true},
              .signal = signo,
              .requests = 3};
      // Before the first write a signal has its usual effect, and nothing
      // has been written; a stopped program carries on when continued.
      if (step.request == READ && signo != SIGTSTP) {
        row.exit_status = -1;
        row.requests = 1;
      }
      rows.push_back(row);
    }
  }
  // Held, and the outcome is still the true one.
  rows.push_back({.name = "SIGTERM during a refused hash write",
                  .plan = {.request = HASH_WRITE, .fault = Fault::Error, .delayed = true},
                  .signal = SIGTERM,
                  .exit_status = 1,
                  .failure = "permission denied",
                  .requests = 4});
  rows.push_back({.name = "first time: SIGHUP during the hash write",
                  .first_time = true,
                  .plan = {.request = HASH_WRITE, .delayed = true},
                  .signal = SIGHUP,
                  .requests = 3});
  // A fault signal is held when another process sends it, and so is a
  // real-time signal.
  rows.push_back({.name = "SIGABRT from another process during the envelope write",
                  .plan = {.request = ENVELOPE_WRITE, .delayed = true},
                  .signal = SIGABRT,
                  .requests = 3});
  rows.push_back({.name = "a real-time signal during the hash write",
                  .plan = {.request = HASH_WRITE, .delayed = true},
                  .signal = SIGRTMIN + 3,
                  .requests = 3});
  // The C library keeps signals 32 and 33 for itself and will not block
  // them; the program blocks them all the same.
  for (const int signo : {32, 33}) {
    rows.push_back({.name = "signal " + std::to_string(signo) + " during the envelope write",
                    .plan = {.request = ENVELOPE_WRITE, .delayed = true},
                    .signal = signo,
                    .requests = 3});
  }
  // Asked to stop, the program waits for the reply in flight only so long:
  // then it hangs up and says so. The daemon may still apply that write; this
  // one does not.
  rows.push_back({.name = "SIGTERM while the envelope write is never answered",
                  .plan = {.request = ENVELOPE_WRITE, .fault = Fault::Silent},
                  .signal = SIGTERM,
                  .exit_status = 1,
                  .failure = INTERRUPTED + "\n",
                  .note = RUN_AGAIN,
                  .requests = 2,
                  .ends_within = Seconds(12)});
  return rows;
}
INSTANTIATE_TEST_SUITE_P(Signals, WritePhaseRow, testing::ValuesIn(signal_rows()), test_name_of);

// Which of the typed passwords the stored hash answers to, and which opens
// the stored envelope to the user's master key; empty for none.
std::string hash_answers_to(const std::optional<Secret>& secret, const std::vector<std::string>& passwords) {
  for (const auto& password : passwords) {
    if (secret && password_backend::password_matches(secret->data, bytes_of(password)).value_or(false)) {
      return password;
    }
  }
  return {};
}

std::string envelope_answers_to(const std::optional<Secret>& secret, const std::vector<std::string>& passwords) {
  for (const auto& password : passwords) {
    if (secret && test_support::opened_master_key(secret->data, password) == bytes_of_key(the_master_key())) {
      return password;
    }
  }
  return {};
}

TEST(WritePhase, TwoChangesOfOneUserAtOnceLeaveOnePasswordForBothSecretsAndSayWhich) {
  // Left to itself, the daemon would answer both reads before either write.
  SecretKeepingDaemon daemon(existing_user(), {}, Clients{.count = 2, .interleaved = true});
  const std::vector<std::string> new_passwords = {"new secret A", "new secret B"};
  std::vector<std::unique_ptr<PtySession>> sessions;
  for (const auto& password : new_passwords) {
    sessions.push_back(start_update(daemon.uri()));
    type_up_to_confirmation(*sessions.back(), OLD, password);
  }
  for (std::size_t i = 0; i < sessions.size(); ++i) sessions[i]->type(new_passwords[i] + "\n");
  std::vector<int> statuses;
  for (auto& session : sessions) statuses.push_back(session->wait_exit(std::chrono::seconds(40)).exit_status);
  (void)daemon.finish();

  const std::vector<std::string> typed = {OLD, new_passwords[0], new_passwords[1]};
  const std::string hash = hash_answers_to(daemon.secret(std::string(PASSWORD_SECRET_NAME)), typed);
  const std::string envelope = envelope_answers_to(daemon.secret(std::string(MASTER_KEY_SECRET_NAME)), typed);
  EXPECT_FALSE(hash.empty());
  EXPECT_EQ(hash, envelope);
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    SCOPED_TRACE(new_passwords[i]);
    EXPECT_EQ(statuses[i] == 0, hash == new_passwords[i]) << "exit status " << statuses[i];
    const std::string after = after_dialogue(*sessions[i]);
    if (statuses[i] == 0) {
      EXPECT_EQ(after, "") << visible(after);
    } else {
      EXPECT_TRUE(after.starts_with(FAILURE)) << visible(after);
    }
  }
}

TEST(WritePhase, AChangeKilledWhileItHoldsTheLockLetsTheNextOneGoAtOnce) {
  // The first client's read is held back, so it is killed holding the lock.
  SecretKeepingDaemon daemon(existing_user(), {.request = READ, .delayed = true}, Clients{.count = 2});
  const auto holder = start_update(daemon.uri());
  type_up_to_confirmation(*holder, OLD, "abandoned");
  holder->type("abandoned\n");
  ASSERT_TRUE(daemon.wait_for_requests(1));
  holder->send_signal(SIGKILL);
  EXPECT_EQ(holder->wait_exit().signal, SIGKILL);
  daemon.release();

  const auto next = start_update(daemon.uri());
  type_up_to_confirmation(*next, OLD, NEW);
  const auto confirmed = std::chrono::steady_clock::now();
  next->type(NEW + "\n");
  EXPECT_EQ(next->wait_exit().exit_status, 0) << visible(next->transcript());
  EXPECT_LT(Seconds(std::chrono::steady_clock::now() - confirmed), Seconds(password_backend::CHANGE_LOCK_PATIENCE) / 2);
  (void)daemon.finish();
  EXPECT_EQ(name_of(hash_answers(daemon.secret(std::string(PASSWORD_SECRET_NAME)))), "NEW");
  EXPECT_EQ(name_of(envelope_answers(daemon.secret(std::string(MASTER_KEY_SECRET_NAME)), false)), "NEW");
}

}  // namespace
