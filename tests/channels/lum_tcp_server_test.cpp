#include "channels/lum_tcp_server.h"

#include "channels/channel_factory.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "support/fake_converter.h"
#include "support/hex.h"
#include "support/stuck_resolver.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

using test::TFakeConverter;
using test::WaitFor;

std::string Hex(const std::string& AText) {
  return test::HexString(AText);
}

// The real tick counter plus an offset the test can push forward, so a test can let
// seven seconds "pass" at once while sockets and sleeps stay real.
class TJumpingTicks {
 public:
  TTickSource Source() const {
    return [offset = FOffset] { return GetTickCount() + offset->load(); };
  }
  void Jump(uint32_t AMs) { *FOffset += AMs; }

 private:
  std::shared_ptr<std::atomic<uint32_t>> FOffset = std::make_shared<std::atomic<uint32_t>>(0);
};

struct TLogLine {
  std::string Text;
  bool Debug;
};

// Collects what the channel hands out; safe to read while a worker thread writes.
class TRecorder {
 public:
  void Log(const std::string& AMessage, bool ADebug) {
    std::lock_guard lock(FLock);
    FLog.push_back({AMessage, ADebug});
  }
  void Receive(const std::string& AData) {
    std::lock_guard lock(FLock);
    FChunks.push_back(AData);
  }
  std::vector<TLogLine> Lines() {
    std::lock_guard lock(FLock);
    return FLog;
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const auto& line : Lines()) texts.push_back(line.Text);
    return texts;
  }
  std::vector<std::string> Chunks() {
    std::lock_guard lock(FLock);
    return FChunks;
  }
  std::string AllReceived() {
    std::string all;
    for (const auto& c : Chunks()) all += c;
    return all;
  }
  // The first line that starts with APrefix, or nullptr.
  std::unique_ptr<TLogLine> Find(const std::string& APrefix) {
    for (const auto& line : Lines())
      if (line.Text.rfind(APrefix, 0) == 0) return std::make_unique<TLogLine>(line);
    return nullptr;
  }
  void Clear() {
    std::lock_guard lock(FLock);
    FLog.clear();
    FChunks.clear();
  }

 private:
  std::mutex FLock;
  std::vector<TLogLine> FLog;
  std::vector<std::string> FChunks;
};

TLumPortParams Params(const char* AProtocol, int32_t APortNumber = 5000) {
  TLumPortParams params;
  params.Init();
  params.Protocol = AProtocol;
  params.PortNumber = APortNumber;
  params.IpAddress = "127.0.0.1";
  params.LineNumber = 1;
  params.ReadIntervalTimeout = 4;
  return params;
}

// Channels are built as the bridges build them, through the factory with options.
class TTcpChannel : public ::testing::Test {
 protected:
  IServerInterfacePtr MakeChannel(const TLumPortParams& AParams, TChannelOptions AOptions = {}) {
    AOptions.Ticks = FTicks.Source();
    auto channel = CreateServerChannel(
        AParams, [this](const std::string& AData) { FRec.Receive(AData); }, std::move(AOptions));
    EXPECT_NE(dynamic_cast<TLumTcpServer*>(channel.get()), nullptr);
    channel->SetOnWriteLog([this](const std::string& AMessage, bool ADebug) { FRec.Log(AMessage, ADebug); });
    return channel;
  }
  // Reads until the receive callback has seen ACount bytes in all.
  bool ReadUntil(IServerInterface& AChannel, size_t ACount) {
    return WaitFor([&] {
      AChannel.ReadData();
      return FRec.AllReceived().size() >= ACount;
    });
  }
  // Reads until the log holds a line starting with APrefix.
  bool ReadUntilLogged(IServerInterface& AChannel, const std::string& APrefix) {
    return WaitFor([&] {
      AChannel.ReadData();
      return FRec.Find(APrefix) != nullptr;
    });
  }
  void ExpectLine(const std::string& AText, bool ADebug) {
    auto line = FRec.Find(AText);
    ASSERT_TRUE(line) << "missing log line: " << AText;
    EXPECT_EQ(line->Text, AText);
    EXPECT_EQ(line->Debug, ADebug) << AText;
  }

  TJumpingTicks FTicks;
  TRecorder FRec;
};

// ---- connection ----

