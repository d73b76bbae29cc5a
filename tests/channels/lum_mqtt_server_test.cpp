#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

#include "channels/channel_packet.h"
#include "channels/crypt_tool.h"
#include "channels/lum_mqtt_server.h"
#include "support/fake_broker.h"
#include "support/fake_converter.h"
#include "support/fd_helpers.h"
#include "support/hex.h"
#include "support/local_client_params.h"
#include "support/mosquitto_fixture.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

using test::TMosquitto;
using test::WaitFor;

TLumPortParams MqttParams(const std::string& AComName, uint16_t APort, uint32_t AKey = 1234) {
  TLumPortParams p;
  p.Init();
  p.ComName = AComName;
  p.Protocol = PROTOCOL_MQTT;
  p.MqttHost = "127.0.0.1:" + std::to_string(APort);
  p.MqttTopic = "orvane/port1";
  p.MqttSecurityKey = AKey;
  return p;
}

// One end of a port: a channel plus everything it reported, in order. All
// callbacks run on the thread that calls ReadData, the test's own.
struct TEnd {
  std::vector<std::string> Events;  // "data <bytes>" and "params b p s d"
  std::string Received;
  int HelloFailed = 0;
  std::vector<std::string> Log;
  uint32_t Tick = 100000;  // the channel's clock, moved by the test
  std::shared_ptr<TLumMqttServer> Channel;

  TEnd(const TLumPortParams& AParams, TChannelOptions AOptions = {}) {
    AOptions.Ticks = [this] { return Tick; };
    Channel = std::make_shared<TLumMqttServer>(
        AParams,
        [this](const std::string& AData) {
          Events.push_back("data " + AData);
          Received += AData;
        },
        std::move(AOptions));
    Channel->SetOnParamPortChange(
        [this](TTCP_Port_BaudRate b, TTCP_Port_Parity p, TTCP_Port_StopBits s, TTCP_Port_DataBits d) {
          Events.push_back("params " + std::to_string(b) + " " + std::to_string(p) + " " + std::to_string(s) +
                           " " + std::to_string(d));
        });
    Channel->SetOnHelloFailed([this](IServerInterface* ASender) {
      EXPECT_EQ(ASender, Channel.get());
      ++HelloFailed;
    });
    Channel->SetOnWriteLog([this](const std::string& AMessage, bool) { Log.push_back(AMessage); });
  }
  bool Logged(const std::string& ALine) const {
    return std::find(Log.begin(), Log.end(), ALine) != Log.end();
  }
  bool Send(const std::string& AData) { return Channel->Send_String(AData, 0, false); }
};

bool Pump(std::initializer_list<TEnd*> AEnds, const std::function<bool()>& ACondition,
          std::chrono::milliseconds ADeadline = std::chrono::seconds(10)) {
  return WaitFor(
      [&] {
        for (TEnd* end : AEnds) end->Channel->ReadData();
        return ACondition();
      },
      ADeadline);
}

// Waits until a marker sent now by AFrom has reached ATo. A publisher's packets
// arrive in order, so everything AFrom sent before has arrived too.
void Flush(TEnd& AFrom, TEnd& ATo) {
  ATo.Received.clear();
  ASSERT_TRUE(AFrom.Send("marker"));
  ASSERT_TRUE(Pump({&AFrom, &ATo}, [&] { return ATo.Received.find("marker") != std::string::npos; }));
}

// Subscriptions take effect at the broker some time after Open: send probes
// both ways until each end has heard the other, flush the stragglers, then
// start clean.
void Sync(TEnd& A, TEnd& B) {
  for (auto [from, to] : {std::pair{&A, &B}, std::pair{&B, &A}}) {
    to->Received.clear();
    ASSERT_TRUE(WaitFor(
        [&] {
          from->Send("sync");
          // A probe sent before the subscription took effect is lost: send another soon.
          return Pump(
              {from, to}, [&] { return !to->Received.empty(); }, std::chrono::milliseconds(200));
        },
        std::chrono::seconds(30)));
    Flush(*from, *to);
  }
  for (TEnd* end : {&A, &B}) {
    end->Events.clear();
    end->Received.clear();
  }
}

