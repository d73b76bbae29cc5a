#pragma once

#include <string>
#include <string_view>

namespace orvane {

// AText with its control bytes written out (CR as \r, LF as \n, any other
// below 0x20 and DEL as \xNN), so a text from outside (a configuration
// value, a port name) cannot break a log line into two or forge one. Bytes
// from 0x80 on stay: log lines are 8-bit text.
std::string PrintableText(std::string_view AText);

}  // namespace orvane
