#include "frame.hpp"

#include <cstdint>

#include "tavrin_account/connection.hpp"

namespace test_support {

std::string frame_of(std::string_view body) {
  std::string out(4, '\0');
  tavrin_account::encode_frame_length(static_cast<std::uint32_t>(body.size()),
                                      reinterpret_cast<std::uint8_t*>(out.data()));
  out += body;
  return out;
}

}  // namespace test_support
