#include "log/shown_line_format.h"

#include <algorithm>
#include <cctype>

#include "log/port_log_lines.h"

namespace orvane {

namespace {

bool StartsWith(std::string_view AText, std::string_view APrefix) {
  return AText.substr(0, APrefix.size()) == APrefix;
}

bool StartsWithAny(std::string_view AText, std::initializer_list<std::string_view> APrefixes) {
  return std::any_of(APrefixes.begin(), APrefixes.end(),
                     [AText](std::string_view APrefix) { return StartsWith(AText, APrefix); });
}

// The text of a line without "(ComName) " and a channel's "host:port ".
std::string_view Body(std::string_view ALine) {
  if (StartsWith(ALine, "(")) {
    const size_t end = ALine.find(") ");
    if (end != std::string_view::npos) ALine.remove_prefix(end + 2);
  }
  const std::string_view token = ALine.substr(0, ALine.find(' '));
  const size_t colon = token.rfind(':');
  const bool port = colon != std::string_view::npos && colon + 1 < token.size() &&
                    std::all_of(token.begin() + static_cast<std::ptrdiff_t>(colon) + 1, token.end(),
                                [](unsigned char c) { return std::isdigit(c) != 0; });
  if (port && token.size() < ALine.size()) ALine.remove_prefix(token.size() + 1);
  return ALine;
}

}  // namespace

TLinePriority PriorityOf(std::string_view ALine) {
  const std::string_view body = Body(ALine);
  if (StartsWithAny(body, {"IN: [", "OUT: ["})) return TLinePriority::Traffic;
  if (StartsWithAny(body, {"ERROR=", "Error on attach", "Error on delete", "Connect fail", "Connect - Fail",
                           "Disconnected fail", "COM port cannot be", "COM port lost", "Неверный ответ",
                           "Некорректно"}))
    return TLinePriority::Error;
  // A port left by an earlier run is attached after this line: only a warning.
  if (StartsWith(body, "Error on create COM port") || body.find("dropped [") != std::string_view::npos ||
      StartsWithAny(body, {"IP485: no frame", "Resending"}))
    return TLinePriority::Warning;
  return TLinePriority::State;
}

std::optional<std::string> TShownLineFormat::PortLine(const std::string& ALine) const {
  const TLinePriority priority = PriorityOf(ALine);
  if (priority == TLinePriority::Traffic && !Traffic) return std::nullopt;
  if (!Journal) return TPortLogLines::ShownLine(ALine);
  return ServiceLine(ALine, priority);
}

std::string TShownLineFormat::ServiceLine(std::string_view ALine, TLinePriority APriority) const {
  if (!Journal) return std::string(ALine);
  return "<" + std::to_string(static_cast<int>(APriority)) + ">" + std::string(ALine);
}

}  // namespace orvane
