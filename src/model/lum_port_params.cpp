#include "model/lum_port_params.h"

#include <algorithm>
#include <array>

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

// The two hex digits of every byte value, so a byte costs one look-up.
constexpr std::array<std::array<char, 2>, 256> HEX_PAIRS = [] {
  constexpr char DIGITS[] = "0123456789ABCDEF";
  std::array<std::array<char, 2>, 256> pairs{};
  for (size_t b = 0; b < pairs.size(); ++b) pairs[b] = {DIGITS[b >> 4], DIGITS[b & 0x0F]};
  return pairs;
}();

// Written in place: a traffic line is a few hundred of these per chunk, on every chunk.
void AppendHex(std::string& AResult, std::string_view AData) {
  if (AData.empty()) return;
  const size_t start = AResult.size();
  AResult.resize(start + AData.size() * 3 - 1);
  char* out = AResult.data() + start;
  const auto put = [&out](char AByte) {
    const std::array<char, 2>& pair = HEX_PAIRS[static_cast<unsigned char>(AByte)];
    out[0] = pair[0];
    out[1] = pair[1];
    out += 2;
  };
  put(AData[0]);
  for (size_t i = 1; i < AData.size(); ++i) {
    *out++ = ' ';
    put(AData[i]);
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
