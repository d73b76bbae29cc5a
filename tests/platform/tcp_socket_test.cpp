#include "platform/tcp_socket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "support/fd_helpers.h"
#include "support/stuck_resolver.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

using test::TLoopbackListener;
using test::TTestFd;

const TIPv4Address LOOPBACK{{127, 0, 0, 1}};

TEST(ParseIPv4, AcceptsOnlyDottedQuads) {
  struct TCase {
    const char* Text;
    bool Ok;
    TIPv4Address Address;
  };
  const TCase cases[] = {
      {"127.0.0.1", true, {{127, 0, 0, 1}}},
      {"192.168.10.254", true, {{192, 168, 10, 254}}},
      {"0.0.0.0", true, {{0, 0, 0, 0}}},
      {" 127.0.0.1", false, {}},
      {"127.0.0.1 ", false, {}},
      {"1.2.3", false, {}},
      {"256.1.1.1", false, {}},
      {"localhost", false, {}},
      {"", false, {}},
  };
  for (const auto& c : cases) {
    TIPv4Address address{{9, 9, 9, 9}};
    EXPECT_EQ(ParseIPv4(c.Text, address), c.Ok) << c.Text;
    if (c.Ok) {
      EXPECT_EQ(address, c.Address) << c.Text;
    }
  }
}

TEST(ResolveIPv4, KnowsLocalhostAndFailsOnInvalidNames) {
  TIPv4Address address;
  ASSERT_TRUE(ResolveIPv4("localhost", address));
  EXPECT_EQ(address.Bytes[0], 127);
  std::string why;
  EXPECT_FALSE(ResolveIPv4("no-such-host.invalid", address, &why));
  EXPECT_FALSE(why.empty());
}

using test::TStuckResolver;

