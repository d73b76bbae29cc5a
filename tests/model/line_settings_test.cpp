#include "platform/line_settings.h"

#include <gtest/gtest.h>

#include <optional>

namespace orvane {
namespace {

// Each conversion at the ends of its table and just beyond them.
TEST(LineSettings, BaudRateOrdinalsAndRates) {
  const std::pair<uint8_t, uint32_t> rates[] = {
      {brCustom, 75}, {br110, 110}, {br9600, 9600}, {br14400, 14400}, {br256000, 256000}, {16, 0}, {255, 0}};
  for (const auto& [ordinal, rate] : rates) EXPECT_EQ(BaudRateOf(ordinal), rate) << int(ordinal);

  const std::pair<int64_t, std::optional<TBaudRate>> ordinals[] = {
      {75, brCustom},        {110, br110},          {256000, br256000},  {115200, br115200},
      {0, std::nullopt},     {74, std::nullopt},    {100, std::nullopt}, {230400, std::nullopt},
      {-9600, std::nullopt}, {256001, std::nullopt}};
  for (const auto& [rate, ordinal] : ordinals) EXPECT_EQ(BaudRateOrdinal(rate), ordinal) << rate;
}

TEST(LineSettings, DataBitsCountsAndOrdinals) {
  EXPECT_EQ(DataBitsCount(dbFive), 5);
  EXPECT_EQ(DataBitsCount(dbEight), 8);
  const std::pair<int32_t, std::optional<TDataBits>> cases[] = {
      {5, dbFive}, {8, dbEight}, {4, std::nullopt}, {9, std::nullopt}, {0, std::nullopt}, {-1, std::nullopt}};
  for (const auto& [count, ordinal] : cases) EXPECT_EQ(DataBitsOrdinal(count), ordinal) << count;
}

TEST(LineSettings, ParityBetweenTheSystemsNumberingAndTheWireCode) {
  const std::pair<int32_t, TTCP_Port_Parity> toWire[] = {{0, tpp_None},  {1, tpp_Odd},   {2, tpp_Even},
                                                         {3, tpp_Mark},  {4, tpp_Space}, {5, tpp_None},
                                                         {-1, tpp_None}, {255, tpp_None}};
  for (const auto& [os, code] : toWire) EXPECT_EQ(ParityToTcp(os), code) << os;
  EXPECT_EQ(ParityToTcp(TParityBits::Space), tpp_Space);

  const std::pair<uint8_t, TParityBits> fromWire[] = {
      {0, TParityBits::None},  {1, TParityBits::None}, {3, TParityBits::None},
      {4, TParityBits::Odd},   {5, TParityBits::Even}, {6, TParityBits::Mark},
      {7, TParityBits::Space}, {8, TParityBits::None}, {255, TParityBits::None}};
  for (const auto& [code, parity] : fromWire) EXPECT_EQ(ParityFromTcp(code), parity) << int(code);
}

TEST(LineSettings, StopBitsBetweenThePortAndTheWireCode) {
  EXPECT_EQ(StopBitsToTcp(TStopBits::One), tps_One);
  EXPECT_EQ(StopBitsToTcp(TStopBits::OneAndHalf), tps_OneHalf);
  EXPECT_EQ(StopBitsToTcp(TStopBits::Two), tps_Two);
  EXPECT_EQ(StopBitsFromTcp(tps_Two), TStopBits::Two);
  EXPECT_EQ(StopBitsFromTcp(tps_None), TStopBits::One);  // a serial port always has a stop bit
  EXPECT_EQ(StopBitsFromTcp(200), TStopBits::One);
}

}  // namespace
}  // namespace orvane
