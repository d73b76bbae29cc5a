#pragma once

// Round-trip sampling shared by the benchmark programs: rounds 11 ms apart (a
// channel keeps its sends at least 10 ms apart) and their min, median, p99, max.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

namespace orvane::bench {

using TSamples = std::vector<double>;

struct TStats {
  double Min = 0, Median = 0, P99 = 0, Max = 0;
  bool Valid = false;
};

inline TStats Summarise(TSamples AMs) {
  TStats s;
  if (AMs.empty()) return s;
  std::sort(AMs.begin(), AMs.end());
  s.Min = AMs.front();
  s.Median = AMs[AMs.size() / 2];
  s.P99 = AMs[static_cast<size_t>(std::ceil(0.99 * static_cast<double>(AMs.size()))) - 1];
  s.Max = AMs.back();
  s.Valid = true;
  return s;
}

// Rounds of ARound (false on a failure), 11 ms apart; milliseconds of each; empty on a failure.
inline TSamples Measure(int ARounds, const std::function<bool()>& ARound) {
  using TClock = std::chrono::steady_clock;
  TSamples ms;
  for (int i = 0; i < ARounds; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(11));
    const auto start = TClock::now();
    if (!ARound()) {
      std::fprintf(stderr, "round %d failed\n", i);
      return {};
    }
    ms.push_back(std::chrono::duration<double, std::milli>(TClock::now() - start).count());
  }
  return ms;
}

}  // namespace orvane::bench
