#include "tavrin_account/protocol.hpp"

#include <ostream>
#include <streambuf>

#include "reply.hpp"

namespace tavrin_account {
namespace {

using json = nlohmann::json;

// Appends what the JSON library writes to a stream to a message buffer, so
// that the request is serialised once, in place, through the library's
// public stream output.
class BufferStream final : public std::streambuf {
 public:
  explicit BufferStream(std::vector<std::uint8_t>& out) : out_(out) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    out_.push_back(static_cast<std::uint8_t>(traits_type::to_char_type(c)));
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize length) override {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(s);
    out_.insert(out_.end(), bytes, bytes + length);
    return length;
  }

 private:
  std::vector<std::uint8_t>&
      out_;  // NOLINT(cppcoreguidelines-avoid-const-or-ref-data-members): the buffer the stream writes into
};

}  // namespace

std::expected<void, common::MessageError> write_message(std::vector<std::uint8_t>& out,
                                                        const strict_json::MessageShape& shape, const json& first,
                                                        const json& second) {
  out.clear();
  BufferStream buffer(out);
  std::ostream stream(&buffer);
  // Writing is the one place the JSON library can throw: a string that is not
  // valid UTF-8 (a name the caller took from a user, say). Its exception is
  // caught here and nowhere else, and becomes this call's error. It is caught
  // rather than ruled out beforehand because its message, which names the
  // byte and where it stands, is what callers pass on: a check of our own
  // would have to word every refusal exactly as the library's encoder does.
  try {
    // A stream width of zero is what makes the library write compactly. The
    // two field names of each message are in bytewise order already.
    stream.width(0);
    stream << "{\"" << shape.first_field << "\":" << first << ",\"" << shape.second_field << "\":" << second << '}';
  } catch (const json::exception& error) {
    out.clear();
    return std::unexpected(common::MessageError(strict_json::library_message(error.what())));
  }
  return {};
}

std::expected<void, common::MessageError> write_request(std::vector<std::uint8_t>& out, std::string_view method,
                                                        const json& params) {
  return write_message(out, REQUEST_SHAPE, json(std::string(method)), params);
}

std::expected<json, Error> value_from_reply(std::span<const std::uint8_t> body) {
  strict_json::TreeReader value;
  if (auto read = reply::read_reply(body, value); !read) return std::unexpected(std::move(read).error());
  return value.take();
}

std::expected<json, Error> call_method(AccountConnection& connection, std::string_view method, const json& params) {
  if (auto exchanged = reply::exchange_request(connection, method, params); !exchanged) {
    return std::unexpected(std::move(exchanged).error());
  }
  return value_from_reply(connection.buffer());
}

}  // namespace tavrin_account