TEST(LumMqttServerTest, ConstructionAndLineSettings) {
  struct TCase {
    const char* Host;
    bool Tls;
    const char* ExpectHost;
    uint16_t ExpectPort;
  };
  const TCase hosts[] = {{"broker.local", false, "broker.local", 1883},
                         {"broker.local", true, "broker.local", 8883},  // the TLS port without one given
                         {"broker.local:8883", false, "broker.local", 8883},
                         {"broker.local:1883", true, "broker.local", 1883},
                         {"h:abc", false, "h", 65535},  // not a number reads as -1
                         {"h:70000", false, "h", 70000 & 0xFFFF},
                         {"h:", true, "h", 65535}};
  for (const auto& c : hosts) {
    SCOPED_TRACE(std::string(c.Host) + (c.Tls ? " TLS" : ""));
    TLumPortParams p = MqttParams("COM7", 1);
    p.MqttHost = c.Host;
    p.MqttTls = c.Tls;
    TLumMqttServer channel(p, {});
    EXPECT_EQ(channel.Host(), c.ExpectHost);
    EXPECT_EQ(channel.BrokerPort(), c.ExpectPort);
    EXPECT_FALSE(channel.GetActive());
    EXPECT_EQ(channel.ClientID().rfind("COM7_", 0), 0u);
    const std::string number = channel.ClientID().substr(5);
    EXPECT_FALSE(number.empty());
    EXPECT_TRUE(std::all_of(number.begin(), number.end(), ::isdigit));
    EXPECT_LT(std::stoul(number), 1000000u);
  }

  TLumMqttServer channel(MqttParams("COM7", 1), {});
  EXPECT_TRUE(channel.Set_Port_Send_Baud(230400));  // not a known speed: unchanged
  EXPECT_EQ(channel.BaudRate(), 0);
  channel.Set_Port_Send_Baud(115200);
  EXPECT_EQ(channel.BaudRate(), 13);
  channel.Set_Port_Send_Baud(75);
  EXPECT_EQ(channel.BaudRate(), 0);
  EXPECT_TRUE(channel.Set_Port_Recv_Baud(9600));
  EXPECT_EQ(channel.BaudRate(), 0);
  channel.SetSendParams(tpp_Even, 7, tps_Two);
  EXPECT_EQ(channel.BitData(), 2);
  channel.SetReciveParams(TTCP_Port_Parity(4), 9, tps_OneHalf);  // 9 data bits: unchanged
  EXPECT_EQ(channel.BitData(), 2);
  EXPECT_EQ(channel.ParityBits(), 4);
  EXPECT_EQ(channel.StopBits(), 1);
  // Not connected: nothing is sent and the bridge is told to reopen.
  EXPECT_FALSE(channel.Send_String("x", 0, false));
  EXPECT_FALSE(channel.Send_Hello());
}

TEST(LumMqttServerTest, UnreachableBrokerFailsOpen) {
  TEnd a(MqttParams("COM1", test::UnusedLoopbackPort()));
  EXPECT_FALSE(a.Channel->Open("10.0.0.1", 4001, 1));
  EXPECT_EQ(a.Log, (std::vector<std::string>{"Connecting to mqtt...", "Connect - Fail"}));
  EXPECT_FALSE(a.Channel->GetActive());
}

// A TLS port opens with its handshake: the account goes out only inside a session that the
// broker's certificate opened. A peer that is no TLS listener ends the attempt with a line that
// says what is wrong.
TEST(LumMqttServerTest, TlsPortSendsItsAccountOnlyAfterTheHandshake) {
  test::TLoopbackListener listener;
  TLumPortParams p = MqttParams("COM1", listener.Port());
  p.MqttTls = true;
  p.MqttUserName = "operator7";
  p.MqttPassword = "pa55word";
  TEnd a(p);
  std::atomic<bool> opened{true};
  std::thread opener([&] { opened = a.Channel->Open("", 0, 0); });
  std::string hello;
  {
    test::TTestFd peer = listener.Accept();
    ASSERT_TRUE(peer.Valid());
    // One TLS record: 5 header bytes, its length in bytes 3 and 4.
    hello = test::ReadFor(peer.Get(), 5);
    if (hello.size() == 5)
      hello += test::ReadFor(peer.Get(), size_t(uint8_t(hello[3])) << 8 | uint8_t(hello[4]));
  }  // closed without an answer
  opener.join();
  ASSERT_GE(hello.size(), 5u);
  EXPECT_EQ(uint8_t(hello[0]), 0x16);  // handshake record: the ClientHello
  EXPECT_EQ(uint8_t(hello[1]), 0x03);
  EXPECT_EQ(hello.find("operator7"), std::string::npos);
  EXPECT_EQ(hello.find("pa55word"), std::string::npos);
  EXPECT_FALSE(opened);
  EXPECT_FALSE(a.Channel->GetActive());
  ASSERT_EQ(a.Log.size(), 3u);
  EXPECT_EQ(a.Log[0], "Connecting to mqtt...");
  EXPECT_EQ(a.Log[1].rfind("ERROR=Error connect SSL/TCL, ErrorCode=", 0), 0u) << a.Log[1];
  EXPECT_NE(a.Log[1].find("is this its TLS port?"), std::string::npos) << a.Log[1];
  EXPECT_EQ(a.Log[2], "Connect - Fail");
  EXPECT_EQ(a.Channel->GetLastIpError(), a.Log[1].substr(6));
}

