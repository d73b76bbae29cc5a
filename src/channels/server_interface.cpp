#include "channels/server_interface.h"

namespace orvane {

TTCP_Port_Parity ParityToTcp(uint8_t AOsParity) {
  switch (AOsParity) {
    case 1: return tpp_Odd;
    case 2: return tpp_Even;
    case 3: return tpp_Mark;
    case 4: return tpp_Space;
    default: return tpp_None;
  }
}

uint8_t ParityFromTcp(TTCP_Port_Parity AParity) {
  switch (AParity) {
    case tpp_Odd: return 1;
    case tpp_Even: return 2;
    case tpp_Mark: return 3;
    case tpp_Space: return 4;
    default: return 0;
  }
}

}  // namespace orvane