TEST_F(TTcpChannel, OpenAndCloseLogTheirSteps) {
  TFakeConverter converter(TFakeConverter::TMode::PassThrough);
  auto channel = MakeChannel(Params(PROTOCOL_DIRECT));
  EXPECT_FALSE(channel->GetActive());
  channel->Close();  // never opened: nothing to say
  EXPECT_TRUE(FRec.Lines().empty());
  channel->ReadData();  // no socket: nothing read, nothing raised
  EXPECT_TRUE(FRec.Lines().empty());
  EXPECT_FALSE(channel->Send_String("x", 0, false));
  EXPECT_EQ(channel->GetLastIpError(), "SEND 1 CODE=-1 WSA=" + std::to_string(EBADF));
  FRec.Clear();

  // Blanks around a dotted address are removed before use.
  ASSERT_TRUE(channel->Open(" 127.0.0. 1 ", converter.Port(), 1));
  EXPECT_TRUE(channel->GetActive());
  EXPECT_TRUE(converter.WaitForConnections(1));
  EXPECT_EQ(FRec.Texts(), (std::vector<std::string>{"Connecting to TCP...", "Connect - OK"}));
  EXPECT_EQ(channel->GetLastIpError(), "");
  // Keep-alive, read back from the socket: a converter that vanishes is noticed while idle.
  for (const auto& [level, option, value] :
       {std::tuple{SOL_SOCKET, SO_KEEPALIVE, 1}, std::tuple{int(IPPROTO_TCP), TCP_KEEPIDLE, 10},
        std::tuple{int(IPPROTO_TCP), TCP_KEEPINTVL, 5}, std::tuple{int(IPPROTO_TCP), TCP_KEEPCNT, 3}}) {
    int got = -1;
    socklen_t length = sizeof got;
    ASSERT_EQ(::getsockopt(channel->ReadyHandle(), level, option, &got, &length), 0);
    EXPECT_EQ(got, value) << option;
  }

  // A second Open closes the first socket without a word about it.
  ASSERT_TRUE(channel->Open("localhost", converter.Port(), 1));
  EXPECT_TRUE(converter.WaitForConnections(2));
  const auto texts = FRec.Texts();
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_EQ(texts[2], "Connecting to TCP...");
  EXPECT_EQ(texts[3], "DNS name resolved - OK, Name=localhost, IP=127.0.0.1");
  EXPECT_EQ(texts[4], "Connect - OK");
  for (const auto& line : FRec.Lines()) EXPECT_FALSE(line.Debug) << line.Text;

  channel->Close();
  EXPECT_FALSE(channel->GetActive());
  EXPECT_EQ(FRec.Texts().back(), "Disconnected");
}

TEST_F(TTcpChannel, OpenFailuresGiveTheirErrorText) {
  const uint16_t closedPort = test::UnusedLoopbackPort();
  struct TCase {
    std::string Ip;
    uint16_t Port;
    std::string Error;
  };
  const TCase cases[] = {
      {"127.0.0.1", closedPort, "Error Connect 127.0.0.1 wsaERROR=111"},
      // The failure text keeps the address as given, blanks included.
      {" 127.0.0.1 ", closedPort, "Error Connect  127.0.0.1  wsaERROR=111"},
      {"127.0.0.1", 0, "Error Connect 127.0.0.1 wsaERROR=111"},
      {"no-such-host.invalid", 80, "DNS address not resolved=no-such-host.invalid"},
      {" no such host.invalid ", 80, "DNS address not resolved=nosuchhost.invalid"},
      {"   ", 80, "DNS address not resolved="},
  };
  for (const auto& c : cases) {
    FRec.Clear();
    auto channel = MakeChannel(Params(PROTOCOL_IP485));
    EXPECT_FALSE(channel->Open(c.Ip, c.Port, 3)) << c.Ip;
    EXPECT_FALSE(channel->GetActive());
    EXPECT_EQ(channel->GetLastIpError(), c.Error);
    const auto lines = FRec.Lines();
    ASSERT_EQ(lines.size(), 2u) << c.Ip;
    EXPECT_EQ(lines[0].Text, "Connecting to TCP...");
    EXPECT_EQ(lines[1].Text, "ERROR=" + c.Error);
    EXPECT_FALSE(lines[1].Debug);
  }
}

TEST_F(TTcpChannel, ConnectToASilentPeerIsCancelled) {
  // Backlog 0 with its queue filled: further SYNs are dropped and a connect hangs.
  test::TLoopbackListener listener(0);
  std::vector<TTcpSocket> fillers;
  for (;;) {
    TTcpSocket filler;
    ASSERT_TRUE(filler.Create());
    if (!filler.Connect(TIPv4Address{{127, 0, 0, 1}}, listener.Port(), 300)) break;
    fillers.push_back(std::move(filler));
    ASSERT_LT(fillers.size(), 16u) << "the listen queue never filled";
  }

  // The stop request comes with the options, or later through SetCancelCheck.
  for (const bool throughOptions : {true, false}) {
    SCOPED_TRACE(throughOptions ? "options" : "SetCancelCheck");
    FRec.Clear();
    std::atomic<bool> stop{false};
    TChannelOptions options;
    if (throughOptions) options.CancelCheck = [&] { return stop.load(); };
    auto channel = MakeChannel(Params(PROTOCOL_DIRECT), std::move(options));
    if (!throughOptions) channel->SetCancelCheck([&] { return stop.load(); });
    auto opened =
        std::async(std::launch::async, [&] { return channel->Open("127.0.0.1", listener.Port(), 1); });
    ASSERT_TRUE(WaitFor([&] { return FRec.Find("Connecting to TCP...") != nullptr; }));
    stop = true;
    ASSERT_EQ(opened.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(opened.get());
    EXPECT_EQ(channel->GetLastIpError(), "Error Connect 127.0.0.1 wsaERROR=" + std::to_string(ECANCELED));
  }
}

// ---- pass-through ----

TEST_F(TTcpChannel, PassThroughSendsAndDeliversBytesUnchanged) {
  TFakeConverter converter(TFakeConverter::TMode::PassThrough);
  auto channel = MakeChannel(Params(PROTOCOL_DIRECT));
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
  ASSERT_TRUE(converter.WaitForConnections(1));
  FRec.Clear();

  const std::string out = Hex("00 41 FF");
  EXPECT_TRUE(channel->Send_String(out, 0, false));
  ExpectLine("Sending 00 41 FF", true);
  ExpectLine("OUT RAW: [3] 00 41 FF", true);
  ASSERT_TRUE(converter.WaitForBytes(3));
  EXPECT_EQ(converter.Received(), out);

  // Idle: nothing delivered.
  channel->ReadData();
  EXPECT_TRUE(FRec.Chunks().empty());

  // 600 waiting bytes come out as 250, 250 and 100.
  std::string in;
  for (int i = 0; i < 600; ++i) in += static_cast<char>(i * 7);
  ASSERT_TRUE(converter.Send(in));
  ASSERT_TRUE(ReadUntil(*channel, 600));
  const auto chunks = FRec.Chunks();
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].size(), 250u);
  EXPECT_EQ(chunks[1].size(), 250u);
  EXPECT_EQ(chunks[2].size(), 100u);
  EXPECT_EQ(FRec.AllReceived(), in);
  ExpectLine("IN RAW: [250] " + BytesToHex(in.substr(0, 250)), true);
  ExpectLine("IN RAW: [100] " + BytesToHex(in.substr(500)), true);
}