TEST(LumMqttServerTest, TwoEndsThroughRealBroker) {
  TMosquitto broker;
  TEnd a(MqttParams("COM_A", broker.Port()));
  TEnd b(MqttParams("COM_B", broker.Port()));
  // The converter arguments are ignored: the broker comes from MqttHost.
  ASSERT_TRUE(a.Channel->Open("10.255.0.1", 4001, 3)) << broker.Log();
  ASSERT_TRUE(b.Channel->Open("", 0, 0));
  EXPECT_EQ(a.Log, (std::vector<std::string>{"Connecting to mqtt...", "Connect - OK"}));
  EXPECT_TRUE(a.Channel->GetActive());
  Sync(a, b);

  // Data both ways; each end hears only the other, never its own echo.
  std::string binary("\x00\x01\xFF\x7Fsixteen-bytes!", 18);
  ASSERT_TRUE(a.Send("to B"));
  ASSERT_TRUE(b.Send(binary));
  ASSERT_TRUE(Pump({&a, &b}, [&] { return b.Received == "to B" && a.Received == binary; }));
  Flush(b, a);
  EXPECT_EQ(a.Events, (std::vector<std::string>{"data " + binary, "data marker"}));
  EXPECT_EQ(b.Events, (std::vector<std::string>{"data to B"}));
  EXPECT_TRUE(std::find(a.Log.begin(), a.Log.end(), "Sending 74 6F 20 42") != a.Log.end());

  // A hello with the right key is silent.
  a.Events.clear();
  b.Events.clear();
  ASSERT_TRUE(a.Channel->Send_Hello());
  Flush(a, b);
  EXPECT_EQ(b.Events, (std::vector<std::string>{"data marker"}));
  EXPECT_EQ(b.HelloFailed, 0);
  EXPECT_EQ(a.HelloFailed, 0);

  // Changed line settings reach the other end once, before the data.
  b.Events.clear();
  a.Channel->Set_Port_Send_Baud(9600);
  a.Channel->SetSendParams(tpp_Even, 7, tps_Two);
  ASSERT_TRUE(a.Send("x"));
  ASSERT_TRUE(a.Send("y"));
  ASSERT_TRUE(Pump({&a, &b}, [&] { return b.Received.find('y') != std::string::npos; }));
  EXPECT_EQ(b.Events, (std::vector<std::string>{"params 7 5 2 2", "data x", "data y"}));
  EXPECT_EQ(b.Channel->BaudRate(), 7);  // adopted
  // The other end now sends the same settings back: no change reported at A.
  a.Events.clear();
  Flush(b, a);
  EXPECT_EQ(a.Events, (std::vector<std::string>{"data marker"}));

  // An end with another key: its hello fails every time and its data arrives garbled in whole blocks.
  TEnd c(MqttParams("COM_C", broker.Port(), 999));
  ASSERT_TRUE(c.Channel->Open("", 0, 0));
  Sync(c, b);
  ASSERT_TRUE(c.Channel->Send_Hello());
  ASSERT_TRUE(c.Channel->Send_Hello());
  ASSERT_TRUE(Pump({&b, &c}, [&] { return b.HelloFailed == 2; }));
  b.Received.clear();
  ASSERT_TRUE(c.Send("0123456789"));
  ASSERT_TRUE(Pump({&b, &c}, [&] { return b.Received.size() == 10; }));
  EXPECT_NE(b.Received.substr(0, 8), "01234567");
  EXPECT_EQ(b.Received.substr(8), "89");  // the tail travels in clear
  EXPECT_EQ(a.HelloFailed, 0);
}

// Raw client standing for a foreign publisher or a listener on the topic.
struct TProbe {
  TMQTTClient Client;
  std::vector<TBytes> Payloads;
  explicit TProbe(uint16_t APort) : Client(test::LocalClientParams(APort, "probe")) {
    Client.OnPublishData = [this](TMQTTClient*, uint16_t, TQualityOfService, const std::string&,
                                  const TBytes& APayload) { Payloads.push_back(APayload); };
  }
};

