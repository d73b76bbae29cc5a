#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/line_settings.h"

namespace orvane {

// Protocol labels, compared as whole texts with letter case significant.
inline constexpr const char* PROTOCOL_DIRECT = "Сквозной режим";
inline constexpr const char* PROTOCOL_IP485 = "IP485(MX40L/R510/R52)";
inline constexpr const char* PROTOCOL_MQTT = "MQTT";

// The pause a TCP channel keeps between two sends to its converter: the default (what
// converters have always seen, written to the file only when another is set) and the
// largest the editor offers.
inline constexpr uint16_t SEND_PAUSE_DEFAULT_MS = 10;
inline constexpr uint16_t SEND_PAUSE_MAX_MS = 1000;

// Broker ports used when MqttHost names none: plain MQTT, and MQTT over TLS.
inline constexpr uint16_t MQTT_DEFAULT_PORT = 1883;
inline constexpr uint16_t MQTTS_DEFAULT_PORT = 8883;

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
  TParityBits RealPortParityBits = TParityBits::None;
  TStopBits RealPortStopBits = TStopBits::One;
  // "Фиксированные настройки": a physical port keeps the four settings above whatever the
  // remote end announces; a virtual port tells them to the channel whatever the
  // application sets.
  bool RealPortTunnelMode = false;
  std::string MqttHost;
  std::string MqttTopic;
  std::string MqttUserName;
  std::string MqttPassword;
  uint32_t MqttSecurityKey = 0;
  // Milliseconds between two sends to a converter (0 to SEND_PAUSE_MAX_MS).
  uint16_t SendPause = SEND_PAUSE_DEFAULT_MS;
  // TLS to the broker; the CA file (empty: the system's store) and the check of the
  // broker's certificate, which only an explicit choice switches off.
  bool MqttTls = false;
  std::string MqttCaFile;
  bool MqttVerifyCert = true;

  // Defaults of a port the user starts to add; RealPortTunnelMode is left as is.
  void Init();

  bool operator==(const TLumPortParams&) const = default;
};

// Direction 1 turns CR LF into "~" (one line), direction 0 turns "~" back into
// CR LF; any other direction returns the text unchanged.
std::string ConvertLineBreaks(uint8_t ADirection, const std::string& AText);

// "00 34 0A": two uppercase hex digits per byte, one blank between bytes.
std::string BytesToHex(const std::string& AData);

// Most bytes one log line shows: a multi-megabyte block would otherwise be copied into a
// hex line three times its size, and one such line would defeat the log's rotation.
inline constexpr size_t LOG_HEX_MAX_BYTES = 4096;
// BytesToHex of the first AMaxShown bytes; longer data ends with " ... (N bytes)", N being
// the full count.
std::string BytesToHexCapped(std::string_view AData, size_t AMaxShown = LOG_HEX_MAX_BYTES);

// A traffic line: "IN" or "OUT", the byte count in brackets, then the bytes
// (BytesToHexCapped with AMaxShown).
std::string TrafficLine(std::string_view ADirection, std::string_view AData, size_t AMaxShown = SIZE_MAX);
// TrafficLine appended to ALine: a line with a prefix is built in one string.
void AppendTrafficLine(std::string& ALine, std::string_view ADirection, std::string_view AData,
                       size_t AMaxShown = SIZE_MAX);

}  // namespace orvane
