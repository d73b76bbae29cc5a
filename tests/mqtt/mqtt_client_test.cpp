#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "mqtt/mqtt_client.h"
#include "support/fake_broker.h"
#include "support/fd_helpers.h"
#include "support/hex.h"
#include "support/mosquitto_fixture.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

using test::Hex;
using test::TFakeBroker;
using test::TMosquitto;
using test::WaitFor;

TClientParams Params(uint16_t APort, const std::string& AClientID = "client1") {
  TClientParams p;
  p.HostName = "127.0.0.1";
  p.Port = APort;
  p.ClientID = AClientID;
  p.KeepAlive = 30;
  return p;
}

// Collects the session's log lines; the lines outlive the log object, since a
// client logs while it is destroyed.
struct TLog {
  std::shared_ptr<std::vector<std::string>> FLines = std::make_shared<std::vector<std::string>>();
  void Attach(TMQTTClient& AClient) {
    AClient.OnLogMessageEvent = [lines = FLines](TMQTTClient*, const std::string& AMsg) {
      lines->push_back(AMsg);
    };
  }
  const std::vector<std::string>& Lines() const { return *FLines; }
  bool Has(const std::string& APart) const {
    return std::any_of(FLines->begin(), FLines->end(),
                       [&](const std::string& l) { return l.find(APart) != l.npos; });
  }
};

// Drives Process until the condition holds.
bool PumpUntil(TMQTTClient& AClient, const std::function<bool()>& ACondition) {
  return WaitFor([&] {
    AClient.Process();
    return ACondition();
  });
}

TEST(MqttClientTest, HexDumpsOfLogLines) {
  EXPECT_EQ(TMQTTClient::DataToStr(Hex("10 0C 00")), "[3] 10 0C 00");
  EXPECT_EQ(TMQTTClient::DataToStr(TBytes{}), "");
  const std::string dump = TMQTTClient::DataToStr(TBytes(400, 0xAB));
  EXPECT_EQ(dump.rfind("[400] AB AB", 0), 0u);
  EXPECT_EQ(std::count(dump.begin(), dump.end(), 'B'), 301);
  EXPECT_EQ(dump.substr(dump.size() - 9), "AB AB ...");
  EXPECT_EQ(TMQTTClient::TopicsToStr({"a", "b"}), "[2] a; b");
  EXPECT_EQ(TMQTTClient::ErrorCodesToStr({0, 128}), "[2] 0; 128");
}

TEST(MqttClientTest, TalksToRealBroker) {
  TMosquitto broker;
  TMQTTClient client(Params(broker.Port()));
  TLog log;
  log.Attach(client);
  std::vector<std::string> events;
  int connAck = -1;
  client.OnConnAck = [&](TMQTTClient*, TConnectErrorCode c) { connAck = int(c); };
  std::vector<TSubscribeErrorCode> granted;
  uint16_t subAckId = 0;
  client.OnSubAck = [&](TMQTTClient*, uint16_t id, const std::vector<TSubscribeErrorCode>& codes) {
    subAckId = id;
    granted = codes;
  };
  client.OnPublish = [&](TMQTTClient*, uint16_t, TQualityOfService, const std::string& t,
                         const std::string& p) { events.push_back("text " + t + " " + p); };
  client.OnPublishData = [&](TMQTTClient*, uint16_t, TQualityOfService, const std::string& t,
                             const TBytes& p) {
    events.push_back("data " + t + " " + std::string(p.begin(), p.end()));
  };
  int pings = 0;
  client.OnPingResp = [&](TMQTTClient*) { ++pings; };

  // Any sender connects on demand.
  uint16_t id = 0;
  ASSERT_TRUE(client.Subscribe({"orvane/t"}, TQualityOfService::QoS0, id)) << broker.Log();
  EXPECT_EQ(id, 1);
  EXPECT_TRUE(client.IsConnected());
  ASSERT_TRUE(PumpUntil(client, [&] { return connAck == 0 && subAckId == 1; }));
  EXPECT_EQ(granted, std::vector<TSubscribeErrorCode>{0});

  ASSERT_TRUE(client.Publish("orvane/t", TBytes{'h', 'i'}));  // takes identifier 2 though QoS 0
  EXPECT_TRUE(log.Has("MQTTClient.Publish bytes- OK, PacketID=2"));
  ASSERT_TRUE(PumpUntil(client, [&] { return events.size() >= 2; }));
  EXPECT_EQ(events, (std::vector<std::string>{"text orvane/t hi", "data orvane/t hi"}));  // text first

  ASSERT_TRUE(client.PingReq());
  ASSERT_TRUE(PumpUntil(client, [&] { return pings == 1; }));

  ASSERT_TRUE(client.Unsubscribe("orvane/t", id));
  EXPECT_EQ(id, 3);
  EXPECT_TRUE(client.Disconnect());
  EXPECT_FALSE(client.IsConnected());
  EXPECT_TRUE(
      log.Has("MQTTClient.Disconnect, Line=127.0.0.1:" + std::to_string(broker.Port()) + ", Force=False"));
}

