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

std::string BytesToHex(const std::string& AData) {
  static constexpr char DIGITS[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(AData.size() * 3);
  for (size_t i = 0; i < AData.size(); ++i) {
    const auto b = static_cast<unsigned char>(AData[i]);
    if (i != 0) result += ' ';
    result += DIGITS[b >> 4];
    result += DIGITS[b & 0x0F];
  }
  return result;
}

}  // namespace orvane
