#include "channels/lum_tcp_server.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "channels/ip485_frame.h"
#include "platform/deadline.h"
#include "platform/printable_text.h"

namespace orvane {

namespace {

std::string Hex4(uint16_t AValue) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(AValue));
  return text;
}

// Bytes of the buffer shown when it is blocked by something that is not a frame.
constexpr size_t FOREIGN_SHOWN = 16;

// Read, change and write back one port mode word; a change made meanwhile on another
// thread is not lost.
template <typename TChange>
void UpdateWord(std::atomic<uint16_t>& AWord, TChange AChange) {
  uint16_t word = AWord.load();
  while (!AWord.compare_exchange_weak(word, AChange(word))) {
  }
}

}  // namespace

// No socket library start is needed here: POSIX sockets are ready in every process, so
// construction cannot fail.
TLumTcpServer::TLumTcpServer(const TLumPortParams& APortParams, TOnReceiveDataEvent AOnReceiveData,
                             TChannelOptions AOptions)
    : FOptions(std::move(AOptions)),
      FTicks(FOptions.Ticks ? FOptions.Ticks : DefaultTickSource()),
      // A test's clock drives the pause in whole milliseconds; the system's own
      // has a finer reading of the same clock.
      FFineClock(IsSystemTickSource(FTicks)),
      FTimeout(FTicks),
      FPortParams(APortParams),
      FOnReceiveData(std::move(AOnReceiveData)),
      FNewMode(APortParams.PortNumber != IP485_LEGACY_PORT),
      FSendGap(std::min(APortParams.SendPause, SEND_PAUSE_MAX_MS)),
      FReceiveArea(65535) {}

// The socket closes itself, without a log line.
TLumTcpServer::~TLumTcpServer() = default;

void TLumTcpServer::WriteLog(const std::string& AMessage, bool ADebug) {
  if (FWriteLog) FWriteLog(AMessage, ADebug);
}

void TLumTcpServer::LogError(const std::string& AError) {
  Last_IP_Error = AError;
  WriteLog("ERROR=" + Last_IP_Error, false);
}

bool TLumTcpServer::Open(const std::string& IP, uint16_t Port, uint8_t Line) {
  const bool opened = Connect(IP, Port, Line);
  FResume.Opened(opened);
  return opened;
}

bool TLumTcpServer::Connect(const std::string& IP, uint16_t Port, uint8_t Line) {
  Line_Number = Line;
  WriteLog("Connecting to TCP...", false);
  Socket_Handle.Close();
  // The "WSA" names in the error texts are the ones log readers know; the numbers are errno values.
  if (!Socket_Handle.Create()) {
    LogError("Socket Initialize Error WSACODE=" + std::to_string(Socket_Handle.LastError()));
    return false;
  }

  std::string host = IP;
  host.erase(std::remove(host.begin(), host.end(), ' '), host.end());
  TIPv4Address address;
  if (!ParseIPv4(host, address)) {
    // A resolver that does not answer, or a stop request, ends like a name that is unknown.
    if (!ResolveIPv4Bounded(host, address, RESOLVE_TIMEOUT_MS, FOptions.CancelCheck, nullptr, nullptr,
                            FOptions.Resolve)) {
      LogError("DNS address not resolved=" + PrintableText(host));
      return false;
    }
    const auto& b = address.Bytes;
    WriteLog("DNS name resolved - OK, Name=" + PrintableText(host) + ", IP=" + std::to_string(b[0]) + "." +
                 std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]),
             false);
  }
  Last_IP_Error.clear();

  if (!Socket_Handle.Connect(address, Port, CONNECT_TIMEOUT_MS, FOptions.CancelCheck)) {
    LogError("Error Connect " + PrintableText(IP) + " wsaERROR=" + std::to_string(Socket_Handle.LastError()));
    return false;
  }
  // Without it a converter that vanished (a cut cable) is never noticed while nothing is sent;
  // the connection works without it, so a refusal is only a detail line.
  if (!Socket_Handle.SetKeepAlive(KEEPALIVE_IDLE_S, KEEPALIVE_INTERVAL_S, KEEPALIVE_COUNT))
    WriteLog("Keep-alive not set, errno=" + std::to_string(Socket_Handle.LastError()), true);
  // Nagle off: a request sent right after an answer must not wait for the acknowledgement of
  // the previous segment. Without it the connection still works, only slower.
  Socket_Handle.SetNoDelay(true);
  // A new stream never continues the old one: a frame cut short by the previous connection
  // would swallow the first bytes of this one.
  IP_RS485_Incoming_Buffer.clear();
  FForeignReported = false;
  FActive = true;
  WriteLog("Connect - OK", false);
  return true;
}

