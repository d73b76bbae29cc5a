#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/fd_helpers.h"

namespace orvane::test {

// A network converter on loopback for the TCP channel: accepts connections one after the
// other, records every byte received, and in frame mode cuts the host's data frames
// (extended "00 34" and legacy "00 31") from the stream and answers each with its
// acknowledgement unless told to withhold them. Stop switches it off (listener and
// connection closed), Start switches it on again on the same port; what it recorded and
// its settings stay, a frame cut short by the stop is forgotten.
// Threads: its own thread accepts and reads; the test thread calls everything else.
// FLock guards the recorded bytes, the frames and the current connection.
class TFakeConverter {
 public:
  enum class TMode { PassThrough, Frames };

  // On APort of 127.0.0.1, or on a port the kernel picks when it is 0.
  explicit TFakeConverter(TMode AMode, uint16_t APort = 0);
  ~TFakeConverter();
  TFakeConverter(const TFakeConverter&) = delete;
  TFakeConverter& operator=(const TFakeConverter&) = delete;

  uint16_t Port() const { return FPort; }
  // Switched off: nothing listens on the port, the host's connection is closed
  // (first the listener, so a host reconnecting at once is refused). Twice is harmless.
  void Stop();
  // Switched on again on the same port; a running converter is left alone.
  void Start();
  bool Running() const { return FThread.joinable(); }

  // Every received frame is answered (the default), or none.
  void SetAnswerAcks(bool AValue) { FAckLimit = AValue ? SIZE_MAX : 0; }
  // Only the first ACount frames are answered.
  void SetAckLimit(size_t ACount) { FAckLimit = ACount; }
  // The frame with this index (0 for the first received) goes unanswered; others are answered.
  void WithholdAckOf(size_t AIndex) { FWithheld = AIndex; }
  // Echo from now on: in frame mode each data frame is answered (after its acknowledgement)
  // by a data frame with the same payload, in pass-through mode every byte is sent back.
  void SetEcho(bool AValue) { FEcho = AValue; }
  // Sends raw bytes to the connected host (frames, garbage, a late acknowledgement).
  bool Send(const std::string& AData);
  // Closes the current connection from this side; a later connection is accepted again.
  void DropClient();

  // Connections accepted so far, over every start.
  size_t Connections();
  bool WaitForConnections(size_t ACount, int ATimeoutMs = 10000);
  bool WaitForBytes(size_t ACount, int ATimeoutMs = 10000);
  bool WaitForFrames(size_t ACount, int ATimeoutMs = 10000);
  std::string Received();
  std::vector<std::string> Frames();

  // A frame the converter sends: 00 32 00 type, 8 bytes not read by the host, 16-bit length, payload.
  static std::string DataFrame(uint8_t AType, const std::string& APayload);
  // An 8-byte frame of type 2 or 3.
  static std::string ShortFrame(uint8_t AType);
  // The acknowledgement of a host frame: its first two bytes, 00 00, line, mode, 00 01.
  static std::string AckFor(const std::string& AFrame);

 private:
  void Run();
  void CutFrames();

  const TMode FMode;
  TLoopbackListener FListener;
  const uint16_t FPort;
  std::atomic<size_t> FAckLimit{SIZE_MAX};
  std::atomic<size_t> FWithheld{SIZE_MAX};
  std::atomic<bool> FEcho{false};
  std::atomic<bool> FStop{false};
  std::mutex FLock;
  TTestFd FClient;
  size_t FConnections = 0;
  std::string FReceived;
  std::string FPending;
  std::vector<std::string> FFrames;
  std::thread FThread;
};

}  // namespace orvane::test
