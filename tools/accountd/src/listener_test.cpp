#include "listener.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace accountd {
namespace {

// A socket file is bound under a temporary name and renamed into place; a
// path too long for the temporary name is bound in place. Either way the
// file is there, takes connections, is the owner's alone, and goes with the
// listener.
TEST(Listener, BindsASocketFileInPlaceWhenTheTemporaryNameWouldNotFit) {
  std::string directory = "/tmp/accountd-listener-test-XXXXXX";
  ASSERT_NE(::mkdtemp(directory.data()), nullptr);
  const std::size_t room = sizeof(sockaddr_un::sun_path) - 1;
  struct Case {
    std::string_view what;
    std::size_t length;
  };
  for (const Case& c : {Case{"short", directory.size() + 8}, Case{"as long as fits", room}}) {
    const std::string path = directory + "/" + std::string(c.length - directory.size() - 1, 's');
    {
      auto listener = Listener::open({tavrin_account::EndpointAddress::Kind::Pathname, path});
      ASSERT_TRUE(listener.has_value()) << c.what << ": " << listener.error().text;
      struct stat info {};
      ASSERT_EQ(::lstat(path.c_str(), &info), 0) << c.what;
      EXPECT_TRUE(S_ISSOCK(info.st_mode)) << c.what;
      EXPECT_EQ(info.st_mode & 0777, 0600U) << c.what;
      const auto address = tavrin_account::make_socket_address({tavrin_account::EndpointAddress::Kind::Pathname, path});
      const common::UniqueFd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
      EXPECT_EQ(::connect(client.get(), address->get(), address->length), 0) << c.what;
      EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory), {}), 1) << c.what;
    }
    EXPECT_FALSE(std::filesystem::exists(path)) << c.what;
  }
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace accountd
