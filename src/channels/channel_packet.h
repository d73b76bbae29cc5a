#pragma once

#include <cstdint>
#include <string>

#include "channels/crypt_tool.h"
#include "mqtt/data_utils.h"

namespace orvane {

// The content of one channel packet, as published on the port's topic. Data is
// serial data, so it stays a byte string from the port to the packet and back.
struct TPacketData {
  std::string ClientID;
  uint8_t BaudRate = 0;
  uint8_t BitData = 0;
  uint8_t ParityBits = 0;
  uint8_t StopBits = 0;
  std::string Data;  // clear text; enciphered only on the wire
};

// Wire form: client id length (16-bit little-endian), client id, the four line-setting
// bytes, data length (16-bit little-endian), data enciphered with AKey. The caller keeps
// the client id and data below 65536 bytes each.
TBytes EncodeChannelPacket(const TPacketData& APacket, const std::string& AKey);
TBytes EncodeChannelPacket(const TPacketData& APacket, const TCryptKey& AKey);

// False, with APacket in an unspecified state, when the bytes are cut short; bytes after
// the data are ignored.
bool DecodeChannelPacket(TByteView AData, const std::string& AKey, TPacketData& APacket);
bool DecodeChannelPacket(TByteView AData, const TCryptKey& AKey, TPacketData& APacket);

}  // namespace orvane