TEST(MqttClientTest, ConnectsThroughTls) {
  TMosquitto::TOptions options;
  options.Tls = true;
  TMosquitto broker(options);
  TClientParams params = Params(broker.TlsPort());
  params.SSLMode = "tls";
  params.SSLCACertFile = broker.CaFile();
  TMQTTClient client(params);
  TLog log;
  log.Attach(client);
  int connAck = -1;
  client.OnConnAck = [&](TMQTTClient*, TConnectErrorCode c) { connAck = int(c); };
  TBytes received;
  client.OnPublishData = [&](TMQTTClient*, uint16_t, TQualityOfService, const std::string&, const TBytes& p) {
    received = p;
  };
  ASSERT_TRUE(client.Connect()) << broker.Log();
  EXPECT_TRUE(log.Has("Connect SSL/TCL"));
  uint16_t id;
  ASSERT_TRUE(client.Subscribe({"secure"}, TQualityOfService::QoS0, id));
  TBytes payload(3000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i * 7);
  ASSERT_TRUE(client.Publish("secure", payload));
  ASSERT_TRUE(PumpUntil(client, [&] { return !received.empty(); }));
  EXPECT_EQ(connAck, 0);
  EXPECT_EQ(received, payload);

  // Plain MQTT spoken to a TLS listener fails the handshake and leaves nothing connected.
  TClientParams wrong = Params(broker.Port());
  wrong.SSLMode = "tls";
  TMQTTClient plain(wrong);
  TLog plainLog;
  plainLog.Attach(plain);
  EXPECT_FALSE(plain.Connect());
  EXPECT_FALSE(plain.IsConnected());
  EXPECT_TRUE(plainLog.Has("Error connect SSL/TCL, ErrorCode="));
}