TEST_F(TTcpChannel, SendToAPeerThatClosedFails) {
  TFakeConverter converter(TFakeConverter::TMode::PassThrough);
  auto channel = MakeChannel(Params(PROTOCOL_DIRECT));
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
  ASSERT_TRUE(converter.WaitForConnections(1));
  converter.DropClient();

  // No read in between: the first send may still be taken by the kernel, the peer's
  // reset fails a later one.
  EXPECT_TRUE(WaitFor([&] { return !channel->Send_String("x", 0, false); }));
  const std::string error = channel->GetLastIpError();
  EXPECT_TRUE(error == "SEND 1 CODE=-1 WSA=" + std::to_string(EPIPE) ||
              error == "SEND 1 CODE=-1 WSA=" + std::to_string(ECONNRESET))
      << error;
  ExpectLine("ERROR=" + error, false);
  EXPECT_TRUE(channel->GetActive());  // only Close changes it
}

TEST_F(TTcpChannel, ReadingNoticesAConverterThatClosedAndDeliversItsLastBytes) {
  for (const char* protocol : {PROTOCOL_DIRECT, PROTOCOL_IP485}) {
    SCOPED_TRACE(protocol);
    FRec.Clear();
    const bool direct = std::string(protocol) == PROTOCOL_DIRECT;
    TFakeConverter converter(direct ? TFakeConverter::TMode::PassThrough : TFakeConverter::TMode::Frames);
    auto channel = MakeChannel(Params(protocol));
    ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
    ASSERT_TRUE(converter.WaitForConnections(1));
    ASSERT_TRUE(converter.Send(direct ? "bye" : TFakeConverter::DataFrame(0, "bye")));
    converter.DropClient();

    ASSERT_TRUE(WaitFor([&] {
      channel->ReadData();
      return !channel->GetActive();
    }));
    EXPECT_EQ(FRec.AllReceived(), "bye");
    EXPECT_EQ(channel->GetLastIpError(), "RECV CODE=0 WSA=0");
    ExpectLine("ERROR=RECV CODE=0 WSA=0", false);
    ExpectLine("Disconnected", false);

    // The bridge's reopen connects again.
    ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
    EXPECT_TRUE(converter.WaitForConnections(2));
  }
}

TEST_F(TTcpChannel, SendThatMakesNoProgressGivesUpAfterThirtySeconds) {
  test::TLoopbackListener listener;
  const int small = 4096;
  ::setsockopt(listener.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  auto channel = MakeChannel(Params(PROTOCOL_DIRECT));
  ASSERT_TRUE(channel->Open("127.0.0.1", listener.Port(), 1));
  test::TTestFd peer = listener.Accept();  // never reads
  ASSERT_TRUE(peer.Valid());

  const std::string block(16 << 20, 'z');
  auto sent = std::async(std::launch::async, [&] { return channel->Send_String(block, 0, false); });
  // Once the buffers are full, let the time run out.
  while (sent.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) FTicks.Jump(30001);
  EXPECT_FALSE(sent.get());
  // The error number is that of the last wait for room, or 0 after a partial send.
  EXPECT_EQ(channel->GetLastIpError().rfind("SEND 2 CODE=0 WSA=", 0), 0u) << channel->GetLastIpError();
  ExpectLine("ERROR=" + channel->GetLastIpError(), false);
}

// ---- IP485 ----

TEST_F(TTcpChannel, Ip485FrameOfTheWorkedExampleIsAcknowledged) {
  TFakeConverter converter(TFakeConverter::TMode::Frames);
  auto channel = MakeChannel(Params(PROTOCOL_IP485, 5000));
  channel->Set_Port_Send_Baud(9600);
  channel->Set_Port_Recv_Baud(9600);
  channel->SetSendParams(tpp_None, 8, tps_One);
  channel->SetReciveParams(tpp_None, 8, tps_One);
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
  FRec.Clear();

  EXPECT_TRUE(channel->Send_String("AB", 0, false));
  const std::string expected =
      Hex("00 34"  // extended framing
          "01"     // line 1
          "07"     // transfer mode: no delay between characters
          "00 06"  // sending mode: 9600 baud, 8 data bits, no parity, one stop bit
          "00 06"  // receiving mode, the same
          "00 04"  // ReadIntervalTimeout
          "00 00 00 01 00 00 00 00 FF FF 00 01"
          "00 02"    // payload length
          "41 42");  // payload
  ASSERT_EQ(converter.Frames().size(), 1u);
  EXPECT_EQ(BytesToHex(converter.Frames()[0]), BytesToHex(expected));
  EXPECT_EQ(FRec.Texts(), (std::vector<std::string>{
                              "Sending SM=0006  RM=0006  41 42", "OUT RAW: [26] " + BytesToHex(expected),
                              "IN RAW: [8] 00 34 00 00 01 07 00 01", "OK, qwitance received"}));
}

TEST_F(TTcpChannel, Ip485LegacyFramingOnPort4660) {
  TFakeConverter converter(TFakeConverter::TMode::Frames);
  auto channel = MakeChannel(Params(PROTOCOL_IP485, 4660));
  channel->Set_Port_Send_Baud(115200);
  channel->Set_Port_Recv_Baud(9600);
  channel->SetSendParams(tpp_Even, 7, tps_Two);  // stop bits are not part of the legacy word
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 2));
  FRec.Clear();

  EXPECT_TRUE(channel->Send_String(Hex("01 02 03"), 0, true));
  const std::string expected =
      Hex("00 31"           // legacy framing
          "02"              // line 2
          "03"              // transfer mode: keep the delay between characters
          "BE"              // sending mode: 115200 (14), 7 data bits, even parity
          "06"              // receiving mode: 9600
          "00 00 00 00 00"  // fixed
          "C0 00 01"        // fixed
          "00 03"           // payload length
          "01 02 03");      // payload
  ASSERT_EQ(converter.Frames().size(), 1u);
  EXPECT_EQ(BytesToHex(converter.Frames()[0]), BytesToHex(expected));
  ExpectLine("Sending SM=00BE  RM=0006  01 02 03", true);
  ExpectLine("IN RAW: [8] 00 31 00 00 02 03 00 01", true);
  ExpectLine("OK, qwitance received", true);
}

