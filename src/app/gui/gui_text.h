#pragma once

#include <QString>
#include <string>

namespace orvane {

// The program's own texts (UTF-8 in the source) as Qt shows them.
inline QString Text(const char* AUtf8) {
  return QString::fromUtf8(AUtf8);
}

// The program's texts break lines with CR LF; Qt's labels, boxes and text
// editors break them at LF alone.
inline QString LfLines(QString AText) {
  return AText.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

}  // namespace orvane
