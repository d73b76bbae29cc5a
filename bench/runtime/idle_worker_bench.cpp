// Cost of idle port workers: CPU time and wake-ups per second while every
// pass returns at once, for a few worker counts.
// Usage: runtime_bench [seconds per run, default 3]
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/main_dispatcher.h"
#include "ports/process_thread.h"

namespace {

struct TUsage {
  double CpuSeconds = 0;
  long VoluntarySwitches = 0;
};

TUsage ProcessUsage() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& ATime) {
    return static_cast<double>(ATime.tv_sec) + static_cast<double>(ATime.tv_usec) / 1e6;
  };
  return {seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_nvcsw};
}

// voluntary_ctxt_switches of one thread of this process.
long ThreadSwitches(pid_t ATid) {
  std::ifstream status("/proc/self/task/" + std::to_string(ATid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "voluntary_ctxt_switches:") {
      long value = 0;
      status >> value;
      return value;
    }
  }
  return -1;
}

void Run(orvane::TMainDispatcher& ADispatcher, int AWorkers, double ASeconds) {
  std::atomic<pid_t> firstTid{0};
  std::vector<std::unique_ptr<orvane::TProcessThread>> workers;
  for (int i = 0; i < AWorkers; ++i) {
    workers.push_back(std::make_unique<orvane::TProcessThread>(ADispatcher, [&firstTid, i] {
      if (i == 0 && firstTid == 0) firstTid = ::gettid();
    }));
    workers.back()->Start();
  }
  while (AWorkers > 0 && firstTid == 0) ADispatcher.WaitAndProcess(1);

  const TUsage before = ProcessUsage();
  const long threadBefore = AWorkers > 0 ? ThreadSwitches(firstTid) : 0;
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::duration<double>(ASeconds);
  // The main thread idles in its hand-off loop, as the program's would.
  while (std::chrono::steady_clock::now() < end) ADispatcher.WaitAndProcess(100);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const TUsage after = ProcessUsage();
  const long threadAfter = AWorkers > 0 ? ThreadSwitches(firstTid) : 0;
  workers.clear();

  const double cpuPerSecond = (after.CpuSeconds - before.CpuSeconds) / wall;
  const double wakeupsPerSecond =
      static_cast<double>(after.VoluntarySwitches - before.VoluntarySwitches) / wall;
  std::printf("%7d  %13.2f  %15.0f", AWorkers, cpuPerSecond * 100.0, wakeupsPerSecond);
  if (AWorkers > 0) {
    std::printf("  %15.1f  %15.0f  %19.0f\n", cpuPerSecond * 1e6 / AWorkers, wakeupsPerSecond / AWorkers,
                static_cast<double>(threadAfter - threadBefore) / wall);
  } else {
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  orvane::TMainDispatcher dispatcher;
  std::printf("idle workers, %.1f s per run (CPU %% of one core; wake-ups = voluntary context switches)\n",
              seconds);
  std::printf(
      "workers  process CPU %%  process wakeup/s  CPU us/s/worker  wakeup/s/worker  first worker wakeup/s\n");
  for (int workers : {0, 1, 4, 16, 64}) Run(dispatcher, workers, seconds);
  return 0;
}
