#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/fd_helpers.h"

namespace orvane::test {

// A scripted MQTT broker on loopback for what a real one will not do (corrupt
// length fields, packets split byte by byte, floods of garbage, refusals).
// The test drives it step by step from its own thread: the kernel completes a
// client's connect before Accept is called, so no thread of its own is needed.
class TFakeBroker {
 public:
  TFakeBroker() = default;
  uint16_t Port() const { return FListener.Port(); }
  bool Accept(int ATimeoutMs = 10000);
  // One whole MQTT packet from the client (first byte, length, body); empty when none came in time.
  std::vector<uint8_t> ReadPacket(int ATimeoutMs = 10000);
  bool Send(const std::vector<uint8_t>& AData);
  // True when the client closed its side (end of stream) within the timeout.
  bool ClientClosed(int ATimeoutMs = 10000);
  void CloseClient() { FClient.Reset(); }

 private:
  TLoopbackListener FListener;
  TTestFd FClient;
};

}  // namespace orvane::test
