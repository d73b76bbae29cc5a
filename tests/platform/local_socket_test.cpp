#include "platform/local_socket.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/temp_dir.h"

namespace orvane {
namespace {

// A caller reaches the listener and reads what it is sent; the socket file
// has the mode asked, also in a folder whose path is too long for an address.
TEST(TLocalSocket, ACallerGetsTheReplyInShortAndLongFoldersAlike) {
  test::TTempDir base;
  const std::string deep = base.Str() + "/" + std::string(60, 'a') + "/" + std::string(60, 'b');
  std::filesystem::create_directories(deep);
  for (const std::string& dir : {base.Str(), deep}) {
    SCOPED_TRACE(dir.size());
    TLocalListener listener(dir, "test.sock", 0660);
    ASSERT_TRUE(listener.Listening()) << listener.Error();
    struct stat info {};
    ASSERT_EQ(::stat((dir + "/test.sock").c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0660u);

    int error = -1;
    const TUniqueFd caller = ConnectLocal(dir, "test.sock", error);
    ASSERT_TRUE(caller.Valid()) << error;
    EXPECT_EQ(error, 0);
    ASSERT_GT(PollOne(listener.Fd(), POLLIN, TDeadline(5000)), 0);
    TUniqueFd served = listener.Accept();
    ASSERT_TRUE(served.Valid());
    EXPECT_FALSE(listener.Accept().Valid());  // nobody else waits
    ASSERT_TRUE(WriteAllBefore(served.Get(), "reply", TDeadline(5000)));
    served.Reset();
    std::string got;
    EXPECT_TRUE(ReadToEndBefore(caller.Get(), got, 100, TDeadline(5000)));
    EXPECT_EQ(got, "reply");
  }
  // Gone with the listener: nothing answers.
  int error = 0;
  EXPECT_FALSE(ConnectLocal(base.Str(), "test.sock", error).Valid());
  EXPECT_EQ(error, ENOENT);
}

// The lock beside the socket decides: a live holder keeps it, a file left by
// a killed one is replaced, a file that is not a socket is never removed.
TEST(TLocalSocket, OnlyTheLockHolderTouchesTheSocketFile) {
  test::TTempDir dir;
  {
    TLocalListener first(dir.Str(), "test.sock", 0600);
    ASSERT_TRUE(first.Listening()) << first.Error();
    TLocalListener second(dir.Str(), "test.sock", 0600);
    EXPECT_FALSE(second.Listening());
    EXPECT_TRUE(second.HeldElsewhere());
    int error = 0;
    EXPECT_TRUE(ConnectLocal(dir.Str(), "test.sock", error).Valid()) << "the second took the first's socket";
  }
  // A socket file nobody listens on, as a killed instance leaves it.
  {
    const TUniqueFd left(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = dir.Str() + "/stale.sock";
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::bind(left.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  int refused = 0;
  EXPECT_FALSE(ConnectLocal(dir.Str(), "stale.sock", refused).Valid());
  EXPECT_EQ(refused, ECONNREFUSED);
  {
    TLocalListener next(dir.Str(), "stale.sock", 0600);
    EXPECT_TRUE(next.Listening()) << next.Error();
    int error = 0;
    EXPECT_TRUE(ConnectLocal(dir.Str(), "stale.sock", error).Valid()) << error;
  }
  std::ofstream(dir.Str() + "/plain.sock") << "data";
  TLocalListener plain(dir.Str(), "plain.sock", 0600);
  EXPECT_FALSE(plain.Listening());
  EXPECT_NE(plain.Error().find("is not a socket"), std::string::npos) << plain.Error();
  EXPECT_TRUE(std::filesystem::is_regular_file(dir.Path() / "plain.sock"));
}

}  // namespace
}  // namespace orvane