TEST_F(TTcpChannel, Ip485WithoutAcknowledgementTimesOutOnTheInjectedClock) {
  TFakeConverter converter(TFakeConverter::TMode::Frames);
  converter.SetAnswerAcks(false);
  auto channel = MakeChannel(Params(PROTOCOL_IP485));
  channel->Set_Wait_Answer_Timeout(100);  // has no effect on the wait
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));

  auto sent = std::async(std::launch::async, [&] { return channel->Send_String("AB", 0, false); });
  ASSERT_TRUE(converter.WaitForFrames(1));
  // Data that arrives during the wait reaches the port before Send_String returns.
  ASSERT_TRUE(converter.Send(TFakeConverter::DataFrame(0, "hello")));
  ASSERT_TRUE(WaitFor([&] { return FRec.AllReceived() == "hello"; }));
  // Bytes that are no frame, and half a frame: both go when the wait gives up.
  ASSERT_TRUE(
      converter.Send(Hex("00 32 00 05 EE EE EE EE") + TFakeConverter::DataFrame(1, "lost").substr(0, 10)));
  ASSERT_TRUE(WaitFor([&] { return FRec.Find("IN RAW: [18]") != nullptr; }));
  EXPECT_EQ(sent.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);

  FTicks.Jump(7000);
  ASSERT_EQ(sent.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(sent.get());
  ExpectLine("ERROR=No qwitance", false);
  EXPECT_EQ(FRec.Find("OK, qwitance"), nullptr);

  // The connection is given up with the acknowledgement, and what was held with it: a
  // reopened one delivers the next frame on its own.
  EXPECT_FALSE(channel->GetActive());
  ExpectLine("Disconnected", false);
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
  ASSERT_TRUE(converter.WaitForConnections(2));
  ASSERT_TRUE(converter.Send(TFakeConverter::DataFrame(0, "next")));
  ASSERT_TRUE(ReadUntil(*channel, 9));
  EXPECT_EQ(FRec.AllReceived(), "hellonext");
}

// Acknowledgements of one line and mode are all alike: one that comes after its wait gave
// up would pass for the next frame's, whose own would then linger in front of the
// converter's answers. The connection ends with the missed acknowledgement instead.
TEST_F(TTcpChannel, Ip485ALateAcknowledgementNeverPassesForTheNextFrames) {
  TFakeConverter converter(TFakeConverter::TMode::Frames);
  converter.SetAnswerAcks(false);
  auto channel = MakeChannel(Params(PROTOCOL_IP485));
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
  auto sent = std::async(std::launch::async, [&] { return channel->Send_String("A", 0, false); });
  ASSERT_TRUE(converter.WaitForFrames(1));
  while (sent.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) FTicks.Jump(7000);
  EXPECT_FALSE(sent.get());

  // The acknowledgement comes late; whatever the converter still sends there is not read.
  converter.Send(TFakeConverter::AckFor(converter.Frames()[0]));
  EXPECT_FALSE(channel->GetActive());
  EXPECT_FALSE(channel->Send_String("B", 0, false));
  EXPECT_EQ(FRec.Find("OK, qwitance"), nullptr);
  EXPECT_EQ(converter.Frames().size(), 1u);

  // A reopened connection waits for the acknowledgement of its own frame.
  converter.SetAnswerAcks(true);
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
  EXPECT_TRUE(channel->Send_String("B", 0, false));
  ASSERT_EQ(converter.Frames().size(), 2u);
  EXPECT_EQ(converter.Frames()[1].substr(24), "B");
}

