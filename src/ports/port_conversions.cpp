#include "ports/port_conversions.h"

#include <iterator>

namespace orvane {

namespace {

constexpr uint32_t kSpeeds[] = {75,    110,   300,   600,   1200,  2400,   4800,   9600,
                                14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
static_assert(std::size(kSpeeds) == ttp_256000 + 1);

}  // namespace

TTCP_Port_Parity ParityToParity(int32_t AParity) {
  switch (AParity) {
    case 1: return tpp_Odd;
    case 2: return tpp_Even;
    case 3: return tpp_Mark;
    case 4: return tpp_Space;
    default: return tpp_None;
  }
}

uint32_t BaudRateOfOrdinal(uint32_t AOrdinal) {
  return AOrdinal < std::size(kSpeeds) ? kSpeeds[AOrdinal] : 0;
}

bool SerialParityOfCode(uint8_t ACode, TComParity& AParity) {
  switch (ACode) {
    case tpp_None: AParity = TComParity::None; return true;
    case tpp_Odd: AParity = TComParity::Odd; return true;
    case tpp_Even: AParity = TComParity::Even; return true;
    case tpp_Mark: AParity = TComParity::Mark; return true;
    case tpp_Space: AParity = TComParity::Space; return true;
    default: return false;
  }
}

bool SerialStopBitsOfCode(uint8_t ACode, TComStopBits& AStopBits) {
  switch (ACode) {
    case tps_One:
    case tps_None: AStopBits = TComStopBits::One; return true;
    case tps_OneHalf: AStopBits = TComStopBits::OneAndHalf; return true;
    case tps_Two: AStopBits = TComStopBits::Two; return true;
    default: return false;
  }
}

bool DataBitsOfOrdinal(uint8_t AOrdinal, uint8_t& ADataBits) {
  if (AOrdinal > tpdb_Eight) return false;
  ADataBits = static_cast<uint8_t>(AOrdinal + 5);
  return true;
}

}  // namespace orvane