TEST(LumMqttServerTest, PacketFormatOnTheWireAndUndecodablePackets) {
  TMosquitto broker;
  TEnd a(MqttParams("COM_A", broker.Port(), 0));  // key 0: the single digit "0"
  TProbe probe(broker.Port());
  uint16_t id;
  ASSERT_TRUE(probe.Client.Subscribe({"orvane/port1"}, TQualityOfService::QoS0, id));
  ASSERT_TRUE(a.Channel->Open("", 0, 0));
  a.Channel->Set_Port_Send_Baud(19200);
  a.Channel->SetSendParams(tpp_Odd, 8, tps_One);
  ASSERT_TRUE(WaitFor([&] {
    a.Send("abcde");
    probe.Client.Process();
    return !probe.Payloads.empty();
  }));
  const std::string& cid = a.Channel->ClientID();
  TBytes expected = {uint8_t(cid.size()), 0x00};  // client id length, little-endian
  expected.insert(expected.end(), cid.begin(), cid.end());
  const TBytes tail = {0x09,                           // BaudRate: 19200
                       0x03,                           // BitData: 8 bits
                       0x04,                           // ParityBits: odd
                       0x00,                           // StopBits: one
                       0x05, 0x00,                     // data length 5, little-endian
                       0x61, 0x62, 0x63, 0x64, 0x65};  // "abcde": shorter than a block, in clear
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(probe.Payloads.front(), expected);

  // A foreign packet, hand-built: id "X", settings 7/3/0/0, 15 data bytes of which 8 enciphered with key "0".
  TBytes data = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O'};
  EncryptBuffer(data.data(), 8, "0");
  TBytes foreign = {0x01, 0x00, 'X', 0x07, 0x03, 0x00, 0x00, 0x0F, 0x00};
  for (uint8_t byte : data) foreign.push_back(byte);

  // Every cut-short form, a length that claims too much, random bytes: all dropped silently.
  std::vector<TBytes> bad;
  for (size_t n = 0; n < foreign.size(); ++n) bad.emplace_back(foreign.begin(), foreign.begin() + long(n));
  TBytes overlong = foreign;
  overlong[7] = 0xFF;  // data length 0x00FF with 15 bytes present
  bad.push_back(overlong);
  TBytes idTooLong = foreign;
  idTooLong[0] = 0xFF;
  idTooLong[1] = 0xFF;
  bad.push_back(idTooLong);
  uint32_t seed = 99;
  for (int i = 0; i < 20; ++i) {
    TBytes r(size_t(seed % 40));
    for (auto& byte : r) byte = uint8_t((seed = seed * 1103515245 + 12345) >> 16);
    bad.push_back(r);
  }
  for (const auto& payload : bad) ASSERT_TRUE(probe.Client.Publish("orvane/port1", payload));
  ASSERT_TRUE(probe.Client.Publish("orvane/port1", foreign));
  ASSERT_TRUE(Pump({&a}, [&] { return !a.Received.empty(); }));
  probe.Client.Process();
  EXPECT_EQ(a.Received, "ABCDEFGHIJKLMNO");
  EXPECT_EQ(a.Events.front(), "params 7 0 0 3");
  EXPECT_EQ(a.Events.size(), 2u);  // none of the bad packets did anything

  // New settings with empty data change the settings only (a physical far end reconfigures
  // from them); data behind them with the same settings reports no change.
  a.Events.clear();
  a.Received.clear();
  ASSERT_TRUE(
      probe.Client.Publish("orvane/port1", TBytes{0x01, 0x00, 'X', 0x09, 0x02, 0x05, 0x01, 0x00, 0x00}));
  ASSERT_TRUE(probe.Client.Publish("orvane/port1",
                                   TBytes{0x01, 0x00, 'X', 0x09, 0x02, 0x05, 0x01, 0x02, 0x00, 'o', 'k'}));
  ASSERT_TRUE(Pump({&a}, [&] { return !a.Received.empty(); }));
  EXPECT_EQ(a.Events, (std::vector<std::string>{"params 9 5 1 2", "data ok"}));
}

TEST(LumMqttServerTest, LongDataIsSplitIntoPacketsThatArriveWhole) {
  TMosquitto broker;
  TEnd a(MqttParams("COM_A", broker.Port()));
  TEnd b(MqttParams("COM_B", broker.Port()));
  ASSERT_TRUE(a.Channel->Open("", 0, 0));
  ASSERT_TRUE(b.Channel->Open("", 0, 0));
  Sync(a, b);
  // 100000 bytes: more than a 16-bit length can say and more than the receiver may buffer.
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 31 + i / 256);
  ASSERT_TRUE(a.Send(data));
  ASSERT_TRUE(Pump({&a, &b}, [&] { return b.Received.size() >= data.size(); }));
  EXPECT_TRUE(b.Received == data);
  ASSERT_EQ(b.Events.size(), 4u);  // 32768 + 32768 + 32768 + 1696
  for (const auto& e : b.Events) EXPECT_LE(e.size() - 5, TLumMqttServer::MAX_PACKET_DATA);
}