bool TLumTcpServer::Close() {
  FActive = false;
  if (Socket_Handle.IsValid()) {
    WriteLog("Disconnected", false);
    Socket_Handle.Close();
  }
  return true;
}

bool TLumTcpServer::ReceiveBytes(std::string& Data, uint32_t Timeout, uint16_t MaxCount) {
  Data.clear();
  if (!Socket_Handle.IsValid()) return false;
  size_t remaining = std::min<size_t>(MaxCount, FReceiveArea.size());
  const TDeadline deadline(Timeout, FTicks);
  while (remaining > 0) {
    // Received straight away: asking how much is waiting first would cost a call per read.
    const long got = Socket_Handle.RecvWaiting(FReceiveArea.data(), remaining);
    if (got > 0) {
      Data.append(FReceiveArea.data(), static_cast<size_t>(got));
      remaining -= static_cast<size_t>(got);
      continue;
    }
    // What has come goes out now; waiting longer would only add latency. An end of the
    // connection behind it is met again by the next call.
    if (!Data.empty()) break;
    // A converter that closed would otherwise look idle forever; a port that only
    // receives would never reconnect.
    if (got < 0) {
      Last_IP_Error = "RECV CODE=0 WSA=" + std::to_string(Socket_Handle.LastError());
      FPeerClosed = true;
      return false;
    }
    const uint32_t left = deadline.RemainingMs();
    if (left == 0) break;
    const int ready = Socket_Handle.WaitReadable(left);
    if (ready < 0) return false;
    if (ready == 0) break;
  }
  return true;
}

bool TLumTcpServer::FrameWaiting() const {
  if (FPortParams.Protocol == PROTOCOL_DIRECT) return false;
  size_t size = 0;
  std::string_view payload;
  return ParseFrame(IP_RS485_Incoming_Buffer, size, payload) == TIp485Parse::Frame;
}

std::optional<uint32_t> TLumTcpServer::NextDeadlineMs() const {
  if (FActive && FrameWaiting()) return 0;
  return std::nullopt;
}

bool TLumTcpServer::ReadString(std::string& Readed_For_485_Data, uint32_t AWaitMs) {
  Readed_For_485_Data.clear();
  std::string bytes;
  // A frame already held (it came in behind an acknowledgement) is not kept waiting.
  if (!ReceiveBytes(bytes, FrameWaiting() ? 0 : AWaitMs, READ_MAX_COUNT)) {
    if (FPeerClosed) {
      // Down, so the bridge reopens the connection on its schedule.
      FPeerClosed = false;
      LogError(Last_IP_Error);
      Close();
    }
    return false;
  }
  if (!bytes.empty()) WriteLog(TrafficLine("IN RAW", bytes, LOG_HEX_MAX_BYTES), true);
  // In pass-through the buffer is always empty here: the bytes move in without a copy.
  if (IP_RS485_Incoming_Buffer.empty()) {
    IP_RS485_Incoming_Buffer.swap(bytes);
  } else {
    IP_RS485_Incoming_Buffer += bytes;
  }

  if (FPortParams.Protocol == PROTOCOL_DIRECT) {
    Readed_For_485_Data = std::move(IP_RS485_Incoming_Buffer);
    IP_RS485_Incoming_Buffer.clear();
    return true;
  }

  TIp485Parse stoppedAt = TIp485Parse::Incomplete;
  const bool cut = CutIp485Frames(IP_RS485_Incoming_Buffer, Readed_For_485_Data, &stoppedAt);
  if (cut) FForeignReported = false;
  // An acknowledgement at the front is expected while waiting for it; anything else that is
  // not a frame holds back all data behind it, so say so once.
  if (stoppedAt == TIp485Parse::NotAFrame && !FInWaitAnswer) {
    if (!FForeignReported) {
      FForeignReported = true;
      WriteLog("IP485: no frame at the start of the receive buffer, " +
                   TrafficLine("held", std::string_view(IP_RS485_Incoming_Buffer).substr(0, FOREIGN_SHOWN),
                               LOG_HEX_MAX_BYTES) +
                   (IP_RS485_Incoming_Buffer.size() > FOREIGN_SHOWN
                        ? " ... (" + std::to_string(IP_RS485_Incoming_Buffer.size()) + " bytes held)"
                        : std::string()),
               false);
    }
    // The acknowledgement wait bounds the buffer itself, after looking for its acknowledgement.
    BoundIncomingBuffer();
  }
  return cut;
}

