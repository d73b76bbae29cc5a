#pragma once

#include <cstdint>

#include "channels/server_interface.h"
#include "platform/serial_port.h"

namespace orvane {

// The conversions between the codes of the driver, the port record, the
// channel and the serial port that the bridges use, kept together here.

// Driver parity (0 none, 1 odd, 2 even, 3 mark, 4 space) to the channel's code
// (0 none, 4 odd, 5 even, 6 mark, 7 space); any other value gives none.
TTCP_Port_Parity ParityToParity(int32_t AParity);

// Speed of a baud-rate ordinal (the record's RealPortBaudRate, the channel's
// TTCP_Port_BaudRate): 1 → 110 … 15 → 256000; ordinal 0 stands for 75 baud.
// 0 for ordinals without a speed.
uint32_t BaudRateOfOrdinal(uint32_t AOrdinal);

// The channel's line-setting codes as serial port settings; false for a code
// that names no setting (the port then keeps the one it has).
bool SerialParityOfCode(uint8_t ACode, TComParity& AParity);
// Stop-bit code 3 (none) sets one stop bit.
bool SerialStopBitsOfCode(uint8_t ACode, TComStopBits& AStopBits);
// Data-bit ordinals 0 to 3 are 5 to 8 bits.
bool DataBitsOfOrdinal(uint8_t AOrdinal, uint8_t& ADataBits);

}  // namespace orvane
