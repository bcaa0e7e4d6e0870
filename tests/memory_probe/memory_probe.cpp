// Linked with the program's own main.cpp into auth_password_memory_probe,
// never into the installed program: when the process exits (a return from
// main or an exit() anywhere), it searches every readable mapping of its own
// memory for given byte strings and reports what it finds on standard output.
// It installs itself while static objects are initialised, before main runs,
// so the program's source knows nothing of it.
//
//   AUTH_MEMORY_PROBE_PATTERNS  "name:hex,name:hex,...": what to look for.
//   AUTH_MEMORY_PROBE_PLANT     the name of one pattern to leave copies of in
//                               secret memory, on the heap, in static data and
//                               in a dead stack frame, to show that the search
//                               finds them.
//   AUTH_MEMORY_PROBE_SOCKET    a listening socket file. The probe connects to
//                               it at start-up, and a thread of its own
//                               searches as soon as it reads a byte there and
//                               writes the report back: a look at the program
//                               while it waits, say for a daemon's answer.
//
// Report lines: "memory-probe: found NAME at 0xADDRESS in REGION" for every
// occurrence, then "memory-probe: N hits in M bytes" (or "memory-probe:
// error: ..." when the search could not be made).
//
// The patterns and the read buffer live in one mapping of their own, which
// the search leaves out; the hex text in the environment never holds the
// bytes themselves. So the only copies found are the program's.
#include <fcntl.h>
#include <pthread.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "common/fd_io.hpp"
#include "common/secret_bytes.hpp"
#include "common/unique_fd.hpp"

namespace auth_password::memory_probe {
namespace {

constexpr std::size_t CHUNK_BYTES = std::size_t{1} << 20;
// Sanitizer shadow memory spans terabytes of mostly unused address space;
// nothing of ours is ever that large.
constexpr std::size_t LARGEST_MAPPING = std::size_t{1} << 30;
constexpr std::size_t LARGEST_PATTERN = 256;
constexpr std::size_t MOST_HITS_REPORTED = 64;
// The planted stack copy sits this far below the frame that searches, where
// the search's own calls do not reach.
constexpr std::size_t DEAD_FRAME_BYTES = std::size_t{64} * 1024;

struct Pattern {
  std::string name;
  std::span<const std::uint8_t> bytes;  // inside the arena
};

struct Mapping {
  std::uintptr_t begin = 0;
  std::uintptr_t end = 0;
  std::string region;
};

struct Probe {
  std::vector<Pattern> patterns;
  std::optional<std::size_t> plant;
  std::string error;
  // One private mapping: the patterns, then the read buffer.
  std::uint8_t* arena = nullptr;
  std::size_t arena_bytes = 0;
  std::uint8_t* buffer = nullptr;
  std::size_t buffer_bytes = 0;
  std::size_t longest = 0;
};

// Reachable for as long as the process lives, so leak checkers stay quiet.
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables): what an
// atexit handler works on, and the planted copies, must be globals.
Probe* g_probe = nullptr;
std::string* g_planted_on_heap = nullptr;
common::SecretBytes* g_planted_secret = nullptr;              // never released, as if an exit() skipped its destructor
std::array<std::uint8_t, LARGEST_PATTERN> g_planted_data{1};  // initialised: .data, not .bss
// One search at a time: they share the read buffer.
std::mutex g_searching;
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

// Tells the compiler the memory is used, so stores into it stay.
void keep(const void* memory) { asm volatile("" : : "r"(memory) : "memory"); }

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  while (!text.empty()) {
    const std::size_t at = text.find(separator);
    pieces.push_back(text.substr(0, at));
    if (at == std::string_view::npos) break;
    text.remove_prefix(at + 1);
  }
  return pieces;
}