TEST_F(TTcpChannel, Ip485FramesSplitOrBehindForeignBytes) {
  TFakeConverter converter(TFakeConverter::TMode::Frames);
  auto channel = MakeChannel(Params(PROTOCOL_IP485));
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
  ASSERT_TRUE(converter.WaitForConnections(1));

  // A frame in two writes is delivered once whole; a type-2 frame delivers nothing.
  const std::string frame = TFakeConverter::DataFrame(0, "ABC");
  ASSERT_TRUE(converter.Send(frame.substr(0, 15)));
  ASSERT_TRUE(ReadUntilLogged(*channel, "IN RAW: [15]"));
  EXPECT_TRUE(FRec.Chunks().empty());
  ASSERT_TRUE(converter.Send(frame.substr(15) + TFakeConverter::ShortFrame(2)));
  ASSERT_TRUE(ReadUntil(*channel, 3));
  EXPECT_EQ(FRec.Chunks(), std::vector<std::string>{"ABC"});

  // Two frames in one read: one callback.
  ASSERT_TRUE(converter.Send(TFakeConverter::DataFrame(0, "12") + TFakeConverter::DataFrame(1, "34")));
  ASSERT_TRUE(ReadUntil(*channel, 7));
  EXPECT_EQ(FRec.Chunks().back(), "1234");

  // Foreign bytes hold back what follows them, with one log line about it...
  FRec.Clear();
  ASSERT_TRUE(converter.Send("garbage" + TFakeConverter::DataFrame(0, "held")));
  ASSERT_TRUE(ReadUntilLogged(*channel, "IP485: no frame"));
  for (int i = 0; i < 3; ++i) channel->ReadData();
  EXPECT_TRUE(FRec.Chunks().empty());
  int reports = 0;
  for (const auto& line : FRec.Lines())
    if (line.Text.rfind("IP485: no frame", 0) == 0) {
      ++reports;
      EXPECT_FALSE(line.Debug);
      EXPECT_NE(line.Text.find("67 61 72 62 61 67 65"), std::string::npos) << line.Text;
    }
  EXPECT_EQ(reports, 1);
  // ...until the next acknowledgement wait discards them up to its acknowledgement.
  EXPECT_TRUE(channel->Send_String("x", 0, false));
  ASSERT_TRUE(converter.Send(TFakeConverter::DataFrame(0, "after")));
  ASSERT_TRUE(ReadUntil(*channel, 5));
  EXPECT_EQ(FRec.AllReceived(), "after");
}

TEST_F(TTcpChannel, Ip485PayloadBeyond64KiBGoesInSeveralFrames) {
  TFakeConverter converter(TFakeConverter::TMode::Frames);
  auto channel = MakeChannel(Params(PROTOCOL_IP485));
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));

  std::string data(2 * 65535 + 10, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
  EXPECT_TRUE(channel->Send_String(data, 0, false));
  const auto frames = converter.Frames();
  ASSERT_EQ(frames.size(), 3u);
  std::string joined;
  for (const auto& f : frames) joined += f.substr(24);
  EXPECT_EQ(BytesToHex(frames[0].substr(22, 2)), "FF FF");
  EXPECT_EQ(BytesToHex(frames[2].substr(22, 2)), "00 0A");
  EXPECT_EQ(joined, data);
  int acks = 0;
  for (const auto& text : FRec.Texts()) acks += text == "OK, qwitance received";
  EXPECT_EQ(acks, 3);
}

TEST_F(TTcpChannel, Ip485LongPayloadFailsWhenOneFrameIsNotAcknowledged) {
  TFakeConverter converter(TFakeConverter::TMode::Frames);
  converter.SetAckLimit(1);
  auto channel = MakeChannel(Params(PROTOCOL_IP485));
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));

  const std::string data(2 * 65535 + 10, 'q');
  auto sent = std::async(std::launch::async, [&] { return channel->Send_String(data, 0, false); });
  ASSERT_TRUE(converter.WaitForFrames(2));
  // The wait for the second acknowledgement may start a little after the frame arrived.
  while (sent.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) FTicks.Jump(7000);
  EXPECT_FALSE(sent.get());
  ExpectLine("ERROR=No qwitance", false);
  EXPECT_EQ(converter.Frames().size(), 2u);  // the third part was never sent
}

// Line settings arrive from the main thread while the worker sends frames.
TEST_F(TTcpChannel, Ip485LineSettingsFromAnotherThreadReachTheFrames) {
  TFakeConverter converter(TFakeConverter::TMode::Frames);
  auto channel = MakeChannel(Params(PROTOCOL_IP485));
  channel->Set_Port_Send_Baud(9600);
  channel->Set_Port_Recv_Baud(9600);
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));

  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::thread worker([&] {
    while (!stop)
      if (!channel->Send_String("data", 0, false)) ++failures;
  });
  for (int i = 0; i < 40; ++i) {
    channel->Set_Port_Send_Baud(i % 2 ? 9600 : 115200);
    channel->SetReciveParams(i % 2 ? tpp_None : tpp_Odd, 8, tps_One);
    channel->Set_Wait_Answer_Timeout(static_cast<uint16_t>(i));
    // Let a frame or two go out between changes.
    if (i % 4 == 0) {
      EXPECT_TRUE(converter.WaitForFrames(converter.Frames().size() + 1));
    }
  }
  channel->Set_Port_Send_Baud(57600);
  channel->SetReciveParams(tpp_Space, 7, tps_Two);
  const auto sawFinal = [&] {
    const auto frames = converter.Frames();
    return !frames.empty() && BytesToHex(frames.back().substr(4, 4)) == "00 0C 02 F6";
  };
  EXPECT_TRUE(WaitFor(sawFinal));
  stop = true;
  worker.join();
  EXPECT_EQ(failures, 0);
  // Every word sent was one the main thread had set.
  for (const auto& f : converter.Frames()) {
    const std::string sm = BytesToHex(f.substr(4, 2)), rm = BytesToHex(f.substr(6, 2));
    EXPECT_TRUE(sm == "00 06" || sm == "00 0E" || sm == "00 0C") << sm;
    EXPECT_TRUE(rm == "00 06" || rm == "00 86" || rm == "02 F6") << rm;
  }
}

