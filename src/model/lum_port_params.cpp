#include "model/lum_port_params.h"

namespace orvane {

void TLumPortParams::Init() {
  ComName.clear();
  IpAddress = "127.0.0.1";
  PortNumber = 0;
  LineNumber = 0;
  Protocol = PROTOCOL_DIRECT;
  ReadPacketTimeout = 0;
  ReadIntervalTimeout = 0;
  Header.clear();
  Comment.clear();
  isRealPort = false;
  RealPortBaudRate = br9600;
  RealPortBitData = dbEight;
  RealPortParityBits = TParityBits::None;
  RealPortStopBits = TStopBits::One;
  MqttHost = "127.0.0.1";
  MqttTopic = "/simpletopic";
  MqttUserName = "user";
  MqttPassword.clear();
  MqttSecurityKey = 0;
  SendPause = SEND_PAUSE_DEFAULT_MS;
  MqttTls = false;
  MqttCaFile.clear();
  MqttVerifyCert = true;
}

std::string ConvertLineBreaks(uint8_t ADirection, const std::string& AText) {
  if (ADirection != 0 && ADirection != 1) return AText;
  std::string result;
  result.reserve(AText.size() + 8);
  for (size_t i = 0; i < AText.size(); ++i) {
    const char c = AText[i];
    if (ADirection == 1) {
      if (c == '\r' && i + 1 < AText.size() && AText[i + 1] == '\n') {
        result += '~';
        ++i;
      } else {
        result += c;
      }
    } else if (c == '~') {
      result += "\r\n";
    } else {
      result += c;
    }
  }
  return result;
}

namespace {

void AppendHex(std::string& AResult, std::string_view AData) {
  static constexpr char DIGITS[] = "0123456789ABCDEF";
  for (size_t i = 0; i < AData.size(); ++i) {
    const auto b = static_cast<unsigned char>(AData[i]);
    if (i != 0) AResult += ' ';
    AResult += DIGITS[b >> 4];
    AResult += DIGITS[b & 0x0F];
  }
}

}  // namespace

std::string BytesToHex(const std::string& AData) {
  std::string result;
  result.reserve(AData.size() * 3);
  AppendHex(result, AData);
  return result;
}

std::string BytesToHexCapped(std::string_view AData, size_t AMaxShown) {
  const std::string_view shown = AData.substr(0, AMaxShown);
  std::string result;
  result.reserve(shown.size() * 3 + 32);
  AppendHex(result, shown);
  if (shown.size() < AData.size()) result += " ... (" + std::to_string(AData.size()) + " bytes)";
  return result;
}

std::string TrafficLine(std::string_view ADirection, std::string_view AData, size_t AMaxShown) {
  return std::string(ADirection) + ": [" + std::to_string(AData.size()) + "] " +
         BytesToHexCapped(AData, AMaxShown);
}

}  // namespace orvane
