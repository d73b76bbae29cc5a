#include "model/lum_port_params.h"

#include <algorithm>

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

// Written in place: a traffic line is a few hundred of these per chunk, on every chunk.
void AppendHex(std::string& AResult, std::string_view AData) {
  if (AData.empty()) return;
  static constexpr char DIGITS[] = "0123456789ABCDEF";
  const size_t start = AResult.size();
  AResult.resize(start + AData.size() * 3 - 1);
  char* out = AResult.data() + start;
  for (size_t i = 0; i < AData.size(); ++i) {
    const auto b = static_cast<unsigned char>(AData[i]);
    if (i != 0) *out++ = ' ';
    *out++ = DIGITS[b >> 4];
    *out++ = DIGITS[b & 0x0F];
  }
}

void AppendHexCapped(std::string& AResult, std::string_view AData, size_t AMaxShown) {
  const std::string_view shown = AData.substr(0, AMaxShown);
  AppendHex(AResult, shown);
  if (shown.size() < AData.size()) {
    AResult += " ... (";
    AResult += std::to_string(AData.size());
    AResult += " bytes)";
  }
}

// Room for the hex of ASize bytes shown at most AMaxShown, and the count after it.
size_t HexCappedSize(size_t ASize, size_t AMaxShown) {
  return std::min(ASize, AMaxShown) * 3 + 32;
}

}  // namespace

std::string BytesToHex(const std::string& AData) {
  std::string result;
  AppendHex(result, AData);
  return result;
}

std::string BytesToHexCapped(std::string_view AData, size_t AMaxShown) {
  std::string result;
  result.reserve(HexCappedSize(AData.size(), AMaxShown));
  AppendHexCapped(result, AData, AMaxShown);
  return result;
}

void AppendTrafficLine(std::string& ALine, std::string_view ADirection, std::string_view AData,
                       size_t AMaxShown) {
  ALine.reserve(ALine.size() + ADirection.size() + 32 + HexCappedSize(AData.size(), AMaxShown));
  ALine += ADirection;
  ALine += ": [";
  ALine += std::to_string(AData.size());
  ALine += "] ";
  AppendHexCapped(ALine, AData, AMaxShown);
}

std::string TrafficLine(std::string_view ADirection, std::string_view AData, size_t AMaxShown) {
  std::string line;
  AppendTrafficLine(line, ADirection, AData, AMaxShown);
  return line;
}

}  // namespace orvane