// Checks every "name:hex" entry and sizes the arena before any byte is
// decoded; the bytes are then decoded straight into it.
void load_patterns(Probe& probe, std::string_view patterns_text) {
  std::vector<std::pair<std::string_view, std::string_view>> entries;
  std::size_t total = 0;
  for (const std::string_view entry : split(patterns_text, ',')) {
    const std::size_t colon = entry.find(':');
    if (colon == std::string_view::npos || colon == 0) {
      probe.error = "pattern entry without a name";
      return;
    }
    const std::string_view hex = entry.substr(colon + 1);
    if (hex.empty() || hex.size() % 2 != 0 || hex.size() / 2 > LARGEST_PATTERN ||
        !std::ranges::all_of(hex, is_hex_digit)) {
      probe.error = "pattern " + std::string(entry.substr(0, colon)) + " is not 1 to 256 bytes of hex";
      return;
    }
    entries.emplace_back(entry.substr(0, colon), hex);
    total += hex.size() / 2;
    probe.longest = std::max(probe.longest, hex.size() / 2);
  }

  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  probe.buffer_bytes = CHUNK_BYTES + LARGEST_PATTERN;
  probe.arena_bytes = (total + probe.buffer_bytes + page - 1) / page * page;
  void* arena = ::mmap(nullptr, probe.arena_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (arena == MAP_FAILED) {
    probe.error = "cannot map the arena";
    return;
  }
  probe.arena = static_cast<std::uint8_t*>(arena);
  probe.buffer = probe.arena + total;

  std::uint8_t* next = probe.arena;
  for (const auto& [name, hex] : entries) {
    const std::size_t size = hex.size() / 2;
    // Straight into the arena: a decoded copy anywhere else would be found.
    std::size_t decoded = 0;
    if (sodium_hex2bin(next, size, hex.data(), hex.size(), nullptr, &decoded, nullptr) != 0 || decoded != size) {
      std::abort();  // the entry was checked above
    }
    probe.patterns.push_back(Pattern{std::string(name), std::span<const std::uint8_t>(next, size)});
    next += size;
  }
}

// A dead frame far below the caller's, as a function that forgot to wipe its
// buffer would leave it.
[[gnu::noinline]] void leave_in_dead_frame(std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, DEAD_FRAME_BYTES> frame;  // NOLINT(cppcoreguidelines-pro-type-member-init)
  std::memcpy(frame.data(), bytes.data(), bytes.size());
  keep(frame.data());
}

void plant(const Pattern& pattern) {
  g_planted_secret = new common::SecretBytes(common::SecretBytes::copy_of(pattern.bytes));
  g_planted_on_heap = new std::string(reinterpret_cast<const char*>(pattern.bytes.data()), pattern.bytes.size());
  keep(g_planted_on_heap->data());
  std::ranges::copy(pattern.bytes, g_planted_data.begin());
  keep(g_planted_data.data());
  leave_in_dead_frame(pattern.bytes);
}

std::optional<std::string> read_file(const char* path) {
  const common::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  std::string text;
  std::array<char, 4096> chunk{};
  for (;;) {
    const ssize_t got = ::read(fd.get(), chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) return text;
    text.append(chunk.data(), static_cast<std::size_t>(got));
  }
}

std::uintptr_t parse_hex_address(std::string_view text) {
  std::uintptr_t value = 0;
  (void)std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return value;
}

// "begin-end perms offset device inode   path": the readable mappings, with
// the arena cut out of whichever mapping holds it.
std::vector<Mapping> readable_mappings(std::string_view maps, std::uintptr_t arena_begin, std::uintptr_t arena_end) {
  std::vector<Mapping> mappings;
  for (const std::string_view line : split(maps, '\n')) {
    const std::size_t dash = line.find('-');
    const std::size_t space = line.find(' ');
    if (dash == std::string_view::npos || space == std::string_view::npos || space < dash || line.size() < space + 2 ||
        line[space + 1] != 'r') {
      continue;
    }
    std::size_t field_end = space;
    for (int field = 0; field < 4 && field_end != std::string_view::npos; ++field) {
      field_end = line.find(' ', field_end + 1);
    }
    std::string region = "[anonymous]";
    if (field_end != std::string_view::npos) {
      const std::size_t path = line.find_first_not_of(' ', field_end);
      if (path != std::string_view::npos) region = std::string(line.substr(path));
    }
    if (region == "[vvar]" || region == "[vsyscall]") continue;
    const std::uintptr_t begin = parse_hex_address(line.substr(0, dash));
    const std::uintptr_t end = parse_hex_address(line.substr(dash + 1, space - dash - 1));
    if (end <= begin) continue;
    if (arena_end <= begin || end <= arena_begin) {
      mappings.push_back(Mapping{begin, end, region});
      continue;
    }
    if (begin < arena_begin) mappings.push_back(Mapping{begin, arena_begin, region});
    if (arena_end < end) mappings.push_back(Mapping{arena_end, end, region});
  }
  return mappings;
}

std::string hex_address(std::uintptr_t address) {
  std::array<char, 2 * sizeof address> digits{};
  const auto [end, ec] = std::to_chars(digits.begin(), digits.end(), address, 16);
  return "0x" + std::string(digits.begin(), end);
}

struct Search {
  std::string report;
  std::size_t hits = 0;
  std::size_t scanned = 0;
  std::size_t skipped = 0;
};

void note_hit(Search& search, const Pattern& pattern, std::uintptr_t address, const Mapping& mapping) {
  if (++search.hits > MOST_HITS_REPORTED) return;
  search.report += "memory-probe: found " + pattern.name + " at " + hex_address(address) + " in " + mapping.region +
                   " (+" + hex_address(address - mapping.begin) + ")\n";
}

// Reads the mapping in chunks that overlap by the longest pattern's length,
// so a copy that straddles two chunks is still seen, and seen once.
bool search_mapping(const Probe& probe, const Mapping& mapping, Search& search) {
  const std::size_t overlap = probe.longest == 0 ? 0 : probe.longest - 1;
  for (std::uintptr_t at = mapping.begin; at < mapping.end; at += CHUNK_BYTES) {
    const std::size_t wanted = std::min<std::size_t>(CHUNK_BYTES + overlap, mapping.end - at);
    iovec local{probe.buffer, wanted};
    iovec remote{reinterpret_cast<void*>(at), wanted};  // NOLINT(performance-no-int-to-ptr)
    const ssize_t got = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
    if (got < 0) {
      if (errno != EFAULT && errno != EIO) return false;
      search.skipped += std::min(wanted, CHUNK_BYTES);
      continue;
    }
    const auto read = static_cast<std::size_t>(got);
    const bool last = at + CHUNK_BYTES >= mapping.end;
    search.scanned += last ? read : std::min(read, CHUNK_BYTES);
    for (const Pattern& pattern : probe.patterns) {
      const std::uint8_t* from = probe.buffer;
      const std::uint8_t* const end = probe.buffer + read;
      while (const void* found =
                 ::memmem(from, static_cast<std::size_t>(end - from), pattern.bytes.data(), pattern.bytes.size())) {
        const auto offset = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - probe.buffer);
        if (offset >= CHUNK_BYTES && !last) break;  // the next chunk sees it whole
        note_hit(search, pattern, at + offset, mapping);
        from = static_cast<const std::uint8_t*>(found) + 1;
      }
    }
  }
  return true;
}