TEST(LumMqttServerTest, RefusedConnectEndsTheSession) {
  TMosquitto::TOptions options;
  options.UserName = "user";
  options.Password = "secret";
  TMosquitto broker(options);
  TLumPortParams params = MqttParams("COM_A", broker.Port());
  params.MqttUserName = "user";
  params.MqttPassword = "wrong";
  TEnd a(params);
  // Open waits for the CONNACK: a refusal is a failed Open, never "Connect - OK".
  EXPECT_FALSE(a.Channel->Open("", 0, 0));
  EXPECT_FALSE(a.Channel->GetActive());
  EXPECT_EQ(a.Log, (std::vector<std::string>{"Connecting to mqtt...", "ERROR=Connection refused, code=5"}));
  // No reconnection from ReadData: the bridge retries on its own schedule.
  const size_t lines = a.Log.size();
  for (int i = 0; i < 20; ++i) a.Channel->ReadData();
  EXPECT_EQ(a.Log.size(), lines);
  EXPECT_FALSE(a.Channel->GetActive());

  params.MqttPassword = "secret";
  TEnd b(params);
  ASSERT_TRUE(b.Channel->Open("", 0, 0));
  TEnd c(params);
  ASSERT_TRUE(c.Channel->Open("", 0, 0));
  Sync(b, c);
  EXPECT_TRUE(b.Channel->GetActive());
}

TEST(LumMqttServerTest, ReconnectsAfterBrokerRestart) {
  TMosquitto broker;
  TEnd a(MqttParams("COM_A", broker.Port()));
  TEnd b(MqttParams("COM_B", broker.Port()));
  ASSERT_TRUE(a.Channel->Open("", 0, 0));
  ASSERT_TRUE(b.Channel->Open("", 0, 0));
  Sync(a, b);

  broker.Stop();
  // A publish that fails is reported, so the bridge reopens and sends again
  // instead of losing the bytes. (The first write may still be taken by the kernel.)
  ASSERT_TRUE(WaitFor([&] { return !b.Send("lost?"); }));
  EXPECT_TRUE(b.Logged("ERROR=Publish failed"));
  EXPECT_FALSE(b.Channel->GetActive());
  // Pings (every 10 s on the channels' clocks) reveal the lost connection.
  ASSERT_TRUE(WaitFor([&] {
    for (TEnd* end : {&a, &b}) {
      end->Tick += 10001;
      end->Channel->ReadData();
    }
    return !a.Channel->GetActive() && !b.Channel->GetActive();
  }));
  EXPECT_FALSE(a.Channel->GetActive());
  EXPECT_FALSE(b.Channel->GetActive());

  // ReadData leaves the session down; the owner opens it again.
  const size_t lines = a.Log.size();
  a.Channel->ReadData();
  EXPECT_EQ(a.Log.size(), lines);
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(WaitFor([&] { return a.Channel->Open("", 0, 0); }));
  ASSERT_TRUE(WaitFor([&] { return b.Channel->Open("", 0, 0); }));
  Sync(a, b);
  ASSERT_TRUE(a.Send("after restart"));
  ASSERT_TRUE(Pump({&a, &b}, [&] { return b.Received == "after restart"; }));
}

// Binds an abstract Unix datagram socket with a name of the test's own.
struct TTraceListener {
  int Fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::string Name = "orvane_test_trace_" + std::to_string(::getpid());
  TTraceListener() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, Name.data(), Name.size());
    EXPECT_EQ(::bind(Fd, reinterpret_cast<sockaddr*>(&addr),
                     socklen_t(offsetof(sockaddr_un, sun_path) + 1 + Name.size())),
              0);
  }
  ~TTraceListener() { ::close(Fd); }
  std::string Next() {
    char buf[512];
    timeval tv{10, 0};
    ::setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    const ssize_t n = ::recv(Fd, buf, sizeof(buf), 0);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
  }
};

TEST(LumMqttServerTest, DebugTraceOnlyWithTheSwitch) {
  TTraceListener listener;
  TDebugTrace(false, listener.Name).Send("never");
  TDebugTrace(true, listener.Name + "_nobody").Send("dropped");  // nobody listens: no error, no wait
  TDebugTrace(true, listener.Name).Send("first");
  std::string got = listener.Next();
  ASSERT_NE(got.find('\t'), std::string::npos);
  EXPECT_EQ(got.substr(got.find('\t') + 1), std::string("first\0", 6));

  TMosquitto broker;
  TChannelOptions options;
  options.DebugWindow = true;
  options.DebugWindowName = listener.Name;
  TEnd a(MqttParams("COM9", broker.Port(), 4242), options);
  ASSERT_TRUE(a.Channel->Open("", 0, 0));
  ASSERT_TRUE(a.Send("z"));
  got = listener.Next();
  EXPECT_EQ(got.substr(got.find('\t') + 1), std::string("EncodePacket   COM9    4242\0", 28));
}