TEST(ResolveIPv4Bounded, AnswersInTimeAndGivesUpOnAResolverThatNeverAnswers) {
  TIPv4Address address;
  int error = 0;
  ASSERT_TRUE(ResolveIPv4Bounded("localhost", address, 10000, {}, &error));
  EXPECT_EQ(address.Bytes[0], 127);
  std::string why;
  EXPECT_FALSE(ResolveIPv4Bounded("no-such-host.invalid", address, 10000, {}, &error, &why));
  EXPECT_EQ(error, SocketErrorHostNotFound());
  EXPECT_FALSE(why.empty());

  TStuckResolver stuck;
  // The time limit ends the wait.
  address = TIPv4Address{{1, 1, 1, 1}};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ResolveIPv4Bounded("slow.example", address, 200, {}, &error, nullptr, stuck.Function()));
  EXPECT_EQ(error, SocketErrorTimedOut());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  // A stop request ends it long before its limit.
  std::atomic<bool> stop{false};
  auto resolved = std::async(std::launch::async, [&] {
    int cancelError = 0;
    TIPv4Address ignored;
    const bool ok = ResolveIPv4Bounded(
        "slow.example", ignored, 600000, [&] { return stop.load(); }, &cancelError, nullptr,
        stuck.Function());
    return ok ? 0 : cancelError;
  });
  ASSERT_TRUE(test::WaitFor([&] { return stuck.Calls() == 2; }));
  EXPECT_EQ(resolved.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  stop = true;
  ASSERT_EQ(resolved.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(resolved.get(), SocketErrorCanceled());

  // Answers that come after their callers left are dropped.
  stuck.Release();
  EXPECT_TRUE(test::WaitFor([&] { return stuck.Finished() == 2; }));
  EXPECT_EQ(address, (TIPv4Address{{1, 1, 1, 1}}));
}

TEST(TTcpSocket, ExchangesBytesWithALoopbackPeer) {
  TLoopbackListener listener;
  TTcpSocket socket;
  ASSERT_TRUE(socket.ConnectTo("127.0.0.1", listener.Port(), 5000)) << socket.LastErrorText();
  TTestFd peer = listener.Accept();
  ASSERT_TRUE(peer.Valid());

  // Nagle's algorithm off, read back from the socket.
  ASSERT_TRUE(socket.SetNoDelay(true));
  int noDelay = 0;
  socklen_t length = sizeof noDelay;
  ASSERT_EQ(::getsockopt(socket.Handle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
  EXPECT_EQ(noDelay, 1);

  const std::string out("\x00\x01hello\xFF", 8);
  ASSERT_EQ(socket.WaitWritable(5000), 1);
  ASSERT_TRUE(socket.SendAll(out.data(), out.size(), 5000));
  std::string got;
  ASSERT_TRUE(test::ReadExactlyFd(peer.Get(), out.size(), got));
  EXPECT_EQ(got, out);

  ASSERT_TRUE(test::WriteAllFd(peer.Get(), "reply"));
  ASSERT_EQ(socket.WaitReadable(5000), 1);
  size_t waiting = 0;
  ASSERT_TRUE(test::WaitFor([&] { return socket.BytesWaiting(waiting) && waiting == 5; }));
  char buf[16];
  ASSERT_EQ(socket.Recv(buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "reply");

  // Nothing more: a non-blocking read fails at once instead of hanging.
  EXPECT_EQ(socket.WaitReadable(0), 0);
  EXPECT_EQ(socket.Recv(buf, sizeof buf), -1);
  EXPECT_EQ(socket.LastError(), EAGAIN);

  peer.Reset();
  ASSERT_EQ(socket.WaitReadable(5000), 1);
  EXPECT_EQ(socket.Recv(buf, sizeof buf), 0);  // end of stream
}

// The channel reads with it and tells a closed peer by LastError: nothing waiting must not
// look like an end, and neither "nothing yet" nor an orderly end may change LastError.
TEST(TTcpSocket, RecvWaitingTellsNothingYetFromTheEndOfTheConnection) {
  TLoopbackListener listener;
  char buf[16];
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "orderly close");
    TTcpSocket socket;
    ASSERT_TRUE(socket.ConnectTo("127.0.0.1", listener.Port(), 5000)) << socket.LastErrorText();
    TTestFd peer = listener.Accept();
    ASSERT_TRUE(peer.Valid());
    const int before = socket.LastError();

    EXPECT_EQ(socket.RecvWaiting(buf, sizeof buf), 0);
    EXPECT_EQ(socket.LastError(), before);
    ASSERT_TRUE(test::WriteAllFd(peer.Get(), "0123456789"));
    ASSERT_EQ(socket.WaitReadable(5000), 1);
    // At most what was asked for; the rest stays for the next call.
    ASSERT_EQ(socket.RecvWaiting(buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(socket.RecvWaiting(buf, 0), 0);
    ASSERT_EQ(socket.RecvWaiting(buf, sizeof buf), 6);
    EXPECT_EQ(std::string(buf, 6), "456789");
    EXPECT_EQ(socket.RecvWaiting(buf, sizeof buf), 0);

    if (reset) {
      const linger abort{1, 0};
      ASSERT_EQ(::setsockopt(peer.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    }
    peer.Reset();
    ASSERT_EQ(socket.WaitReadable(5000), 1);
    EXPECT_EQ(socket.RecvWaiting(buf, sizeof buf), -1);
    EXPECT_EQ(socket.LastError(), reset ? ECONNRESET : before);
    // Ended stays ended.
    EXPECT_EQ(socket.RecvWaiting(buf, sizeof buf), -1);
  }
  TTcpSocket unopened;
  EXPECT_EQ(unopened.RecvWaiting(buf, sizeof buf), -1);
  EXPECT_EQ(unopened.LastError(), EBADF);
}

TEST(TTcpSocket, ConnectFailuresLeaveNoSocket) {
  TTcpSocket socket;
  EXPECT_FALSE(socket.ConnectTo("127.0.0.1", test::UnusedLoopbackPort(), 5000));
  EXPECT_EQ(socket.LastError(), ECONNREFUSED);
  EXPECT_FALSE(socket.IsValid());

  EXPECT_FALSE(socket.ConnectTo("no-such-host.invalid", 80, 5000));
  EXPECT_EQ(socket.LastError(), SocketErrorHostNotFound());
  EXPECT_FALSE(socket.IsValid());

  TTcpSocket unopened;
  EXPECT_FALSE(unopened.Connect(LOOPBACK, 80, 100));
  EXPECT_EQ(unopened.LastError(), EBADF);
  char c;
  EXPECT_EQ(unopened.SendSome("x", 1, 10), -1);
  EXPECT_EQ(unopened.Recv(&c, 1), -1);
  size_t n;
  EXPECT_FALSE(unopened.BytesWaiting(n));
}

// A listener with backlog 0 whose queue is full drops further SYNs, so a connect to it
// neither succeeds nor fails: the stand-in for a converter that does not answer.
class TSilentPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 16; ++i) {
      TTcpSocket filler;
      ASSERT_TRUE(filler.Create());
      if (!filler.Connect(LOOPBACK, FListener.Port(), 300)) {
        ASSERT_EQ(filler.LastError(), SocketErrorTimedOut());
        return;
      }
      FFillers.push_back(std::move(filler));
    }
    FAIL() << "the listen queue never filled";
  }

  TLoopbackListener FListener{0};
  std::vector<TTcpSocket> FFillers;
};

TEST_F(TSilentPeer, ConnectGivesUpAtItsTimeout) {
  TTcpSocket socket;
  ASSERT_TRUE(socket.Create());
  EXPECT_FALSE(socket.Connect(LOOPBACK, FListener.Port(), 200));
  EXPECT_EQ(socket.LastError(), SocketErrorTimedOut());
}

TEST_F(TSilentPeer, ConnectStopsWhenCancelled) {
  std::atomic<bool> stop{false};
  std::atomic<bool> asked{false};
  std::atomic<bool> done{false};
  int error = 0;
  std::thread worker([&] {
    TTcpSocket socket;
    // A timeout far beyond the test's deadline: only the cancel can end this connect.
    EXPECT_FALSE(socket.ConnectTo("127.0.0.1", FListener.Port(), 600000, [&] {
      asked = true;
      return stop.load();
    }));
    error = socket.LastError();
    done = true;
  });
  EXPECT_TRUE(test::WaitFor([&] { return asked.load(); }));
  EXPECT_FALSE(done);
  stop = true;
  EXPECT_TRUE(test::WaitFor([&] { return done.load(); }, std::chrono::seconds(5)));
  worker.join();
  EXPECT_EQ(error, SocketErrorCanceled());
}

TEST(TTcpSocket, SendGivesUpWhenThePeerStopsReading) {
  TLoopbackListener listener;
  TTcpSocket socket;
  ASSERT_TRUE(socket.ConnectTo("127.0.0.1", listener.Port(), 5000));
  TTestFd peer = listener.Accept();
  ASSERT_TRUE(peer.Valid());
  // More than both socket buffers can hold; the peer never reads.
  const std::vector<char> block(64 << 20, 'x');
  EXPECT_FALSE(socket.SendAll(block.data(), block.size(), 200));
  EXPECT_EQ(socket.LastError(), SocketErrorTimedOut());
  EXPECT_EQ(socket.WaitWritable(50), 0);
  EXPECT_EQ(socket.SendSome(block.data(), block.size(), 50), 0);
}

TEST(TTcpSocket, SendToAClosedPeerFailsWithoutSignal) {
  TLoopbackListener listener;
  TTcpSocket socket;
  ASSERT_TRUE(socket.ConnectTo("127.0.0.1", listener.Port(), 5000));
  listener.Accept().Reset();
  // The first send may still be accepted locally; the peer's reset fails a later one.
  const std::string data(1000, 'y');
  EXPECT_TRUE(test::WaitFor([&] { return socket.SendSome(data.data(), data.size(), 100) < 0; }));
  EXPECT_TRUE(socket.LastError() == EPIPE || socket.LastError() == ECONNRESET) << socket.LastErrorText();
}

TEST(TTcpSocket, MoveHandsOverTheDescriptor) {
  TLoopbackListener listener;
  TTcpSocket a;
  ASSERT_TRUE(a.ConnectTo("127.0.0.1", listener.Port(), 5000));
  const TSocketHandle handle = a.Handle();
  TTcpSocket b(std::move(a));
  EXPECT_FALSE(a.IsValid());
  EXPECT_EQ(b.Handle(), handle);
  b.Close();
  EXPECT_FALSE(b.IsValid());
}

}  // namespace
}  // namespace orvane
