#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Sections.h"

namespace torvek_bench {

using namespace std::chrono_literals;

// 3. Connect: open and set up the port, the fixed 100 ms pause, the identification.
void ConnectDuration(const Plan& plan) {
  std::printf("\n3. Connect against the instant device (ms)\n");
  InstantDevice device;
  std::vector<double> times;
  for (int i = 0; i < plan.connects; ++i) {
    TORVEK::AttenuatorHandler handler;
    const Clock::time_point start = Clock::now();
    const bool ok = handler.Connect(device.Path());
    times.push_back(MicrosecondsSince(start) / 1000.0);
    if (!ok) {
      Fail("Connect returned false");
      return;
    }
  }
  const Summary s = Summarize(times);
  std::printf("   %d connects: min %.3f  median %.3f  max %.3f\n", plan.connects, s.min, s.median,
              s.max);
  std::printf("   beyond the 100 ms pause: %.3f ms at the median\n", s.median - 100.0);
}

}  // namespace torvek_bench
