#include "platform/serial_speed.h"

// Only the kernel's definitions here: <termios.h> must not be included with these.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace orvane {
namespace {

struct TSpeedCode {
  uint32_t Baud;
  unsigned int Code;
};

constexpr TSpeedCode SPEED_CODES[] = {
    {50, B50},          {75, B75},         {110, B110},         {134, B134},         {150, B150},
    {200, B200},        {300, B300},       {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},      {4800, B4800},     {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},    {115200, B115200}, {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},  {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}};

}  // namespace

bool SetLineSpeed(int AFd, uint32_t ABaud) {
  if (ABaud == 0) {
    errno = EINVAL;
    return false;
  }
  struct termios2 tio {};
  if (::ioctl(AFd, TCGETS2, &tio) < 0) return false;
  unsigned int code = BOTHER;
  for (const auto& speed : SPEED_CODES) {
    if (speed.Baud == ABaud) code = speed.Code;
  }
  // Input speed follows the output speed (CIBAUD zero).
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD);
  tio.c_cflag |= code;
  tio.c_ispeed = ABaud;
  tio.c_ospeed = ABaud;
  return ::ioctl(AFd, TCSETS2, &tio) == 0;
}

bool GetLineSpeed(int AFd, uint32_t& ABaud) {
  uint32_t flags = 0;
  return GetLineSpeedAndFlags(AFd, ABaud, flags);
}

bool GetLineSpeedAndFlags(int AFd, uint32_t& ABaud, uint32_t& AControlFlags) {
  struct termios2 tio {};
  if (::ioctl(AFd, TCGETS2, &tio) < 0) return false;
  ABaud = tio.c_ospeed;
  AControlFlags = static_cast<uint32_t>(tio.c_cflag);
  return true;
}

}  // namespace orvane
