#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane {

// The IP485 framing as plain functions of bytes: no socket, clock or log.

// Converters on this TCP port speak the legacy framing (16-byte header, 8-bit mode words).
inline constexpr int32_t IP485_LEGACY_PORT = 4660;
// The length field of a frame is 16 bits wide.
inline constexpr size_t IP485_MAX_PAYLOAD = 65535;
inline constexpr size_t IP485_EXTENDED_HEADER = 24;
inline constexpr size_t IP485_LEGACY_HEADER = 16;
inline constexpr size_t IP485_ACK_SIZE = 8;

// Speed code of bits 0-3 of a port mode word; unknown speeds give 0.
uint8_t Ip485SpeedCode(int32_t ASpeed);
// AWord with bits 0-3 replaced by the speed code.
uint16_t Ip485ApplySpeed(uint16_t AWord, int32_t ASpeed);
// Bit 4 (7 data bits), bits 5-7 (parity code) and, in the extended framing only, bits 8-9
// (stop-bit code). Values are taken as given, unchecked.
void EncodeLineParams(uint16_t& AWord, uint8_t aParity, uint8_t aDataBits, uint8_t aStopBits, bool ANewMode);

// Transfer mode byte of a data frame: 3 asks the converter to keep the inter-character
// interval, 7 sends the block as fast as the line allows.
inline uint8_t Ip485TransferMode(bool AWillBeDelayBetweenChars) {
  return AWillBeDelayBetweenChars ? 3 : 7;
}

struct TIp485FrameHeader {
  bool NewMode = true;  // extended framing
  uint8_t LineNumber = 0;
  uint8_t TransferMode = 7;
  uint16_t SendPortMode = 0;
  uint16_t RecvPortMode = 0;
  uint16_t ReadIntervalTimeout = 0;  // extended framing only
};

// One data frame to the converter. The payload must fit the 16-bit length field.
std::string BuildIp485Frame(const TIp485FrameHeader& AHeader, std::string_view APayload);
// The 8 bytes the converter answers a data frame with.
std::string BuildIp485Ack(bool ANewMode, uint8_t ALineNumber, uint8_t ATransferMode);

enum class TIp485Parse {
  Frame,       // a whole frame is at the front
  Incomplete,  // the front is the start of a frame whose rest has not arrived
  NotAFrame,   // the front cannot begin a converter frame
};

// Looks at the front of ABuffer for a frame from the converter (00 32 00 type): types 0 and 1
// carry a payload after a 14-byte header, types 2 and 3 are 8 bytes without one. On Frame,
// AFrameSize and APayload (a view into ABuffer) describe it; otherwise they are left alone.
TIp485Parse ParseFrame(std::string_view ABuffer, size_t& AFrameSize, std::string_view& APayload);

// Cuts every complete frame from the front of ABuffer and appends the payloads to AOutput;
// true when at least one frame was cut. Stops at the first incomplete or foreign front, which
// stays in the buffer; AStoppedAt (when given) tells which of the two stopped it.
bool CutIp485Frames(std::string& ABuffer, std::string& AOutput, TIp485Parse* AStoppedAt = nullptr);

// Finds AExpected anywhere in ABuffer; if found, drops everything up to and including it.
bool TakeIp485Ack(std::string& ABuffer, std::string_view AExpected);

}  // namespace orvane