void TLumTcpServer::BoundIncomingBuffer() {
  if (IP_RS485_Incoming_Buffer.size() < IP485_MAX_HELD) return;
  size_t size = 0;
  std::string_view payload;
  if (ParseFrame(IP_RS485_Incoming_Buffer, size, payload) != TIp485Parse::NotAFrame) return;
  // Scanning forward for a frame start could cut inside a payload, so all of it goes; the
  // connection stays, and frames that follow are delivered again.
  LogError("IP485: no frame in " + std::to_string(IP_RS485_Incoming_Buffer.size()) +
           " bytes received, receive buffer emptied");
  std::string().swap(IP_RS485_Incoming_Buffer);
  FForeignReported = false;
}

void TLumTcpServer::ReadData() {
  ReadAndDeliver(READ_TIMEOUT_MS);
}

void TLumTcpServer::ReadAndDeliver(uint32_t AWaitMs) {
  std::string data;
  if (ReadString(data, AWaitMs) && !data.empty() && FOnReceiveData) FOnReceiveData(data);
}

uint64_t TLumTcpServer::SendPauseUs() const {
  if (!FSent || FSendGap == 0) return 0;
  if (FFineClock) {
    const uint64_t gap = uint64_t{FSendGap} * 1000;
    const uint64_t since = MonotonicMicros() - FLastSendUs;
    return since < gap ? gap - since : 0;
  }
  // Ticks count whole milliseconds: one more keeps the real pause at FSendGap or above.
  const uint32_t since = FTicks() - FLastSendTick;
  return since <= FSendGap ? uint64_t{FSendGap + 1 - since} * 1000 : 0;
}

uint32_t TLumTcpServer::SendPauseMs() const {
  // Rounded down: the worker's wait in whole milliseconds never makes the pause
  // longer, and the part of a millisecond left is waited out by the send itself.
  return static_cast<uint32_t>(SendPauseUs() / 1000);
}

void TLumTcpServer::WaitSendGap() {
  if (const uint64_t pause = SendPauseUs()) SleepUs(pause);
}

bool TLumTcpServer::SendBytes(const std::string& ABytes) {
  const TDeadline deadline(SEND_TIMEOUT_MS, FTicks);
  WriteLog(TrafficLine("OUT RAW", ABytes, LOG_HEX_MAX_BYTES), true);
  size_t done = 0;
  for (;;) {
    WaitSendGap();
    // Short waits for room, so the time limit and a stop request are looked at often.
    const uint32_t wait = std::min(CANCEL_SLICE_MS, deadline.RemainingMs());
    const long sent = Socket_Handle.SendSome(ABytes.data() + done, ABytes.size() - done, wait);
    if (sent < 0) {
      LogError("SEND 1 CODE=" + std::to_string(sent) + " WSA=" + std::to_string(Socket_Handle.LastError()));
      return false;
    }
    if (sent > 0) {
      // The pause before the next send is not waited out here: the worker waits for it
      // between passes (SendPauseMs) and reads meanwhile.
      FLastSendTick = FTicks();
      if (FFineClock) FLastSendUs = MonotonicMicros();
      FSent = true;
    }
    done += static_cast<size_t>(sent);
    if (done == ABytes.size()) return true;
    // A partial send counts as 0 here, as does a wait that found no room.
    const int error = sent == 0 ? Socket_Handle.LastError() : 0;
    if (Cancelled()) {
      LogError("SEND 2 CODE=0 WSA=" + std::to_string(SocketErrorCanceled()));
      return false;
    }
    if (deadline.ElapsedMs() > SEND_TIMEOUT_MS) {
      LogError("SEND 2 CODE=0 WSA=" + std::to_string(error));
      return false;
    }
  }
}