// A self-signed broker certificate: refused unless its CA is given or checking is switched
// off; with its CA, a certificate made out to another name is refused too.
TEST(MqttClientTest, TlsChecksTheBrokerCertificateUnlessToldNot) {
  TMosquitto::TOptions options;
  options.Tls = true;
  TMosquitto broker(options);
  options.TlsSubjectAltName = "DNS:other.example";
  TMosquitto otherName(options);
  struct TCase {
    const char* Name;
    TMosquitto* Broker;
    bool GiveCa;
    bool Verify;
    bool Accepted;
  };
  const TCase cases[] = {{"unknown CA", &broker, false, true, false},
                         {"unknown CA, checking off", &broker, false, false, true},
                         {"CA given", &broker, true, true, true},
                         {"CA given, wrong name", &otherName, true, true, false},
                         {"wrong name, checking off", &otherName, false, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TClientParams params = Params(c.Broker->TlsPort());
    params.SSLMode = "tls";
    if (c.GiveCa) params.SSLCACertFile = c.Broker->CaFile();
    params.SSLVerifyPeer = c.Verify;
    TMQTTClient client(params);
    TLog log;
    log.Attach(client);
    int connAck = -1;
    client.OnConnAck = [&](TMQTTClient*, TConnectErrorCode e) { connAck = int(e); };
    EXPECT_EQ(client.Connect(), c.Accepted);
    EXPECT_EQ(client.IsConnected(), c.Accepted);
    if (c.Accepted) {
      ASSERT_TRUE(PumpUntil(client, [&] { return connAck == 0; }));
    } else {
      EXPECT_TRUE(log.Has("Error connect SSL/TCL, ErrorCode=")) << log.Lines().back();
      EXPECT_TRUE(log.Has("certificate not accepted"));
    }
  }
}

TEST(MqttClientTest, RefusedConnectIsPassedOnAndKeepsTheSession) {
  TMosquitto::TOptions options;
  options.UserName = "user";
  options.Password = "secret";
  TMosquitto broker(options);
  TClientParams params = Params(broker.Port());
  params.UserName = "user";
  params.Password = "wrong";
  TMQTTClient client(params);
  int connAck = -1;
  client.OnConnAck = [&](TMQTTClient*, TConnectErrorCode c) { connAck = int(c); };
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(PumpUntil(client, [&] { return connAck >= 0; }));
  EXPECT_NE(connAck, 0);
  EXPECT_TRUE(client.IsConnected());  // the session itself does not act on the code

  TClientParams good = params;
  good.Password = "secret";
  TMQTTClient accepted(good);
  connAck = -1;
  accepted.OnConnAck = [&](TMQTTClient*, TConnectErrorCode c) { connAck = int(c); };
  ASSERT_TRUE(accepted.Connect());
  ASSERT_TRUE(PumpUntil(accepted, [&] { return connAck >= 0; }));
  EXPECT_EQ(connAck, 0);
}

TEST(MqttClientTest, SenderOnUnreachableBrokerFailsWithConnectError) {
  TMQTTClient client(Params(test::UnusedLoopbackPort()));
  TLog log;
  log.Attach(client);
  EXPECT_FALSE(client.PingReq());
  EXPECT_FALSE(client.IsConnected());
  const std::vector<std::string>& l = log.Lines();
  ASSERT_GE(l.size(), 8u);
  EXPECT_EQ(l.front().rfind("MQTTClient.PingReq, Line=127.0.0.1:", 0), 0u);
  EXPECT_TRUE(log.Has("[EXCEPTION] MQTTClient.Connect, Line=127.0.0.1:"));
  EXPECT_TRUE(log.Has("Error=(Error connect TCP, ErrorCode="));
  EXPECT_TRUE(log.Has("[EXCEPTION] MQTTClient.PingReq, Line127.0.0.1:"));
  EXPECT_TRUE(log.Has("Error=Connect error"));
  EXPECT_EQ(std::count(l.begin(), l.end(), "MQTTClient.Disconnect - OK"), 2);
}

// Starts a client on a fake broker and reads its CONNECT.
struct TFakeSession {
  TFakeBroker Broker;
  TLog Log;
  TMQTTClient Client{Params(Broker.Port(), "abc")};
  TFakeSession() {
    Log.Attach(Client);
    EXPECT_TRUE(Client.Connect());
    EXPECT_TRUE(Broker.Accept());
    EXPECT_EQ(Broker.ReadPacket(), Hex("10 11 00 06 4D 51 49 73 64 70 03 02 00 1E 00 03 61 62 63"));
  }
};

// The four acknowledgements the owner sends: their bytes, and the log lines of a send that
// works and of one that cannot connect.
TEST(MqttClientTest, AcknowledgementsGoOutWithTheirLogLines) {
  struct TCase {
    const char* Name;
    bool (TMQTTClient::*Send)(uint16_t);
    uint16_t Id;
    const char* Bytes;
  };
  const TCase cases[] = {{"PubAck", &TMQTTClient::PubAck, 258, "40 02 01 02"},
                         {"PubRec", &TMQTTClient::PubRec, 1, "50 02 00 01"},
                         {"PubRel", &TMQTTClient::PubRel, 1, "62 02 00 01"},
                         {"PubComp", &TMQTTClient::PubComp, 0xFFFF, "70 02 FF FF"}};
  TFakeSession s;
  const std::string line = "127.0.0.1:" + std::to_string(s.Broker.Port());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    s.Log.FLines->clear();
    EXPECT_TRUE((s.Client.*c.Send)(c.Id));
    EXPECT_EQ(s.Broker.ReadPacket(), Hex(c.Bytes));
    const std::vector<std::string>& l = s.Log.Lines();
    ASSERT_EQ(l.size(), 4u);
    EXPECT_EQ(l[0],
              std::string("MQTTClient.") + c.Name + ", Line=" + line + ", PacketID=" + std::to_string(c.Id));
    EXPECT_EQ(l[1].rfind("MQTTClient.SendData, Data=([4] ", 0), 0u) << l[1];
    EXPECT_EQ(l[2], "MQTTClient.SendData - OK");
    EXPECT_EQ(l[3], std::string("MQTTClient.") + c.Name + " - OK");
  }

  const uint16_t closed = test::UnusedLoopbackPort();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TMQTTClient client(Params(closed));
    TLog log;
    log.Attach(client);
    EXPECT_FALSE((client.*c.Send)(c.Id));
    EXPECT_TRUE(log.Has(std::string("[EXCEPTION] MQTTClient.") + c.Name +
                        ", Line=127.0.0.1:" + std::to_string(closed) + ", Error=Connect error"));
  }
}

