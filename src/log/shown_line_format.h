#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvane {

// How much a shown line matters, as syslog levels, which the journal reads
// from a "<N>" in front of a line.
enum class TLinePriority { Error = 3, Warning = 4, State = 6, Traffic = 7 };

// The priority of a port's shown line "(ComName) [host:port ]text": the bytes
// of the data path ("IN: [n] …", "OUT: [n] …") are traffic; failures errors;
// losses and a creation that falls back to attaching warnings; the rest state.
TLinePriority PriorityOf(std::string_view ALine);

// The formatting step between the service's lines and standard output. For a
// terminal or a file a line gets the time of day in front, as the window
// shows it; for the journal, which stamps lines itself, the priority instead.
// Traffic lines are left out unless asked for (the log file has them all).
struct TShownLineFormat {
  bool Journal = false;
  bool Traffic = false;

  // A port's shown line as printed, or nothing when it is left out.
  std::optional<std::string> PortLine(const std::string& ALine) const;
  // One of the service's own lines ("Ready") as printed.
  std::string ServiceLine(std::string_view ALine, TLinePriority APriority) const;
};

}  // namespace orvane
