#pragma once

#include <cstdint>

namespace orvane {

// Line speed in baud through termios2, so that every speed of the port settings
// (BAUD_RATES), including those without a Bxxx constant (14400, 56000, 128000,
// 256000), works as well as the standard ones. The kernel's
// termios2 header clashes with <termios.h>, hence its own translation unit.
// Both return false and leave errno set on failure.
bool SetLineSpeed(int AFd, uint32_t ABaud);
bool GetLineSpeed(int AFd, uint32_t& ABaud);
// The speed and the control flags (c_cflag, the bits <termios.h> names) in one call.
bool GetLineSpeedAndFlags(int AFd, uint32_t& ABaud, uint32_t& AControlFlags);

}  // namespace orvane
