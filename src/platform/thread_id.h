#pragma once

#include <cstdint>

namespace orvane {

// The calling thread's id as the system shows it (ps -L, /proc/<pid>/task),
// for log and trace lines.
int64_t CurrentThreadId();

}  // namespace orvane
