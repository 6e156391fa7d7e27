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

// 5. What the design costs per call, what a handler holds, and whether anything accumulates.
void DesignCost(const Plan& plan, const RoundTripMedians& round_trip) {
  std::printf("\n5. Cost of the design\n");
  {
    // The library reads each reply on the caller's thread. A reading thread per call, the
    // obvious way to bound a blocking read, would add at least this to every round trip.
    std::vector<double> spawn;
    for (int i = 0; i < plan.design_samples; ++i) {
      const Clock::time_point start = Clock::now();
      std::async(std::launch::async, [] {}).wait();
      spawn.push_back(MicrosecondsSince(start));
    }
    const Summary s = Summarize(spawn);
    std::printf("   a thread per call (not used): std::async(launch::async) of an empty task\n");
    std::printf("      median %.1f us, p99 %.1f us", s.median, s.p99);
    if (round_trip.floor > 0) {
      std::printf("; the library's round trip is %.1f us over the floor's",
                  round_trip.library - round_trip.floor);
    }
    std::printf("\n");
  }
  {
    std::vector<double> buffer;
    for (int i = 0; i < plan.design_samples; ++i) {
      const Clock::time_point start = Clock::now();
      {
        std::string received;
        received.append("0IN0E1234ABCD01020304016800023000\r\n");
        volatile char kept = received[3];
        (void)kept;
      }
      buffer.push_back(MicrosecondsSince(start) * 1000.0);
    }
    const Summary s = Summarize(buffer);
    std::printf("   new buffer per call: a string gathering a 35-byte identification line\n");
    std::printf("      median %.0f ns, p99 %.0f ns\n", s.median, s.p99);
  }

  // A handler's memory: connected handlers, less what their devices hold.
  {
    const int n = plan.memory_handlers;
    std::vector<std::unique_ptr<InstantDevice>> devices;
    for (int i = 0; i < n; ++i) {
      devices.push_back(std::make_unique<InstantDevice>());
    }
    std::vector<std::unique_ptr<TORVEK::AttenuatorHandler>> handlers;
    // One transaction first, so that whatever the first call allocates once exists before the
    // baseline. Kept until the end, so that its memory is not reused.
    devices.push_back(std::make_unique<InstantDevice>());
    TORVEK::AttenuatorHandler warm;
    if (!Connected(warm, devices.back()->Path()) ||
        warm.GetCurrentStatus(kReplyTimeoutMs) != TORVEK::Ok) {
      Fail("the library did not connect");
      return;
    }
    // One after another on this thread: connecting threads of their own would each bring an
    // allocator arena into the RSS. Measured on first use, as handlers freed and made again
    // would reuse the freed memory.
    const Usage before = CurrentUsage();
    for (int i = 0; i < n; ++i) {
      handlers.push_back(std::make_unique<TORVEK::AttenuatorHandler>());
      if (!Connected(*handlers.back(), devices[i]->Path())) {
        Fail("handler " + std::to_string(i) + " did not connect");
        return;
      }
    }
    const Usage after = CurrentUsage();
    const double per100 = 100.0 / n;
    std::printf(
        "   %d connected handlers: RSS %+ld KiB, heap %+.1f KiB, threads %+ld, descriptors %+ld\n",
        n, after.rss_kib - before.rss_kib, after.heap_kib - before.heap_kib,
        after.threads - before.threads, after.descriptors - before.descriptors);
    std::printf(
        "      per 100 handlers: RSS %.0f KiB, heap %.0f KiB; descriptors per handler %.1f "
        "(the port, the epoll, eventfd and timerfd of its I/O context, and Cancel's eventfd)\n",
        (after.rss_kib - before.rss_kib) * per100, (after.heap_kib - before.heap_kib) * per100,
        static_cast<double>(after.descriptors - before.descriptors) / n);
  }

  // Growth over many transactions on one handler.
  {
    InstantDevice device;
    TORVEK::AttenuatorHandler handler;
    if (!Connected(handler, device.Path())) {
      Fail("the library did not connect");
      return;
    }
    for (int i = 0; i < 1000; ++i) {
      handler.GetCurrentStatus(kReplyTimeoutMs);
    }
    const int total = plan.growth_transactions;
    const int step = total / 5;
    std::printf("   growth over %d transactions (after 1000 unrecorded):\n", total);
    std::printf("      %12s %10s %10s %8s %12s\n", "transactions", "RSS KiB", "heap KiB", "threads",
                "descriptors");
    const Usage first = CurrentUsage();
    Usage last = first;
    std::printf("      %12d %10ld %10.1f %8ld %12ld\n", 0, first.rss_kib, first.heap_kib,
                first.threads, first.descriptors);
    for (int done = 0; done < total;) {
      for (int i = 0; i < step; ++i, ++done) {
        if (handler.GetCurrentStatus(kReplyTimeoutMs) != TORVEK::Ok) {
          Fail("a transaction failed during the growth run");
          return;
        }
      }
      last = CurrentUsage();
      std::printf("      %12d %10ld %10.1f %8ld %12ld\n", done, last.rss_kib, last.heap_kib,
                  last.threads, last.descriptors);
    }
    const bool kept = last.threads == first.threads && last.descriptors == first.descriptors;
    const bool flat = kept && last.rss_kib - first.rss_kib <= 64;
    std::printf("   target: no growth (threads and descriptors equal, RSS within 64 KiB)   %s\n",
                Verdict(flat));
    if (!kept) {
      Fail("threads or descriptors accumulate over transactions");
    }
  }
}

}  // namespace torvek_bench
