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

// 6. At 9600 baud 8N1 a byte takes 10 bit times; a status round trip puts 3 + 7 bytes on the
// line and a position round trip 3 + 13. Two figures per client: the rate over the whole window,
// and the rate one transaction of median duration gives. The first carries every stall of the
// machine (this one is a virtual machine, whose CPUs are now and then taken away for several
// milliseconds, from the paced device as much as from the client); the second is what the
// target is judged on, as every target here is judged on medians.
void LineRate(const Plan& plan) {
  std::printf("\n6. At line rate: the device paces 9600 baud 8N1 (transactions/s)\n");
  InstantDevice device(9600);
  TORVEK::AttenuatorHandler handler;
  if (!Connected(handler, device.Path())) {
    Fail("the library did not connect to the paced device");
    return;
  }
  FloorPort floor(device.Path());
  std::printf("   %-28s %5s %6s %16s %16s\n", "transaction", "bytes", "limit", "whole window",
              "median call");
  auto measure = [&](const char* name, int bytes, const std::function<bool()>& call) {
    const double limit = 9600.0 / 10.0 / bytes;
    std::vector<double> durations;
    const Clock::time_point start = Clock::now();
    while (Clock::now() - start < plan.line_rate_window) {
      const Clock::time_point call_start = Clock::now();
      if (!call()) {
        Fail(std::string(name) + " failed at line rate");
        return 0.0;
      }
      durations.push_back(MicrosecondsSince(call_start));
    }
    const double rate =
        durations.size() / std::chrono::duration<double>(Clock::now() - start).count();
    const double median_rate = 1e6 / Summarize(durations).median;
    std::printf("   %-28s %5d %6.2f %7.2f %6.1f%% %7.2f %6.1f%%\n", name, bytes, limit, rate,
                100.0 * rate / limit, median_rate, 100.0 * median_rate / limit);
    return median_rate / limit;
  };
  const double status = measure("library: GetCurrentStatus", 10, [&] {
    return handler.GetCurrentStatus(kReplyTimeoutMs) == TORVEK::Ok;
  });
  int steps = 0;
  const double position = measure("library: GetMotorSteps", 16, [&] {
    return handler.GetMotorSteps(&steps, kReplyTimeoutMs) == TORVEK::Ok;
  });
  measure("floor: status", 10, [&] { return floor.Status(); });
  std::printf("   target: >= 97%% of the wire's limit at the median   %s\n",
              Verdict(status >= 0.97 && position >= 0.97));
}

}  // namespace torvek_bench
