// Any text either parses to a UUID whose hyphenated form parses back to the
// same value, or gets one of the four diagnoses, whose fields describe the
// text: the character found where it stands, the text's length, a group
// count other than five, a group whose length is not its own.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/uuid.hpp"

namespace {

constexpr std::size_t GROUPS = 5;
constexpr std::size_t SIMPLE_LENGTH = 32;

void check_diagnosis(std::string_view text, const common::UuidParseError& error) {
  using Kind = common::UuidParseError::Kind;
  bool sound = false;
  switch (error.kind) {
    case Kind::Char:
      sound = !error.character.empty() && error.index < text.size() &&
              text.substr(error.index).starts_with(error.character);
      break;
    case Kind::Length: sound = error.len == text.size() && error.len != SIMPLE_LENGTH; break;
    case Kind::GroupCount: sound = error.count >= 2 && error.count != GROUPS && error.count <= text.size() + 1; break;
    case Kind::GroupLength: sound = error.group < GROUPS && error.index + error.len <= text.size(); break;
  }
  if (!sound) std::abort();
  if (error.display().empty() || error.debug().empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = common::parse_uuid(text);
  if (parsed) {
    const auto again = common::parse_uuid(parsed->hyphenated());
    if (!again || *again != *parsed) std::abort();
  } else {
    check_diagnosis(text, parsed.error());
  }
  return 0;
}
