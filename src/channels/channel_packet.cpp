#include "channels/channel_packet.h"

#include "channels/crypt_tool.h"

namespace orvane {

namespace {

void WriteLE16(uint16_t AValue, TBytes& AOut) {
  AOut.push_back(uint8_t(AValue));
  AOut.push_back(uint8_t(AValue >> 8));
}

bool ReadLE16(TByteView AData, size_t& AOffset, uint16_t& AValue) {
  if (AOffset > AData.size() || AData.size() - AOffset < 2) return false;
  AValue = uint16_t(AData[AOffset] | AData[AOffset + 1] << 8);
  AOffset += 2;
  return true;
}

}  // namespace

TBytes EncodeChannelPacket(const TPacketData& APacket, const std::string& AKey) {
  return EncodeChannelPacket(APacket, TCryptKey(AKey));
}

bool DecodeChannelPacket(TByteView AData, const std::string& AKey, TPacketData& APacket) {
  return DecodeChannelPacket(AData, TCryptKey(AKey), APacket);
}

TBytes EncodeChannelPacket(const TPacketData& APacket, const TCryptKey& AKey) {
  TBytes out;
  out.reserve(8 + APacket.ClientID.size() + APacket.Data.size());
  WriteLE16(uint16_t(APacket.ClientID.size()), out);
  out.insert(out.end(), APacket.ClientID.begin(), APacket.ClientID.end());
  out.push_back(APacket.BaudRate);
  out.push_back(APacket.BitData);
  out.push_back(APacket.ParityBits);
  out.push_back(APacket.StopBits);
  WriteLE16(uint16_t(APacket.Data.size()), out);
  const size_t dataAt = out.size();
  out.insert(out.end(), APacket.Data.begin(), APacket.Data.end());
  // Enciphered where it lies, so the data is copied once.
  AKey.Encrypt(out.data() + dataAt, uint32_t(APacket.Data.size()));
  return out;
}

bool DecodeChannelPacket(TByteView AData, const TCryptKey& AKey, TPacketData& APacket) {
  size_t offset = 0;
  uint16_t idLength = 0, dataLength = 0;
  if (!ReadLE16(AData, offset, idLength) || AData.size() - offset < size_t(idLength) + 4) return false;
  APacket.ClientID.assign(reinterpret_cast<const char*>(AData.data() + offset), idLength);
  offset += idLength;
  APacket.BaudRate = AData[offset++];
  APacket.BitData = AData[offset++];
  APacket.ParityBits = AData[offset++];
  APacket.StopBits = AData[offset++];
  if (!ReadLE16(AData, offset, dataLength) || AData.size() - offset < dataLength) return false;
  APacket.Data.assign(reinterpret_cast<const char*>(AData.data() + offset), dataLength);
  AKey.Decrypt(reinterpret_cast<uint8_t*>(APacket.Data.data()), uint32_t(APacket.Data.size()));
  return true;
}

}  // namespace orvane
