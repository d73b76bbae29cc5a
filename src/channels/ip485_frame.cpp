#include "channels/ip485_frame.h"

#include <cassert>

namespace orvane {

namespace {

void PutU16(std::string& AOut, uint16_t AValue) {
  AOut += static_cast<char>(AValue >> 8);
  AOut += static_cast<char>(AValue & 0xFF);
}

uint8_t ByteAt(std::string_view AData, size_t AIndex) {
  return static_cast<uint8_t>(AData[AIndex]);
}

}  // namespace

uint8_t Ip485SpeedCode(int32_t ASpeed) {
  switch (ASpeed) {
    case 100: return 0;
    case 300: return 1;
    case 600: return 2;
    case 1200: return 3;
    case 2400: return 4;
    case 4800: return 5;
    case 9600: return 6;
    case 14400: return 7;
    case 19200: return 8;
    case 28800: return 9;
    case 38400: return 10;
    case 56000: return 11;
    case 57600: return 12;
    case 76800: return 13;
    case 115200: return 14;
    case 230400: return 15;
    default: return 0;
  }
}

uint16_t Ip485ApplySpeed(uint16_t AWord, int32_t ASpeed) {
  return static_cast<uint16_t>((AWord & ~0x000Fu) | Ip485SpeedCode(ASpeed));
}

void EncodeLineParams(uint16_t& AWord, uint8_t aParity, uint8_t aDataBits, uint8_t aStopBits, bool ANewMode) {
  unsigned word = AWord & ~0x0010u;
  if (aDataBits == 7) word |= 0x0010u;
  word = (word & ~0x00E0u) + (static_cast<unsigned>(aParity) << 5);
  if (ANewMode) word = (word & ~0x0300u) + (static_cast<unsigned>(aStopBits) << 8);
  AWord = static_cast<uint16_t>(word);
}

std::string BuildIp485Frame(const TIp485FrameHeader& AHeader, std::string_view APayload) {
  assert(APayload.size() <= IP485_MAX_PAYLOAD);
  const auto length = static_cast<uint16_t>(APayload.size());
  std::string frame;
  if (AHeader.NewMode) {
    frame.reserve(IP485_EXTENDED_HEADER + APayload.size());
    frame += '\x00';
    frame += '\x34';
    frame += static_cast<char>(AHeader.LineNumber);
    frame += static_cast<char>(AHeader.TransferMode);
    PutU16(frame, AHeader.SendPortMode);
    PutU16(frame, AHeader.RecvPortMode);
    PutU16(frame, AHeader.ReadIntervalTimeout);
    PutU16(frame, 0x0000);
    PutU16(frame, 0x0001);
    PutU16(frame, 0x0000);
    PutU16(frame, 0x0000);
    PutU16(frame, 0xFFFF);
    PutU16(frame, 0x0001);
  } else {
    frame.reserve(IP485_LEGACY_HEADER + APayload.size());
    frame += '\x00';
    frame += '\x31';
    frame += static_cast<char>(AHeader.LineNumber);
    frame += static_cast<char>(AHeader.TransferMode);
    frame += static_cast<char>(AHeader.SendPortMode & 0xFF);
    frame += static_cast<char>(AHeader.RecvPortMode & 0xFF);
    frame.append(5, '\x00');
    frame += '\xC0';
    PutU16(frame, 0x0001);
  }
  PutU16(frame, length);
  frame.append(APayload);
  return frame;
}

std::string BuildIp485Ack(bool ANewMode, uint8_t ALineNumber, uint8_t ATransferMode) {
  std::string ack;
  ack += '\x00';
  ack += ANewMode ? '\x34' : '\x31';
  ack += '\x00';
  ack += '\x00';
  ack += static_cast<char>(ALineNumber);
  ack += static_cast<char>(ATransferMode);
  ack += '\x00';
  ack += '\x01';
  return ack;
}

TIp485Parse ParseFrame(std::string_view ABuffer, size_t& AFrameSize, std::string_view& APayload) {
  static constexpr uint8_t MAGIC[3] = {0x00, 0x32, 0x00};
  for (size_t i = 0; i < 3; ++i) {
    if (ABuffer.size() <= i) return TIp485Parse::Incomplete;
    if (ByteAt(ABuffer, i) != MAGIC[i]) return TIp485Parse::NotAFrame;
  }
  if (ABuffer.size() < 4) return TIp485Parse::Incomplete;
  const uint8_t type = ByteAt(ABuffer, 3);
  if (type == 0 || type == 1) {
    if (ABuffer.size() < 14) return TIp485Parse::Incomplete;
    const size_t length = ByteAt(ABuffer, 12) * 256u + ByteAt(ABuffer, 13);
    if (ABuffer.size() < 14 + length) return TIp485Parse::Incomplete;
    AFrameSize = 14 + length;
    APayload = ABuffer.substr(14, length);
    return TIp485Parse::Frame;
  }
  if (type == 2 || type == 3) {
    if (ABuffer.size() < 8) return TIp485Parse::Incomplete;
    AFrameSize = 8;
    APayload = {};
    return TIp485Parse::Frame;
  }
  return TIp485Parse::NotAFrame;
}

bool CutIp485Frames(std::string& ABuffer, std::string& AOutput, TIp485Parse* AStoppedAt) {
  bool cut = false;
  size_t consumed = 0;
  for (;;) {
    size_t size = 0;
    std::string_view payload;
    const TIp485Parse result = ParseFrame(std::string_view(ABuffer).substr(consumed), size, payload);
    if (result != TIp485Parse::Frame) {
      if (AStoppedAt) *AStoppedAt = result;
      break;
    }
    AOutput.append(payload);
    consumed += size;
    cut = true;
  }
  ABuffer.erase(0, consumed);
  return cut;
}

bool TakeIp485Ack(std::string& ABuffer, std::string_view AExpected) {
  const size_t at = ABuffer.find(AExpected);
  if (at == std::string::npos) return false;
  ABuffer.erase(0, at + AExpected.size());
  return true;
}

}  // namespace orvane
