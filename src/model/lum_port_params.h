#pragma once

#include <cstdint>
#include <string>

namespace orvane {

// Protocol labels, compared as whole texts with letter case significant.
inline constexpr const char* PROTOCOL_DIRECT = "Сквозной режим";
inline constexpr const char* PROTOCOL_IP485 = "IP485(MX40L/R510/R52)";
inline constexpr const char* PROTOCOL_MQTT = "MQTT";

// Line settings of a physical port, stored as 8-bit ordinals. Ordinal 0 of
// TBaudRate stands for 75 baud wherever a speed is needed.
enum TBaudRate : uint8_t {
  brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400,
  br19200, br38400, br56000, br57600, br115200, br128000, br256000
};
enum TDataBits : uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TStopBits : uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };

// Every setting of one port bridge; a plain value that each owner copies.
// Texts are byte strings (UTF-8 for labels and captions); serial data and
// ComName are never re-encoded.
struct TLumPortParams {
  std::string ComName;
  std::string IpAddress;
  int32_t PortNumber = 0;
  uint8_t LineNumber = 0;
  std::string Protocol;
  uint16_t ReadPacketTimeout = 0;
  uint16_t ReadIntervalTimeout = 0;
  std::string Header;
  std::string Comment;
  bool isRealPort = false;
  TBaudRate RealPortBaudRate = brCustom;
  TDataBits RealPortBitData = dbFive;
  TParityBits RealPortParityBits = prNone;
  TStopBits RealPortStopBits = sbOneStopBit;
  bool RealPortTunnelMode = false;
  std::string MqttHost;
  std::string MqttTopic;
  std::string MqttUserName;
  std::string MqttPassword;
  uint32_t MqttSecurityKey = 0;

  // Defaults of a port the user starts to add; RealPortTunnelMode is left as is.
  void Init();

  bool operator==(const TLumPortParams&) const = default;
};

// Direction 1 turns CR LF into "~" (one line), direction 0 turns "~" back into
// CR LF; any other direction returns the text unchanged.
std::string ConvertLineBreaks(uint8_t ADirection, const std::string& AText);

// "00 34 0A": two uppercase hex digits per byte, one blank between bytes.
std::string BytesToHex(const std::string& AData);

}  // namespace orvane
