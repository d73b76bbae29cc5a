#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace orvane {

// Line settings of a serial port as the port record stores them: 8-bit ordinals.
// TParityBits and TStopBits are also the platform's serial-port settings, so
// no layer converts between them.
// clang-format off
enum TBaudRate : uint8_t {
  brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400,
  br19200, br38400, br56000, br57600, br115200, br128000, br256000
};
// clang-format on
enum TDataBits : uint8_t { dbFive, dbSix, dbSeven, dbEight };
// The operating system's parity numbering: 0 none, 1 odd, 2 even, 3 mark, 4 space.
enum class TParityBits : uint8_t { None, Odd, Even, Mark, Space };
enum class TStopBits : uint8_t { One, OneAndHalf, Two };

// Line-setting codes as they travel to the converter and in channel packets.
// clang-format off
enum TTCP_Port_BaudRate : uint8_t {
  ttp_Custom = 0, ttp_110 = 1, ttp_300 = 2, ttp_600 = 3, ttp_1200 = 4, ttp_2400 = 5,
  ttp_4800 = 6, ttp_9600 = 7, ttp_14400 = 8, ttp_19200 = 9, ttp_38400 = 10, ttp_56000 = 11,
  ttp_57600 = 12, ttp_115200 = 13, ttp_128000 = 14, ttp_256000 = 15
};
// clang-format on
// Values 1 to 3 are unused but may be stored as given.
enum TTCP_Port_Parity : uint8_t { tpp_None = 0, tpp_Odd = 4, tpp_Even = 5, tpp_Mark = 6, tpp_Space = 7 };
enum TTCP_Port_StopBits : uint8_t { tps_One = 0, tps_OneHalf = 1, tps_Two = 2, tps_None = 3 };
enum TTCP_Port_DataBits : uint8_t { tpdb_Five = 0, tpdb_Six = 1, tpdb_Seven = 2, tpdb_Eight = 3 };

// The speed of each TBaudRate ordinal (also the TTCP_Port_BaudRate code); ordinal 0 stands
// for 75 baud.
inline constexpr std::array<uint32_t, 16> BAUD_RATES = {
    75, 110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};

// The speed of an ordinal; 0 for an ordinal beyond the table (a damaged record).
constexpr uint32_t BaudRateOf(uint8_t AOrdinal) {
  return AOrdinal < BAUD_RATES.size() ? BAUD_RATES[AOrdinal] : 0;
}

// The ordinal of a speed, none for a speed the table does not name.
constexpr std::optional<TBaudRate> BaudRateOrdinal(int64_t ABaud) {
  for (size_t i = 0; i < BAUD_RATES.size(); ++i)
    if (BAUD_RATES[i] == ABaud) return static_cast<TBaudRate>(i);
  return std::nullopt;
}

// Data bits as a count, 5 to 8, and back; none for another count.
constexpr uint8_t DataBitsCount(TDataBits AOrdinal) {
  return static_cast<uint8_t>(AOrdinal + 5);
}
constexpr std::optional<TDataBits> DataBitsOrdinal(int32_t ACount) {
  if (ACount < 5 || ACount > 8) return std::nullopt;
  return static_cast<TDataBits>(ACount - 5);
}

// Parity numbering of the operating system to the wire code: 0→0, 1→4, 2→5, 3→6, 4→7,
// anything else none.
constexpr TTCP_Port_Parity ParityToTcp(TParityBits AParity) {
  switch (AParity) {
    case TParityBits::Odd: return tpp_Odd;
    case TParityBits::Even: return tpp_Even;
    case TParityBits::Mark: return tpp_Mark;
    case TParityBits::Space: return tpp_Space;
    default: return tpp_None;
  }
}
constexpr TTCP_Port_Parity ParityToTcp(int32_t AOsParity) {
  return AOsParity < 0 || AOsParity > 4 ? tpp_None : ParityToTcp(static_cast<TParityBits>(AOsParity));
}
// And back; the unused codes 1 to 3 and anything else give none.
constexpr TParityBits ParityFromTcp(uint8_t ACode) {
  switch (ACode) {
    case tpp_Odd: return TParityBits::Odd;
    case tpp_Even: return TParityBits::Even;
    case tpp_Mark: return TParityBits::Mark;
    case tpp_Space: return TParityBits::Space;
    default: return TParityBits::None;
  }
}

// Stop bits to the wire code and back; the code for no stop bits has no serial-port
// counterpart and gives one.
constexpr TTCP_Port_StopBits StopBitsToTcp(TStopBits AStopBits) {
  return static_cast<TTCP_Port_StopBits>(AStopBits);
}
constexpr TStopBits StopBitsFromTcp(uint8_t ACode) {
  return ACode <= tps_Two ? static_cast<TStopBits>(ACode) : TStopBits::One;
}

// The record's ordinals and the wire codes share their numbering where the casts above rely on it.
static_assert(BAUD_RATES.size() == br256000 + 1 && BAUD_RATES.size() == ttp_256000 + 1);
static_assert(BaudRateOf(brCustom) == 75 && BaudRateOf(br9600) == 9600 && BaudRateOf(br256000) == 256000);
static_assert(BaudRateOf(br256000 + 1) == 0);
static_assert(static_cast<uint8_t>(br14400) == ttp_14400 && static_cast<uint8_t>(br128000) == ttp_128000);
static_assert(static_cast<uint8_t>(dbFive) == tpdb_Five && static_cast<uint8_t>(dbEight) == tpdb_Eight);
static_assert(static_cast<uint8_t>(TStopBits::One) == tps_One &&
              static_cast<uint8_t>(TStopBits::Two) == tps_Two);
static_assert(static_cast<uint8_t>(TStopBits::OneAndHalf) == tps_OneHalf);
static_assert([] {
  for (uint8_t i = 1; i < BAUD_RATES.size(); ++i)
    if (BAUD_RATES[i - 1] >= BAUD_RATES[i]) return false;  // ascending: each speed has one ordinal
  for (uint8_t p = 0; p <= 4; ++p)
    if (ParityFromTcp(ParityToTcp(static_cast<TParityBits>(p))) != static_cast<TParityBits>(p)) return false;
  return true;
}());

}  // namespace orvane