// The trace carries the key: a listener owned by another user gets none of it.
TEST(LumMqttServerTest, DebugTraceGoesOnlyToAListenerOfTheSameUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand a socket to another user";
  TTraceListener listener;
  ASSERT_EQ(::fchown(listener.Fd, 65534, 65534), 0);  // as if "nobody" had bound the name
  TDebugTrace trace(true, listener.Name);
  trace.Send("key 4242");
  char buf[64];
  EXPECT_EQ(::recv(listener.Fd, buf, sizeof(buf), MSG_DONTWAIT), -1);  // delivery is synchronous
  EXPECT_EQ(errno, EAGAIN);
  ASSERT_EQ(::fchown(listener.Fd, 0, 0), 0);
  trace.Send("now mine");
  const std::string got = listener.Next();
  EXPECT_EQ(got.substr(got.find('\t') + 1), std::string("now mine\0", 9));
}

// A channel on a scripted broker. Open takes the CONNECT and SUBSCRIBE and answers both.
// The cancel check says stop when Cancel is set, and once when it is asked for the CancelAt-th time.
struct TScripted {
  test::TFakeBroker Broker;
  std::atomic<bool> Cancel{false};
  std::atomic<int> Asked{0};
  std::atomic<int> CancelAt{0};
  std::chrono::steady_clock::time_point CancelledAt;
  TEnd End;

  TScripted() : End(MqttParams("COM_F", Broker.Port()), Options()) {}
  TChannelOptions Options() {
    TChannelOptions o;
    o.CancelCheck = [this] {
      const int n = ++Asked;
      if (Cancel || n == CancelAt) {
        CancelledAt = std::chrono::steady_clock::now();
        return true;
      }
      return false;
    };
    return o;
  }
  // The channel's Open on a thread of its own, as it waits for the broker's answers.
  std::future<bool> StartOpen() {
    return std::async(std::launch::async, [this] { return End.Channel->Open("", 0, 0); });
  }
  // Takes the CONNECT and the SUBSCRIBE; AAnswer is sent back with the SUBSCRIBE's id where
  // it has "ii ii".
  void Answer(const std::string& AAnswer) {
    ASSERT_TRUE(Broker.Accept());
    ASSERT_EQ(Broker.ReadPacket()[0], 0x10);
    const TBytes subscribe = Broker.ReadPacket();
    ASSERT_GE(subscribe.size(), 4u);
    ASSERT_EQ(subscribe[0], 0x82);
    char id[8];
    std::snprintf(id, sizeof id, "%02X %02X", subscribe[2], subscribe[3]);
    std::string answer = AAnswer;
    if (const size_t at = answer.find("ii ii"); at != std::string::npos) answer.replace(at, 5, id);
    if (!answer.empty()) {
      ASSERT_TRUE(Broker.Send(test::Hex(answer)));
    }
  }
  void Open() {
    std::future<bool> opened = StartOpen();
    Answer("20 02 00 00 90 03 ii ii 00");
    ASSERT_TRUE(opened.get());
  }
  size_t Count(const std::string& ALine) const {
    return size_t(std::count(End.Log.begin(), End.Log.end(), ALine));
  }
};

// The channel data of one PUBLISH the channel sent (key 1234).
std::string DataOf(const TBytes& APacket) {
  std::string topic;
  TBytes payload;
  uint16_t id;
  TQualityOfService qos;
  bool retain, duplicate;
  TPacketData packet;
  if (!TMQTTProtocolClient::DecodePublish(APacket, topic, payload, id, qos, retain, duplicate) ||
      !DecodeChannelPacket(payload, "1234", packet))
    return "<not a channel packet>";
  return packet.Data;
}

TEST(LumMqttServerTest, BrokerThatClosesIsNoticedAtOnce) {
  TScripted s;
  s.Open();
  s.End.Channel->ReadData();  // pings once; the clock stands still from here
  ASSERT_EQ(s.Broker.ReadPacket(), test::Hex("C0 00"));
  s.Broker.CloseClient();
  ASSERT_TRUE(WaitFor([&] {
    s.End.Channel->ReadData();
    return !s.End.Channel->GetActive();
  }));
  EXPECT_TRUE(std::any_of(s.End.Log.begin(), s.End.Log.end(), [](const std::string& l) {
    return l.rfind("ERROR=Error reading from socket", 0) == 0 && l.find("closed by peer") != l.npos;
  }));
  // Its owner sees the drop and decides when to reopen: no connection of its own.
  for (int i = 0; i < 5; ++i) s.End.Channel->ReadData();
  EXPECT_FALSE(s.Broker.Accept(100));
  EXPECT_EQ(s.Count("Connect - OK"), 1u);
}

