#include "support/fake_converter.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

#include "support/wait_for.h"

namespace orvane::test {

TFakeConverter::TFakeConverter(TMode AMode, uint16_t APort)
    : FMode(AMode), FListener(16, APort), FPort(FListener.Port()) {
  FThread = std::thread([this] { Run(); });
}

TFakeConverter::~TFakeConverter() {
  Stop();
}

void TFakeConverter::Stop() {
  if (!FThread.joinable()) return;
  FStop = true;
  FThread.join();
  FListener.Close();
  std::lock_guard lock(FLock);
  FClient.Reset();
  FPending.clear();
}

void TFakeConverter::Start() {
  if (FThread.joinable()) return;
  FListener = TLoopbackListener(16, FPort);
  FStop = false;
  FThread = std::thread([this] { Run(); });
}

void TFakeConverter::Run() {
  char buf[65536];
  while (!FStop) {
    int client;
    {
      std::lock_guard lock(FLock);
      client = FClient.Get();
    }
    if (client < 0) {
      TTestFd accepted = FListener.Accept(20);
      if (!accepted.Valid()) continue;
      const int one = 1;
      ::setsockopt(accepted.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::lock_guard lock(FLock);
      FClient = std::move(accepted);
      ++FConnections;
      FPending.clear();
      continue;
    }
    pollfd pfd{client, POLLIN, 0};
    if (::poll(&pfd, 1, 20) <= 0) continue;
    std::lock_guard lock(FLock);
    if (FClient.Get() != client) continue;  // dropped meanwhile
    const ssize_t n = ::recv(client, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      FClient.Reset();
      continue;
    }
    FReceived.append(buf, static_cast<size_t>(n));
    if (FMode == TMode::PassThrough && FEcho) WriteAllFd(client, std::string(buf, static_cast<size_t>(n)));
    if (FMode == TMode::Frames) {
      FPending.append(buf, static_cast<size_t>(n));
      CutFrames();
    }
  }
}

// Host frames: extended has its 16-bit length at offset 22 of a 24-byte header, legacy at
// offset 14 of a 16-byte header. Anything else at the front is dropped byte by byte.
void TFakeConverter::CutFrames() {
  for (;;) {
    if (FPending.size() < 2) return;
    size_t header;
    if (FPending[0] == '\x00' && FPending[1] == '\x34')
      header = 24;
    else if (FPending[0] == '\x00' && FPending[1] == '\x31')
      header = 16;
    else {
      FPending.erase(0, 1);
      continue;
    }
    if (FPending.size() < header) return;
    const size_t length =
        static_cast<uint8_t>(FPending[header - 2]) * 256u + static_cast<uint8_t>(FPending[header - 1]);
    if (FPending.size() < header + length) return;
    std::string frame = FPending.substr(0, header + length);
    FPending.erase(0, header + length);
    // Acknowledgement and echo in one write, as a converter answering at once sends them.
    const size_t index = FFrames.size();
    std::string reply;
    if (index < FAckLimit && index != FWithheld) reply += AckFor(frame);
    if (FEcho) reply += DataFrame(0, frame.substr(header));
    if (!reply.empty()) WriteAllFd(FClient.Get(), reply);
    FFrames.push_back(std::move(frame));
  }
}

bool TFakeConverter::Send(const std::string& AData) {
  std::lock_guard lock(FLock);
  return FClient.Valid() && WriteAllFd(FClient.Get(), AData);
}

void TFakeConverter::DropClient() {
  std::lock_guard lock(FLock);
  FClient.Reset();
}

size_t TFakeConverter::Connections() {
  std::lock_guard lock(FLock);
  return FConnections;
}

bool TFakeConverter::WaitForConnections(size_t ACount, int ATimeoutMs) {
  return WaitFor(
      [&] {
        std::lock_guard lock(FLock);
        return FConnections >= ACount;
      },
      std::chrono::milliseconds(ATimeoutMs));
}

bool TFakeConverter::WaitForBytes(size_t ACount, int ATimeoutMs) {
  return WaitFor(
      [&] {
        std::lock_guard lock(FLock);
        return FReceived.size() >= ACount;
      },
      std::chrono::milliseconds(ATimeoutMs));
}

bool TFakeConverter::WaitForFrames(size_t ACount, int ATimeoutMs) {
  return WaitFor(
      [&] {
        std::lock_guard lock(FLock);
        return FFrames.size() >= ACount;
      },
      std::chrono::milliseconds(ATimeoutMs));
}

std::string TFakeConverter::Received() {
  std::lock_guard lock(FLock);
  return FReceived;
}

std::vector<std::string> TFakeConverter::Frames() {
  std::lock_guard lock(FLock);
  return FFrames;
}

std::string TFakeConverter::DataFrame(uint8_t AType, const std::string& APayload) {
  std::string frame("\x00\x32\x00", 3);
  frame += static_cast<char>(AType);
  frame += std::string("\x11\x22\x33\x44\x55\x66\x77\x88", 8);
  frame += static_cast<char>((APayload.size() >> 8) & 0xFF);
  frame += static_cast<char>(APayload.size() & 0xFF);
  return frame + APayload;
}

std::string TFakeConverter::ShortFrame(uint8_t AType) {
  std::string frame("\x00\x32\x00", 3);
  frame += static_cast<char>(AType);
  return frame + std::string("\xAA\xBB\xCC\xDD", 4);
}

std::string TFakeConverter::AckFor(const std::string& AFrame) {
  std::string ack = AFrame.substr(0, 2);
  ack += std::string("\x00\x00", 2);
  ack += AFrame[2];
  ack += AFrame[3];
  ack += std::string("\x00\x01", 2);
  return ack;
}

}  // namespace orvane::test
