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

}  // namespace orvane