// A half-open link answers nothing: the ping that stays unanswered for the keep-alive time ends it.
// The worker learns when to come back (the next ping, the end of the wait) and what to wait on.
TEST(LumMqttServerTest, UnansweredPingDropsTheLink) {
  TScripted s;
  EXPECT_EQ(s.End.Channel->ReadyHandle(), -1);
  EXPECT_EQ(s.End.Channel->NextDeadlineMs(), std::nullopt);
  s.Open();
  EXPECT_EQ(s.End.Channel->NextDeadlineMs(), 0u);  // the first ping is due at once
  const int fd = s.End.Channel->ReadyHandle();
  ASSERT_GE(fd, 0);
  s.End.Channel->ReadData();  // Open took the answers: this only pings
  ASSERT_EQ(s.Broker.ReadPacket(), test::Hex("C0 00"));
  EXPECT_EQ(PollOne(fd, POLLIN, TDeadline(0)), 0);
  EXPECT_EQ(s.End.Channel->NextDeadlineMs(), 10001u);
  ASSERT_TRUE(s.Broker.Send(test::Hex("D0 00")));
  EXPECT_GT(PollOne(fd, POLLIN, TDeadline(10000)), 0);
  s.End.Channel->ReadData();  // answered

  const uint32_t sentAt = s.End.Tick += 10001;  // from here on no answer comes
  s.End.Channel->ReadData();
  for (const uint32_t at : {sentAt + 10001, sentAt + 20002, sentAt + 29999}) {
    s.End.Tick = at;
    s.End.Channel->ReadData();
    EXPECT_TRUE(s.End.Channel->GetActive()) << at - sentAt;
  }
  EXPECT_EQ(s.End.Channel->NextDeadlineMs(), 1u);  // the wait for the answer ends before the next ping
  s.End.Tick = sentAt + 30000;
  s.End.Channel->ReadData();
  EXPECT_TRUE(s.End.Logged("ERROR=No PINGRESP within 30000 ms"));
  EXPECT_FALSE(s.End.Channel->GetActive());
  EXPECT_EQ(s.End.Channel->ReadyHandle(), -1);
}

// Close of a session that is down connects nowhere, before the first Open and after a drop.
TEST(LumMqttServerTest, CloseOfADownSessionOnlyCloses) {
  TScripted s;
  EXPECT_TRUE(s.End.Channel->Close());
  EXPECT_FALSE(s.Broker.Accept(0));  // a connect would be in the listener's queue by now
  s.Open();
  s.Broker.CloseClient();
  ASSERT_TRUE(WaitFor([&] {
    s.End.Channel->ReadData();
    return !s.End.Channel->GetActive();
  }));
  EXPECT_TRUE(s.End.Channel->Close());
  EXPECT_FALSE(s.Broker.Accept(0));
  EXPECT_EQ(s.End.Log.back(), "Disconnected");
}

// "Connect - OK" only once the broker has accepted the session and the subscription;
// anything else is a failed Open with its reason, and the session is closed.
TEST(LumMqttServerTest, OpenWaitsForTheBrokersAnswers) {
  struct TCase {
    const char* Name;
    std::string Answer;  // "ii ii": the SUBSCRIBE's packet id
    std::string Line;
  };
  const TCase cases[] = {
      {"accepted", "20 02 00 00 90 03 ii ii 00", "Connect - OK"},
      {"refused", "20 02 00 05", "ERROR=Connection refused, code=5"},
      {"topic refused", "20 02 00 00 90 03 ii ii 80", "ERROR=Subscription refused, topic orvane/port1"},
      {"frozen", "", "ERROR=No CONNACK within 5000 ms"},
      {"no SUBACK", "20 02 00 00", "ERROR=No SUBACK within 5000 ms"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TScripted s;
    std::future<bool> opened = s.StartOpen();
    s.Answer(c.Answer);
    const bool ok = opened.get();
    EXPECT_EQ(ok, c.Line == "Connect - OK");
    EXPECT_EQ(s.End.Log, (std::vector<std::string>{"Connecting to mqtt...", c.Line}));
    EXPECT_EQ(s.End.Channel->GetActive(), ok);
    EXPECT_EQ(s.End.Send("x"), ok);  // nothing is handed to a session the broker did not accept
    if (!ok) {
      EXPECT_TRUE(s.Broker.ClientClosed());
    }
  }
}

// A stop request ends the wait for a broker that does not answer within a wait slice.
TEST(LumMqttServerTest, OpenOnASilentBrokerStopsWhenAsked) {
  TScripted s;
  std::future<bool> opened = s.StartOpen();
  s.Answer("");  // the CONNECT and SUBSCRIBE are in: Open now waits for the answers
  const auto asked = std::chrono::steady_clock::now();
  s.Cancel = true;
  EXPECT_FALSE(opened.get());
  // Well before the 5 s limit; loose, so that a loaded sanitizer run cannot miss it.
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2));
  EXPECT_TRUE(s.End.Logged("ERROR=Cancelled"));
  EXPECT_FALSE(s.End.Channel->GetActive());
}