// ---- faults of the IP485 receive buffer and of split blocks ----

TEST_F(TTcpChannel, Ip485ReconnectStartsWithAnEmptyReceiveBuffer) {
  // The converter's connection ends in the middle of a frame; the reopen comes after the
  // read noticed the end, or straight away (the bridge's path after a failed send).
  for (const bool noticedByRead : {true, false}) {
    SCOPED_TRACE(noticedByRead ? "noticed by a read" : "reopened at once");
    FRec.Clear();
    TFakeConverter converter(TFakeConverter::TMode::Frames);
    auto channel = MakeChannel(Params(PROTOCOL_IP485));
    ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
    ASSERT_TRUE(converter.WaitForConnections(1));
    // 17 bytes of a frame that announces 16 payload bytes.
    ASSERT_TRUE(converter.Send(TFakeConverter::DataFrame(0, std::string(16, 'X')).substr(0, 17)));
    ASSERT_TRUE(ReadUntilLogged(*channel, "IN RAW: [17]"));
    converter.DropClient();
    if (noticedByRead) {
      ASSERT_TRUE(WaitFor([&] {
        channel->ReadData();
        return !channel->GetActive();
      }));
    } else {
      channel->Close();
    }

    ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
    ASSERT_TRUE(converter.WaitForConnections(2));
    ASSERT_TRUE(
        converter.Send(TFakeConverter::DataFrame(0, "hello") + TFakeConverter::DataFrame(0, "world")));
    ASSERT_TRUE(ReadUntil(*channel, 10));
    EXPECT_EQ(FRec.AllReceived(), "helloworld");
  }
}

TEST_F(TTcpChannel, Ip485ForeignBytesAreDroppedAtTheBoundAndTheConnectionStays) {
  TFakeConverter converter(TFakeConverter::TMode::Frames);
  auto channel = MakeChannel(Params(PROTOCOL_IP485));
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
  ASSERT_TRUE(converter.WaitForConnections(1));

  // A garbage stream on a port that only receives: held until the bound, then dropped.
  const std::string garbage(TLumTcpServer::IP485_MAX_HELD, '\x5A');
  ASSERT_TRUE(converter.Send(garbage.substr(0, 1000)));
  ASSERT_TRUE(ReadUntilLogged(*channel, "IP485: no frame at the start"));
  ASSERT_TRUE(converter.Send(garbage.substr(1000)));
  ASSERT_TRUE(ReadUntilLogged(*channel, "ERROR="));
  ExpectLine("ERROR=IP485: no frame in 65536 bytes received, receive buffer emptied", false);
  EXPECT_TRUE(FRec.Chunks().empty());

  // Frames after it come through on the same connection.
  ASSERT_TRUE(converter.Send(TFakeConverter::DataFrame(0, "after")));
  ASSERT_TRUE(ReadUntil(*channel, 5));
  EXPECT_EQ(FRec.AllReceived(), "after");
  EXPECT_TRUE(channel->GetActive());
  EXPECT_EQ(converter.WaitForConnections(2, 0), false);
  int errors = 0;
  for (const auto& text : FRec.Texts()) errors += text.rfind("ERROR=", 0) == 0;
  EXPECT_EQ(errors, 1);
}

TEST_F(TTcpChannel, Ip485ResendOfASplitBlockStartsAtTheFirstUnacknowledgedFrame) {
  TFakeConverter converter(TFakeConverter::TMode::Frames);
  converter.WithholdAckOf(1);
  auto channel = MakeChannel(Params(PROTOCOL_IP485));
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));

  std::string data(2 * 65535 + 10, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 253);
  auto sent = std::async(std::launch::async, [&] { return channel->Send_String(data, 0, false); });
  ASSERT_TRUE(converter.WaitForFrames(2));
  while (sent.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) FTicks.Jump(7000);
  EXPECT_FALSE(sent.get());

  // The bridge's answer to a failed send: close, open, the same bytes again.
  channel->Close();
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
  EXPECT_TRUE(channel->Send_String(data, 0, false));
  ExpectLine("Resending from byte 65535 of 131080: the frames before it were acknowledged", true);

  // The far end: the first frame once, the unacknowledged second again, then the third.
  const auto frames = converter.Frames();
  ASSERT_EQ(frames.size(), 4u);
  const auto payload = [&](size_t AIndex) { return frames[AIndex].substr(24); };
  EXPECT_EQ(payload(0), data.substr(0, 65535));
  EXPECT_EQ(payload(1), data.substr(65535, 65535));
  EXPECT_EQ(payload(0) + payload(2) + payload(3), data);

  // The same bytes once more are a new block, sent whole.
  EXPECT_TRUE(channel->Send_String(data, 0, false));
  EXPECT_EQ(converter.Frames().size(), 7u);
}

