// libFuzzer harness for the channel packet carried in MQTT payloads: any bytes
// give no crash and no read past the payload.
#include <cstddef>
#include <cstdint>

#include "channels/channel_packet.h"

using namespace orvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  TPacketData packet;
  DecodeChannelPacket(TByteView(AData, ASize), "1234567890", packet);
  return 0;
}