TEST(MqttClientTest, DisconnectForcedOrNot) {
  {
    TFakeSession s;
    EXPECT_TRUE(s.Client.Disconnect(false));
    EXPECT_EQ(s.Broker.ReadPacket(), Hex("E0 00"));
    EXPECT_TRUE(s.Broker.ClientClosed());
    EXPECT_TRUE(s.Client.Disconnect(true));  // already disconnected: only the log lines
  }
  {
    TFakeSession s;
    EXPECT_TRUE(s.Client.Disconnect(true));
    EXPECT_TRUE(s.Broker.ClientClosed());
    EXPECT_TRUE(s.Broker.ReadPacket(100).empty());
  }
  {
    // Reconnecting says goodbye on the old connection first.
    TFakeSession s;
    EXPECT_TRUE(s.Client.Connect());
    EXPECT_EQ(s.Broker.ReadPacket(), Hex("E0 00"));
    EXPECT_TRUE(s.Broker.Accept());
    EXPECT_EQ(s.Broker.ReadPacket()[0], 0x10);
  }
  {
    // Destroying a connected client sends DISCONNECT.
    TFakeBroker broker;
    {
      TMQTTClient client(Params(broker.Port()));
      ASSERT_TRUE(client.Connect());
      ASSERT_TRUE(broker.Accept());
      ASSERT_EQ(broker.ReadPacket()[0], 0x10);
    }
    EXPECT_EQ(broker.ReadPacket(), Hex("E0 00"));
  }
}

TEST(MqttClientTest, ReceivedStreamIsCutIntoPackets) {
  TFakeSession s;
  std::vector<std::string> seen;
  s.Client.OnConnAck = [&](TMQTTClient*, TConnectErrorCode c) {
    seen.push_back("connack " + std::to_string(int(c)));
  };
  s.Client.OnPublishData = [&](TMQTTClient*, uint16_t id, TQualityOfService q, const std::string& t,
                               const TBytes& p) {
    seen.push_back("publish " + std::to_string(id) + " " + std::to_string(int(q)) + " " + t + " " +
                   std::string(p.begin(), p.end()));
  };
  s.Client.OnPingResp = [&](TMQTTClient*) { seen.push_back("pingresp"); };

  // Nothing waiting: no read, no log line.
  const size_t before = s.Log.Lines().size();
  s.Client.Process();
  EXPECT_EQ(s.Log.Lines().size(), before);

  // A refusal code is passed on and changes nothing; two packets in one read, in order.
  ASSERT_TRUE(s.Broker.Send(Hex("20 02 00 05  D0 00")));
  ASSERT_TRUE(PumpUntil(s.Client, [&] { return seen.size() == 2; }));
  EXPECT_EQ(seen[0], "connack 5");
  EXPECT_EQ(seen[1], "pingresp");
  EXPECT_TRUE(s.Client.IsConnected());

  // A QoS 1 publish split byte by byte is delivered once, when its last byte is in; no PUBACK goes out.
  const TBytes publish = Hex("32 08 00 01 74 00 2A 61 62 63");
  for (size_t i = 0; i < publish.size(); ++i) {
    ASSERT_TRUE(s.Broker.Send(TBytes{publish[i]}));
    ASSERT_TRUE(WaitFor([&] {
      s.Client.Process();
      return s.Log.Has("MQTTClient.Process, ReceiveData=([" + std::to_string(i + 1) + "]") ||
             seen.size() == 3;
    }));
    EXPECT_EQ(seen.size(), i + 1 < publish.size() ? 2u : 3u);
  }
  EXPECT_EQ(seen[2], "publish 42 1 t abc");
  EXPECT_TRUE(s.Broker.ReadPacket(100).empty());

  // Packets a client never gets (CONNECT, SUBSCRIBE, type 15) are logged and ignored.
  ASSERT_TRUE(s.Broker.Send(Hex("10 00  82 02 00 01  F0 00  D0 00")));
  ASSERT_TRUE(PumpUntil(s.Client, [&] { return seen.size() == 4; }));
  EXPECT_EQ(seen[3], "pingresp");
  EXPECT_TRUE(s.Log.Has("ACommand=15"));
  EXPECT_TRUE(s.Log.Has("ACommand=8"));
}