// ---- every wait ends on a stop request ----

using test::TStuckResolver;

TEST_F(TTcpChannel, EveryWaitOnASilentPeerEndsOnAStopRequest) {
  struct TCase {
    const char* Name;
    std::function<bool(IServerInterface&)> Wait;  // the call that waits; false is expected
    std::string Error;                            // the "ERROR=" line it ends with
  };
  TFakeConverter silent(TFakeConverter::TMode::Frames);  // never acknowledges
  silent.SetAnswerAcks(false);
  test::TLoopbackListener reader;  // never reads
  const int small = 4096;
  ::setsockopt(reader.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const std::string block(16 << 20, 'z');
  const TCase cases[] = {
      {"acknowledgement",
       [&](IServerInterface& AChannel) {
         return AChannel.Open("127.0.0.1", silent.Port(), 1) && AChannel.Send_String("AB", 0, false);
       },
       "ERROR=No qwitance"},
      {"room to send",
       [&](IServerInterface& AChannel) {
         return AChannel.Open("127.0.0.1", reader.Port(), 1) && AChannel.Send_String(block, 0, false);
       },
       "ERROR=SEND 2 CODE=0 WSA=" + std::to_string(ECANCELED)},
      {"name", [&](IServerInterface& AChannel) { return AChannel.Open("slow.example", 4001, 1); },
       "ERROR=DNS address not resolved=slow.example"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    FRec.Clear();
    TStuckResolver resolver;
    std::atomic<bool> stop{false};
    TChannelOptions options;
    options.CancelCheck = [&] { return stop.load(); };
    options.Resolve = resolver.Function();
    const bool ip485 = std::string(c.Name) == "acknowledgement";
    auto channel = MakeChannel(Params(ip485 ? PROTOCOL_IP485 : PROTOCOL_DIRECT), std::move(options));
    auto waited = std::async(std::launch::async, [&] { return c.Wait(*channel); });
    // Each wait is seconds long or endless; give it time to begin, then stop it.
    EXPECT_EQ(waited.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    const auto stopped = std::chrono::steady_clock::now();
    stop = true;
    ASSERT_EQ(waited.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(2));
    EXPECT_FALSE(waited.get());
    ExpectLine(c.Error, false);
  }
}

// ---- waiting instead of sleeping ----

TEST_F(TTcpChannel, ReadDataDeliversWhatIsWaitingWithoutWaitingOutItsTime) {
  TFakeConverter converter(TFakeConverter::TMode::PassThrough);
  // A clock that never moves: a read that waited for its 10 ms to pass would never return.
  auto channel = CreateServerChannel(
      Params(PROTOCOL_DIRECT), [this](const std::string& AData) { FRec.Receive(AData); },
      [&] {
        TChannelOptions frozen;
        frozen.Ticks = [] { return 1000u; };
        return frozen;
      }());
  EXPECT_EQ(channel->ReadyHandle(), -1);
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
  ASSERT_TRUE(converter.WaitForConnections(1));
  ASSERT_GE(channel->ReadyHandle(), 0);
  EXPECT_FALSE(channel->NextDeadlineMs());

  // A worker waits on the handle instead of polling the channel; the read then returns as
  // soon as nothing more is waiting, not after its 10 ms (the fastest of ten shows it, a
  // busy machine may slow some).
  auto fastest = std::chrono::steady_clock::duration::max();
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(converter.Send("abc"));
    ASSERT_GT(PollOne(channel->ReadyHandle(), POLLIN, TDeadline(10000)), 0);
    const auto start = std::chrono::steady_clock::now();
    channel->ReadData();
    fastest = std::min(fastest, std::chrono::steady_clock::now() - start);
    ASSERT_EQ(FRec.AllReceived().size(), 3u * (i + 1));
  }
  EXPECT_LT(fastest, std::chrono::milliseconds(5));

  // Idle: about 10 ms, nothing delivered.
  const auto start = std::chrono::steady_clock::now();
  channel->ReadData();
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));
  EXPECT_EQ(FRec.Chunks().size(), 10u);

  channel->Close();
  EXPECT_EQ(channel->ReadyHandle(), -1);
}

TEST_F(TTcpChannel, ConsecutiveSendsStayTenMillisecondsApart) {
  TFakeConverter converter(TFakeConverter::TMode::PassThrough);
  auto channel = MakeChannel(Params(PROTOCOL_DIRECT));
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(channel->Send_String("x", 0, false));
  // Four pauses between five sends; the last send leaves at once.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
  EXPECT_TRUE(converter.WaitForBytes(5));
}

// On the system's own clock the pause is the gap itself, not a tick more: what
// is left right after a send is at most the gap, and the next send still waits it out.
TEST_F(TTcpChannel, OnTheSystemClockThePauseIsTheGapNotATickMore) {
  TFakeConverter converter(TFakeConverter::TMode::PassThrough);
  auto channel = CreateServerChannel(
      Params(PROTOCOL_DIRECT), [this](const std::string& AData) { FRec.Receive(AData); }, TChannelOptions{});
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
  const auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(channel->Send_String("x", 0, false));
  EXPECT_LE(channel->SendPauseMs(), TLumTcpServer::SEND_GAP_MS);
  ASSERT_TRUE(channel->Send_String("y", 0, false));
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(TLumTcpServer::SEND_GAP_MS));
  EXPECT_TRUE(converter.WaitForBytes(2));
}

