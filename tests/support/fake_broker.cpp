#include "support/fake_broker.h"

#include <poll.h>
#include <unistd.h>

namespace orvane::test {

bool TFakeBroker::Accept(int ATimeoutMs) {
  FClient = FListener.Accept(ATimeoutMs);
  return FClient.Valid();
}

std::vector<uint8_t> TFakeBroker::ReadPacket(int ATimeoutMs) {
  std::string head;
  if (!ReadExactlyFd(FClient.Get(), 1, head, ATimeoutMs)) return {};
  size_t length = 0, multiplier = 1;
  for (int i = 0; i < 4; ++i) {
    std::string b;
    if (!ReadExactlyFd(FClient.Get(), 1, b, ATimeoutMs)) return {};
    head += b;
    length += (uint8_t(b[0]) & 0x7F) * multiplier;
    multiplier *= 128;
    if (!(uint8_t(b[0]) & 0x80)) break;
  }
  std::string body;
  if (length > 0 && !ReadExactlyFd(FClient.Get(), length, body, ATimeoutMs)) return {};
  const std::string all = head + body;
  return std::vector<uint8_t>(all.begin(), all.end());
}

bool TFakeBroker::Send(const std::vector<uint8_t>& AData) {
  return WriteAllFd(FClient.Get(), std::string(AData.begin(), AData.end()));
}

bool TFakeBroker::ClientClosed(int ATimeoutMs) {
  pollfd p{FClient.Get(), POLLIN, 0};
  for (;;) {
    if (::poll(&p, 1, ATimeoutMs) <= 0) return false;
    char buf[256];
    const ssize_t n = ::read(FClient.Get(), buf, sizeof(buf));
    if (n == 0) return true;
    if (n < 0) return true;  // reset by the client also means it is gone
  }
}

}  // namespace orvane::test