TEST(MqttClientTest, CorruptLengthBlocksUntilOverflowEmptiesTheBuffer) {
  TFakeSession s;
  int pings = 0;
  s.Client.OnPingResp = [&](TMQTTClient*) { ++pings; };
  // A length field that needs a fourth byte never parses; the garbage behind it piles up.
  TBytes garbage = Hex("30 FF FF FF 7F");
  garbage.resize(65536, 0x55);
  ASSERT_TRUE(s.Broker.Send(garbage));
  const std::string overflow =
      "[ERROR] MQTTClient.Process, Data overflow, ReceiveCount=65536, MaxCommandSize=65536";
  ASSERT_TRUE(PumpUntil(s.Client, [&] { return s.Log.Has(overflow); }));
  EXPECT_EQ(pings, 0);
  EXPECT_TRUE(s.Client.IsConnected());
  ASSERT_TRUE(s.Broker.Send(Hex("D0 00")));
  ASSERT_TRUE(PumpUntil(s.Client, [&] { return pings == 1; }));
}

// A packet too big to buffer is dropped whole: its own length says where the next one
// starts, so the bytes inside it (here a CONNACK refusing with code 5) are never read as
// packets. Sizes: one whose end comes within the read that overflows, and one whose end
// comes reads later.
TEST(MqttClientTest, OversizedPacketIsSkippedToTheEndItsLengthAnnounces) {
  for (const size_t payloadSize : {65590u, 70000u}) {
    SCOPED_TRACE(payloadSize);
    TFakeSession s;
    std::vector<std::string> seen;
    s.Client.OnConnAck = [&](TMQTTClient*, TConnectErrorCode c) {
      seen.push_back("connack " + std::to_string(int(c)));
    };
    s.Client.OnPingResp = [&](TMQTTClient*) { seen.push_back("pingresp"); };
    s.Client.OnPublishData = [&](TMQTTClient*, uint16_t, TQualityOfService, const std::string& t,
                                 const TBytes&) { seen.push_back("publish " + t); };
    TMQTTProtocolClient codec;
    TBytes payload(payloadSize, 0x00);
    for (size_t at = 0; at + 40 < payload.size(); at += 64)
      for (size_t copy : {at, at + 33}) {  // at both parities of the 2-byte packets zeros read as
        const TBytes connAck = Hex("20 02 00 05");
        std::copy(connAck.begin(), connAck.end(), payload.begin() + long(copy));
      }
    TBytes stream = Hex("20 02 00 00");  // the answer to the CONNECT
    const TBytes big = codec.CommandPublish("big", payload, 0, TQualityOfService::QoS0, false, false);
    stream.insert(stream.end(), big.begin(), big.end());
    const TBytes after = Hex("D0 00  30 05 00 01 74 68 69");
    stream.insert(stream.end(), after.begin(), after.end());
    ASSERT_TRUE(s.Broker.Send(stream));
    ASSERT_TRUE(PumpUntil(s.Client, [&] { return seen.size() >= 3; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"connack 0", "pingresp", "publish t"}));
    EXPECT_TRUE(s.Client.IsConnected());
    EXPECT_EQ(std::count_if(s.Log.Lines().begin(), s.Log.Lines().end(),
                            [](const std::string& l) { return l.find("Data overflow") != l.npos; }),
              1);
  }
}

// A CONNACK when no CONNECT waits for one is a broken stream: the session ends, and the
// code inside is no refusal.
TEST(MqttClientTest, StrayConnAckEndsTheSession) {
  TFakeSession s;
  std::vector<int> codes;
  s.Client.OnConnAck = [&](TMQTTClient*, TConnectErrorCode c) { codes.push_back(int(c)); };
  ASSERT_TRUE(s.Broker.Send(Hex("20 02 00 00  20 02 00 05")));
  ASSERT_TRUE(PumpUntil(s.Client, [&] { return !s.Client.IsConnected(); }));
  EXPECT_EQ(codes, std::vector<int>{0});
  EXPECT_TRUE(s.Log.Has("[EXCEPTION] MQTTClient.Process, Line=127.0.0.1:"));
  EXPECT_EQ(s.Client.LastFailure(), "Unexpected CONNACK, ErrorCode=5");
  EXPECT_TRUE(s.Broker.ClientClosed());
}