bool TLumTcpServer::Send_String(const std::string& AData, uint16_t, bool Will_Be_Delay_Between_Chars) {
  const size_t start = FResume.Start(AData);
  if (FPortParams.Protocol != PROTOCOL_IP485) {
    // One piece: a failure leaves nothing to continue.
    WriteLog("Sending " + BytesToHexCapped(AData), true);
    const bool sent = SendBytes(AData);
    FResume.Finished(AData, sent, 0);
    return sent;
  }
  if (start > 0)
    WriteLog("Resending from byte " + std::to_string(start) + " of " + std::to_string(AData.size()) +
                 ": the frames before it were acknowledged",
             true);
  // The length field is 16 bits: a longer block goes out as several frames, each
  // acknowledged before the next.
  const std::string_view data(AData);
  size_t offset = start;
  bool sent = true;
  do {
    const std::string_view chunk = data.substr(offset, IP485_MAX_PAYLOAD);
    if (!SendFrame(chunk, Will_Be_Delay_Between_Chars)) {
      sent = false;
      break;
    }
    offset += chunk.size();
  } while (offset < data.size());
  FResume.Finished(AData, sent, offset);
  return sent;
}

bool TLumTcpServer::SendFrame(std::string_view APayload, bool Will_Be_Delay_Between_Chars) {
  TIp485FrameHeader header;
  header.NewMode = FNewMode;
  header.LineNumber = Line_Number;
  header.TransferMode = Ip485TransferMode(Will_Be_Delay_Between_Chars);
  header.SendPortMode = FSendPortMode;
  header.RecvPortMode = FRecvPortMode;
  header.ReadIntervalTimeout = FPortParams.ReadIntervalTimeout;
  WriteLog("Sending SM=" + Hex4(header.SendPortMode) + "  RM=" + Hex4(header.RecvPortMode) + "  " +
               BytesToHexCapped(APayload),
           true);
  if (!SendBytes(BuildIp485Frame(header, APayload))) return false;
  // "qwitance" is spelt as log readers know it; keep it.
  if (!WaitAnswer(BuildIp485Ack(FNewMode, Line_Number, header.TransferMode), ANSWER_TIMEOUT_MS)) {
    WriteLog("ERROR=No qwitance", false);
    // Acknowledgements carry nothing that tells them apart: one that comes late would pass
    // for the next frame's, which then lingers in front of the converter's data. A fresh
    // connection starts the pairing anew.
    Close();
    return false;
  }
  WriteLog("OK, qwitance received", true);
  return true;
}

bool TLumTcpServer::WaitAnswer(const std::string& AExpected, uint32_t ATimeout) {
  FTimeout.Restart();
  FInWaitAnswer = true;
  bool found = false;
  for (;;) {
    // Wakes as soon as bytes arrive; data frames among them reach the port meanwhile.
    const uint32_t elapsed = FTimeout.ElapsedMilliseconds();
    ReadAndDeliver(elapsed >= ATimeout ? 0 : std::min(CANCEL_SLICE_MS, ATimeout - elapsed));
    if (TakeIp485Ack(IP_RS485_Incoming_Buffer, AExpected)) {
      found = true;
      break;
    }
    BoundIncomingBuffer();
    // A connection that ended cannot bring the acknowledgement any more; a stop request
    // ends the wait as its time limit would.
    if (!FActive || Cancelled() || FTimeout.ElapsedMilliseconds() >= ATimeout) {
      IP_RS485_Incoming_Buffer.clear();
      break;
    }
  }
  FInWaitAnswer = false;
  FForeignReported = false;
  return found;
}

bool TLumTcpServer::Set_Port_Send_Baud(int32_t Speed) {
  UpdateWord(FSendPortMode, [Speed](uint16_t AWord) { return Ip485ApplySpeed(AWord, Speed); });
  return true;
}

bool TLumTcpServer::Set_Port_Recv_Baud(int32_t Speed) {
  UpdateWord(FRecvPortMode, [Speed](uint16_t AWord) { return Ip485ApplySpeed(AWord, Speed); });
  return true;
}

void TLumTcpServer::SetSendParams(TTCP_Port_Parity aParity, uint8_t aDataBits, TTCP_Port_StopBits aStopBits) {
  UpdateWord(FSendPortMode, [&](uint16_t AWord) {
    EncodeLineParams(AWord, aParity, aDataBits, aStopBits, FNewMode);
    return AWord;
  });
}

void TLumTcpServer::SetReciveParams(TTCP_Port_Parity aParity, uint8_t aDataBits,
                                    TTCP_Port_StopBits aStopBits) {
  UpdateWord(FRecvPortMode, [&](uint16_t AWord) {
    EncodeLineParams(AWord, aParity, aDataBits, aStopBits, FNewMode);
    return AWord;
  });
}

void TLumTcpServer::Set_Wait_Answer_Timeout(uint16_t AValue) {
  FWaitAnswerTimeout = AValue;
}

}  // namespace orvane
