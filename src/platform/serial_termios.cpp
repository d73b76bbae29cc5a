#include "platform/serial_termios.h"

namespace orvane {

termios MakeComTermios(const termios& ABase, uint8_t ADataBits, TParityBits AParity, TStopBits AStopBits) {
  termios tio = ABase;
  ::cfmakeraw(&tio);
  tio.c_iflag &= ~(INPCK | IGNPAR | PARMRK | ISTRIP | IXON | IXOFF | IXANY | IGNBRK | BRKINT);
  tio.c_oflag &= ~OPOST;
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
  tio.c_cflag |= CLOCAL | CREAD;
  switch (ADataBits) {
    case 5: tio.c_cflag |= CS5; break;
    case 6: tio.c_cflag |= CS6; break;
    case 7: tio.c_cflag |= CS7; break;
    default: tio.c_cflag |= CS8; break;
  }
  switch (AParity) {
    case TParityBits::None: break;
    case TParityBits::Odd: tio.c_cflag |= PARENB | PARODD; break;
    case TParityBits::Even: tio.c_cflag |= PARENB; break;
    case TParityBits::Mark: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case TParityBits::Space: tio.c_cflag |= PARENB | CMSPAR; break;
  }
  if (AStopBits != TStopBits::One) tio.c_cflag |= CSTOPB;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return tio;
}

uint8_t DataBitsOf(const termios& ATermios) {
  switch (ATermios.c_cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
  }
}

TParityBits ParityOf(const termios& ATermios) {
  const tcflag_t c = ATermios.c_cflag;
  if (!(c & PARENB)) return TParityBits::None;
  if (c & CMSPAR) return (c & PARODD) ? TParityBits::Mark : TParityBits::Space;
  return (c & PARODD) ? TParityBits::Odd : TParityBits::Even;
}

TStopBits StopBitsOf(const termios& ATermios) {
  return (ATermios.c_cflag & CSTOPB) ? TStopBits::Two : TStopBits::One;
}

}  // namespace orvane
