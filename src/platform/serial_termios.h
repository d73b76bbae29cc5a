#pragma once

#include <termios.h>

#include <cstdint>

#include "platform/line_settings.h"

namespace orvane {

// The termios a serial port runs with, built from the one found at open:
// bytes pass unaltered (no parity check, null bytes and breaks kept as data),
// receiver on, modem status lines ignored, no hardware or software flow
// control, reads return at once. The speed is set apart (SetLineSpeed).
// One and a half stop bits is CSTOPB, which the UART reads as 1.5 with five
// data bits and as two otherwise.
termios MakeComTermios(const termios& ABase, uint8_t ADataBits, TParityBits AParity, TStopBits AStopBits);

// Line settings as a termios holds them.
uint8_t DataBitsOf(const termios& ATermios);
TParityBits ParityOf(const termios& ATermios);
TStopBits StopBitsOf(const termios& ATermios);

}  // namespace orvane