// 8 MiB to a broker that never reads: a stop request ends the send within a wait slice.
TEST(LumMqttServerTest, SendToABrokerThatNeverReadsStopsWhenAsked) {
  TScripted s;
  s.Open();
  s.Asked = 0;
  s.CancelAt = 10;
  EXPECT_FALSE(s.End.Send(std::string(8 * 1024 * 1024, 'x')));
  const auto end = std::chrono::steady_clock::now();
  EXPECT_GE(s.Asked.load(), 10);
  // Ignoring the request would run into the 5 s stall limit, seconds later; the
  // bound is loose so that a loaded sanitizer run cannot miss it.
  EXPECT_LT(end - s.CancelledAt, std::chrono::seconds(2));
  EXPECT_TRUE(s.End.Logged("ERROR=Publish failed"));
  EXPECT_FALSE(s.End.Channel->GetActive());
}

// A block of 128 packets fails part-way (the broker stops reading and the send is cut
// short); the bridge's Close, Open and resend send only the packets not delivered, so the
// broker gets every byte exactly once over the two connections.
TEST(LumMqttServerTest, ResendOfASplitBlockStartsAtTheFirstUndeliveredPacket) {
  TScripted s;
  s.Open();
  std::string block(128 * TLumMqttServer::MAX_PACKET_DATA, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = char(i % 251);
  s.Asked = 0;
  s.CancelAt = 10;  // once, while the first connection's buffers fill
  std::atomic<bool> firstDone{false};
  bool first = true, second = false;
  std::thread bridge([&] {
    first = s.End.Send(block);
    firstDone = true;
    s.End.Channel->Close();
    if (s.End.Channel->Open("", 0, 0)) second = s.End.Send(block);
  });
  ASSERT_TRUE(WaitFor([&] { return firstDone.load(); }));
  std::string got;
  size_t firstPackets = 0;
  for (TBytes p = s.Broker.ReadPacket(); !p.empty(); p = s.Broker.ReadPacket()) {
    got += DataOf(p);  // a packet cut off by the close never completes and ends the loop
    ++firstPackets;
  }
  s.Answer("20 02 00 00 90 03 ii ii 00");
  while (got.size() < block.size()) {
    const TBytes p = s.Broker.ReadPacket();
    if (p.empty()) break;
    got += DataOf(p);
  }
  bridge.join();
  EXPECT_FALSE(first);
  EXPECT_TRUE(second);
  EXPECT_GE(firstPackets, 1u);
  EXPECT_LT(firstPackets, 128u);
  EXPECT_EQ(got.size(), block.size());
  EXPECT_TRUE(got == block) << "first packets " << firstPackets << ", first difference at "
                            << std::mismatch(got.begin(), got.end(), block.begin(), block.end()).first -
                                   got.begin();
}

// A third party publishes 70 000 bytes on the port's topic with the bytes of a refusing
// CONNACK inside: the packet is dropped whole, the channel stays up and keeps receiving.
TEST(LumMqttServerTest, ForeignOversizedPublishIsDroppedWhole) {
  TMosquitto broker;
  TEnd a(MqttParams("COM_A", broker.Port()));
  ASSERT_TRUE(a.Channel->Open("", 0, 0));
  TProbe probe(broker.Port());
  uint16_t id;
  ASSERT_TRUE(probe.Client.Subscribe({"orvane/port1"}, TQualityOfService::QoS0, id));
  TBytes big(70000, 0x00);
  for (size_t at = 0; at + 40 < big.size(); at += 64)
    for (size_t copy : {at, at + 33}) {
      const TBytes connAck = test::Hex("20 02 00 05");
      std::copy(connAck.begin(), connAck.end(), big.begin() + long(copy));
    }
  const TBytes marker = EncodeChannelPacket(TPacketData{"probe", 0, 0, 0, 0, "marker"}, "1234");
  // Until a's subscription has taken effect, which the marker shows.
  ASSERT_TRUE(WaitFor(
      [&] {
        a.Received.clear();
        probe.Client.Publish("orvane/port1", big);
        probe.Client.Publish("orvane/port1", marker);
        return Pump(
            {&a}, [&] { return a.Received.find("marker") != std::string::npos; },
            std::chrono::milliseconds(500));
      },
      std::chrono::seconds(30)));
  EXPECT_FALSE(a.Logged("ERROR=Connection refused, code=5"));
  EXPECT_TRUE(a.Channel->GetActive());
  EXPECT_EQ(a.Received, "marker");
  a.Received.clear();
  ASSERT_TRUE(probe.Client.Publish("orvane/port1", marker));
  ASSERT_TRUE(Pump({&a}, [&] { return a.Received == "marker"; }));
}

}  // namespace
}  // namespace orvane