TEST_F(TTcpChannel, SendPauseTellsWhatIsLeftOfThePortsPauseAfterASend) {
  struct TCase {
    uint32_t Since;
    uint32_t Pause;
  };
  struct TPortCase {
    uint16_t SendPause;            // the port's setting
    std::vector<TCase> AfterSend;  // what is left of it so long after a send
  };
  // Whole milliseconds: one more than the pause keeps the real pause at the setting or above.
  const TPortCase ports[] = {
      {SEND_PAUSE_DEFAULT_MS, {{0, 11}, {4, 7}, {10, 1}, {11, 0}, {1000, 0}}},
      {0, {{0, 0}, {1, 0}}},  // no pause at all: the next send may leave at once
      {3, {{0, 4}, {3, 1}, {4, 0}}},
      {5000, {{0, 1001}, {1000, 1}, {1001, 0}}},  // beyond the editor's range: its largest
  };
  for (const TPortCase& port : ports) {
    SCOPED_TRACE(port.SendPause);
    TFakeConverter converter(TFakeConverter::TMode::PassThrough);
    // A clock that moves only when told: the pause is read off it, not off real time.
    auto now = std::make_shared<std::atomic<uint32_t>>(5000);
    TChannelOptions options;
    options.Ticks = [now] { return now->load(); };
    TLumPortParams params = Params(PROTOCOL_DIRECT);
    params.SendPause = port.SendPause;
    auto channel = CreateServerChannel(
        params, [this](const std::string& AData) { FRec.Receive(AData); }, std::move(options));
    ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
    EXPECT_EQ(channel->SendPauseMs(), 0u);  // nothing sent yet

    ASSERT_TRUE(channel->Send_String("x", 0, false));
    for (const TCase c : port.AfterSend) {
      *now = 5000 + c.Since;
      EXPECT_EQ(channel->SendPauseMs(), c.Pause) << c.Since << " ms after the send";
    }
    // Once the pause is over a send goes out at once and starts the next pause.
    ASSERT_TRUE(channel->Send_String("y", 0, false));
    EXPECT_EQ(channel->SendPauseMs(), port.AfterSend.front().Pause);
    EXPECT_TRUE(converter.WaitForBytes(2));
    EXPECT_EQ(converter.Received(), "xy");
  }
}

// A request that follows an answer must not wait for the acknowledgement of the last segment.
TEST_F(TTcpChannel, TheConverterSocketSendsWithoutNagle) {
  TFakeConverter converter(TFakeConverter::TMode::PassThrough);
  auto channel = MakeChannel(Params(PROTOCOL_IP485));
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
  int noDelay = 0;
  socklen_t size = sizeof noDelay;
  ASSERT_EQ(::getsockopt(channel->ReadyHandle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
  EXPECT_NE(noDelay, 0);
}

TEST_F(TTcpChannel, ReadWaitingTakesAtMostOneReadsWorthPerCall) {
  TFakeConverter converter(TFakeConverter::TMode::PassThrough);
  auto channel = MakeChannel(Params(PROTOCOL_DIRECT));
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
  ASSERT_TRUE(converter.WaitForConnections(1));
  std::string in;
  for (int i = 0; i < 600; ++i) in += static_cast<char>(i * 7);
  ASSERT_TRUE(converter.Send(in));
  ASSERT_TRUE(WaitFor([&] {
    channel->ReadWaiting();
    return FRec.AllReceived().size() >= in.size();
  }));
  EXPECT_EQ(FRec.AllReceived(), in);
  for (const std::string& chunk : FRec.Chunks()) EXPECT_LE(chunk.size(), TLumTcpServer::READ_MAX_COUNT);
}

TEST_F(TTcpChannel, Ip485FrameBehindTheAcknowledgementIsDueAtOnce) {
  TFakeConverter converter(TFakeConverter::TMode::Frames);
  converter.SetEcho(true);  // acknowledgement and answer in one go
  auto channel = MakeChannel(Params(PROTOCOL_IP485));
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
  ASSERT_TRUE(channel->Send_String("ping", 0, false));
  // The answer came in the same read as the acknowledgement and waits behind it; no
  // socket event will announce it, so it is due now, and the read does not wait.
  EXPECT_TRUE(FRec.AllReceived().empty());
  EXPECT_EQ(channel->NextDeadlineMs(), std::optional<uint32_t>(0));
  EXPECT_EQ(PollOne(channel->ReadyHandle(), POLLIN, TDeadline(0)), 0);
  channel->ReadData();
  EXPECT_EQ(FRec.AllReceived(), "ping");
  EXPECT_FALSE(channel->NextDeadlineMs());
}

TEST_F(TTcpChannel, DebugLinesOfABigBlockAreCapped) {
  TFakeConverter converter(TFakeConverter::TMode::PassThrough);
  auto channel = MakeChannel(Params(PROTOCOL_DIRECT));
  ASSERT_TRUE(channel->Open("127.0.0.1", converter.Port(), 1));
  FRec.Clear();
  const std::string block(1 << 20, '\x41');
  ASSERT_TRUE(channel->Send_String(block, 0, false));
  const std::string shown = BytesToHex(block.substr(0, LOG_HEX_MAX_BYTES)) + " ... (1048576 bytes)";
  EXPECT_EQ(FRec.Texts(), (std::vector<std::string>{"Sending " + shown, "OUT RAW: [1048576] " + shown}));
}

}  // namespace
}  // namespace orvane
