#pragma once

#include <termios.h>

#include <cstdint>

#include "platform/serial_port.h"

namespace orvane {

// The termios a serial port runs with, built from the one found at open:
// bytes pass unaltered (no parity check, null bytes and breaks kept as data),
// receiver on, modem status lines ignored, no hardware or software flow
// control, reads return at once. The speed is set apart (SetLineSpeed).
// One and a half stop bits is CSTOPB, which the UART reads as 1.5 with five
// data bits and as two otherwise.
termios MakeComTermios(const termios& ABase, uint8_t ADataBits, TComParity AParity, TComStopBits AStopBits);

// Line settings as a termios holds them.
uint8_t DataBitsOf(const termios& ATermios);
TComParity ParityOf(const termios& ATermios);
TComStopBits StopBitsOf(const termios& ATermios);

}  // namespace orvane