// A broker that closes is noticed by the next Process, without any send.
TEST(MqttClientTest, ClosedBrokerIsNoticedByProcess) {
  TFakeSession s;
  ASSERT_GE(s.Client.ReadyHandle(), 0);
  s.Broker.CloseClient();
  ASSERT_TRUE(PumpUntil(s.Client, [&] { return !s.Client.IsConnected(); }));
  EXPECT_NE(s.Client.LastFailure().find("connection closed by peer"), std::string::npos)
      << s.Client.LastFailure();
  EXPECT_EQ(s.Client.ReadyHandle(), -1);
}

// The socket's send against a peer that reads, but too slowly: the caller's limit ends it
// although every wait makes progress; against a peer that does not read, a stop request
// ends it within a slice.
TEST(MqttClientTest, SocketSendEndsAtItsLimitOrWhenCancelled) {
  test::TLoopbackListener listener;
  TMQTTSocket socket;
  ASSERT_TRUE(socket.Connect("127.0.0.1", listener.Port()));
  test::TTestFd peer = listener.Accept();
  ASSERT_TRUE(peer.Valid());
  std::atomic<bool> stop{false};
  std::thread slowReader([&] {
    char buf[4096];
    while (!stop) {
      if (::read(peer.Get(), buf, sizeof(buf)) <= 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a reader slower than the sender
    }
  });
  const TBytes big(64 * 1024 * 1024, 0x42);
  size_t written = 0;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(socket.SendBuffer(big.data(), big.size(), written, TDeadline(300)));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(socket.LastErrorDesc(), "send took too long");
  EXPECT_EQ(socket.LastError(), SocketErrorTimedOut());
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
  EXPECT_GE(took, std::chrono::milliseconds(290));  // the limit counts whole milliseconds
  EXPECT_LT(took, std::chrono::seconds(3));
  stop = true;
  ::shutdown(peer.Get(), SHUT_RD);
  slowReader.join();

  // Nobody reads any more: after the buffers fill, only the cancel check can end the send early.
  std::vector<std::chrono::steady_clock::time_point> asked;
  const auto cancel = [&] {
    asked.push_back(std::chrono::steady_clock::now());
    return asked.size() >= 20;
  };
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(socket.SendBuffer(big.data(), big.size(), written, TDeadline::Never(), cancel));
  took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(socket.LastError(), SocketErrorCanceled());
  EXPECT_EQ(asked.size(), 20u);
  EXPECT_LT(took, std::chrono::seconds(3));  // never the 5 s of a stall
  for (size_t i = 1; i < asked.size(); ++i)
    EXPECT_LT(asked[i] - asked[i - 1], std::chrono::milliseconds(250)) << "between checks " << i;
}

TEST(MqttClientTest, PacketIdentifiersWrapAt65534) {
  TFakeBroker broker;
  TMQTTClient client(Params(broker.Port()));
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(broker.Accept());
  std::atomic<bool> stop{false};
  // Drains what the client sends so its socket never fills.
  std::thread drain([&] {
    while (!stop && !broker.ClientClosed(50)) {
    }
  });
  uint16_t id = 0;
  bool ok = true;
  for (int i = 1; i <= 65534 && ok; ++i) {
    ok = client.Publish("t", "x", id);
    ok = ok && id == i;
  }
  EXPECT_TRUE(ok) << "at " << id;
  EXPECT_TRUE(client.Publish("t", "x", id));
  EXPECT_EQ(id, 1);
  stop = true;
  drain.join();
}

TEST(MqttClientTest, StalledBrokerMakesSendFailInBoundedTime) {
  TFakeBroker broker;  // accepts but never reads
  TMQTTClient client(Params(broker.Port()));
  TLog log;
  log.Attach(client);
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(broker.Accept());
  const TBytes big(32 * 1024 * 1024, 0x42);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Publish("t", big));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(60));
  EXPECT_FALSE(client.IsConnected());
  EXPECT_TRUE(log.Has("MQTTClient.SendData, Error writing to socket, ErrorCode="));
  EXPECT_TRUE(log.Has("LengthToWrite="));
}

}  // namespace
}  // namespace orvane