std::string search_everything(const Probe& probe) {
  if (!probe.error.empty()) return "memory-probe: error: " + probe.error + "\n";
  const auto maps = read_file("/proc/self/maps");
  if (!maps) return "memory-probe: error: cannot read /proc/self/maps\n";
  const auto arena_begin = reinterpret_cast<std::uintptr_t>(probe.arena);
  Search search;
  for (const Mapping& mapping : readable_mappings(*maps, arena_begin, arena_begin + probe.arena_bytes)) {
    if (mapping.end - mapping.begin > LARGEST_MAPPING) {
      search.skipped += mapping.end - mapping.begin;
      continue;
    }
    if (!search_mapping(probe, mapping, search)) {
      return "memory-probe: error: cannot read its own memory: " +
             std::error_code(errno, std::generic_category()).message() + "\n";
    }
  }
  search.report += "memory-probe: " + std::to_string(search.hits) + " hits in " + std::to_string(search.scanned) +
                   " bytes (" + std::to_string(search.skipped) + " skipped)\n";
  return search.report;
}

void search_at_exit() {
  const std::lock_guard searching(g_searching);
  const Probe& probe = *g_probe;
  if (probe.error.empty() && probe.plant) plant(probe.patterns[*probe.plant]);
  (void)common::write_all(STDOUT_FILENO, search_everything(probe));
}

void search_when_asked(common::UniqueFd socket) {
  char asked = 0;
  ssize_t got = 0;
  do {
    got = ::recv(socket.get(), &asked, 1, 0);
  } while (got < 0 && errno == EINTR);
  if (got != 1) return;
  std::string report;
  {
    const std::lock_guard searching(g_searching);
    report = search_everything(*g_probe);
  }
  (void)common::write_all(socket.get(), report);
}

// The thread blocks every signal, so the program's own handling of them is
// what it always is.
void start_searching_when_asked(const char* path) {
  common::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string_view name(path);
  if (!socket.valid() || name.size() >= sizeof address.sun_path) {
    g_probe->error = "cannot use AUTH_MEMORY_PROBE_SOCKET";
    return;
  }
  std::ranges::copy(name, std::begin(address.sun_path));
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    g_probe->error = "cannot connect to AUTH_MEMORY_PROBE_SOCKET";
    return;
  }
  sigset_t every{};
  sigset_t before{};
  sigfillset(&every);
  if (::pthread_sigmask(SIG_SETMASK, &every, &before) != 0) std::abort();
  std::thread(search_when_asked, std::move(socket)).detach();
  if (::pthread_sigmask(SIG_SETMASK, &before, nullptr) != 0) std::abort();
}

// Reads the environment and registers the search with atexit.
void install() {
  g_probe = new Probe;
  const char* patterns_text = std::getenv("AUTH_MEMORY_PROBE_PATTERNS");  // NOLINT(concurrency-mt-unsafe)
  if (patterns_text == nullptr || *patterns_text == '\0') {
    g_probe->error = "AUTH_MEMORY_PROBE_PATTERNS is not set";
  } else {
    load_patterns(*g_probe, patterns_text);
  }
  if (const char* name = std::getenv("AUTH_MEMORY_PROBE_PLANT");
      name != nullptr && g_probe->error.empty()) {  // NOLINT(concurrency-mt-unsafe)
    const auto found = std::ranges::find(g_probe->patterns, std::string_view(name), &Pattern::name);
    if (found == g_probe->patterns.end()) {
      g_probe->error = "no pattern to plant named " + std::string(name);
    } else {
      g_probe->plant = static_cast<std::size_t>(found - g_probe->patterns.begin());
    }
  }
  if (const char* path = std::getenv("AUTH_MEMORY_PROBE_SOCKET");  // NOLINT(concurrency-mt-unsafe)
      path != nullptr && g_probe->error.empty()) {
    start_searching_when_asked(path);
  }
  if (std::atexit(search_at_exit) != 0) std::abort();
}

[[maybe_unused]] const bool installed = (install(), true);

}  // namespace
}  // namespace auth_password::memory_probe
