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

#include "DeviceServer.h"
#include "Responder.h"
#include "Sections.h"

namespace torvek::bench {

using namespace std::chrono_literals;

// 2. How long after its time-out a call against a silent device returns ReplyTimeout, counted
// from the call: the purge and the write are in it.
void TimeoutPunctuality(const Plan& plan) {
  std::printf("\n2. ReplyTimeout against a silent device: lateness after the time-out (ms)\n");
  InstantDevice device;
  TORVEK::AttenuatorHandler handler;
  if (!Connected(handler, device.Path())) {
    Fail("the library did not connect");
    return;
  }
  FloorPort floor(device.Path());
  device.SetSilent(true);
  std::printf("   %-10s %-8s %6s %8s %8s %8s %8s\n", "time-out", "client", "calls", "min", "median",
              "p99", "max");
  bool met = true;
  const int timeouts[3] = {1, 10, 50};
  for (int k = 0; k < 3; ++k) {
    // Turn about, so that a stall of the machine can hit either. The floor's poll shows what
    // the machine itself adds to a time-out.
    std::vector<double> late, floor_late;
    for (int i = 0; i < plan.timeout_samples[k]; ++i) {
      Clock::time_point start = Clock::now();
      const TORVEK::AttenuatorStatus status = handler.GetCurrentStatus(timeouts[k]);
      late.push_back(MicrosecondsSince(start) / 1000.0 - timeouts[k]);
      if (status != TORVEK::ReplyTimeout) {
        Fail("a silent device gave " + std::to_string(status));
        return;
      }
      start = Clock::now();
      floor.Status(timeouts[k]);
      floor_late.push_back(MicrosecondsSince(start) / 1000.0 - timeouts[k]);
    }
    const Summary s = Summarize(late);
    const Summary f = Summarize(floor_late);
    std::printf("   %7d ms %-8s %6zu %8.3f %8.3f %8.3f %8.3f\n", timeouts[k], "library", s.count,
                s.min, s.median, s.p99, s.max);
    std::printf("   %10s %-8s %6zu %8.3f %8.3f %8.3f %8.3f\n", "", "floor", f.count, f.min,
                f.median, f.p99, f.max);
    met = met && s.median <= 1.0 && s.max <= 3.0 && s.min >= 0.0;
  }
  std::printf("   target (library): median <= 1 ms and max <= 3 ms late, never early   %s\n",
              Verdict(met));

  // A Cancel from another thread, made 2 ms into a call that would wait 10 s: from the Cancel
  // to the call's return.
  std::vector<double> cancel_ms;
  for (int i = 0; i < plan.timeout_samples[0]; ++i) {
    std::atomic<Clock::rep> cancelled_at{0};
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      cancelled_at = Clock::now().time_since_epoch().count();
      handler.Cancel();
    });
    const TORVEK::AttenuatorStatus status = handler.GetCurrentStatus(10000);
    const Clock::time_point returned = Clock::now();
    canceller.join();
    if (status != TORVEK::ReplyTimeout) {
      Fail("a cancelled call gave " + std::to_string(status));
      return;
    }
    cancel_ms.push_back(std::chrono::duration<double, std::milli>(
                            returned.time_since_epoch() - Clock::duration(cancelled_at.load()))
                            .count());
  }
  const Summary c = Summarize(cancel_ms);
  std::printf("   Cancel from another thread to the return of the call it ends (ms)\n");
  std::printf("   %-19s %6zu %8.3f %8.3f %8.3f %8.3f\n", "", c.count, c.min, c.median, c.p99,
              c.max);
  std::printf("   target: max <= 10 ms   %s\n", Verdict(c.max <= 10.0));

  // The port goes away 2 ms into a call that would wait 10 s (an adapter unplugged; here the
  // device's side of the pseudo-terminal closes): from the hang-up to the call's return.
  std::vector<double> gone_ms;
  torvek::sim::FunctionResponder identifies_only([](const std::string& command) {
    return command == "0in" ? torvek::sim::Action::Reply("0IN0E1234ABCD01020304016800023000\r\n")
                            : torvek::sim::Action::Silence();
  });
  for (int i = 0; i < plan.timeout_samples[2]; ++i) {
    torvek::sim::DeviceServer line(identifies_only);
    TORVEK::AttenuatorHandler unplugged;
    if (!Connected(unplugged, line.Path())) {
      Fail("the library did not connect to the device it unplugs");
      return;
    }
    std::atomic<Clock::rep> gone_at{0};
    std::thread unplug([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      gone_at = Clock::now().time_since_epoch().count();
      line.HangUp();
    });
    const TORVEK::AttenuatorStatus status = unplugged.GetCurrentStatus(10000);
    const Clock::time_point returned = Clock::now();
    unplug.join();
    if (status != TORVEK::PortUnavailable) {
      Fail("a call whose port went away gave " + std::to_string(status));
      return;
    }
    gone_ms.push_back(std::chrono::duration<double, std::milli>(returned.time_since_epoch() -
                                                                Clock::duration(gone_at.load()))
                          .count());
  }
  const Summary g = Summarize(gone_ms);
  std::printf("   The port goes away under a call: from the hang-up to PortUnavailable (ms)\n");
  std::printf("   %-19s %6zu %8.3f %8.3f %8.3f %8.3f\n", "", g.count, g.min, g.median, g.p99,
              g.max);
  std::printf("   target: max <= 10 ms, not the call's 10 s time-out   %s\n",
              Verdict(g.max <= 10.0));
}

}  // namespace torvek::bench
