#include "platform/printable_text.h"

namespace orvane {

std::string PrintableText(std::string_view AText) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(AText.size());
  for (const char c : AText) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\r') {
      out += "\\r";
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += HEX[byte >> 4];
      out += HEX[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace orvane
