#include <stdio.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "DeviceServer.h"
#include "Frames.h"
#include "Sections.h"

namespace torvek::bench {

using namespace std::chrono_literals;

// 7. A USB serial adapter holds what comes off the line until its latency timer runs out (16 ms
// on Linux unless set lower), so at 9600 baud its timer, not the wire, sets the pace of short
// replies. The device is the simulator's own server, paced at 9600 baud 8N1, behind the adapter
// it models (ServerOptions::adapter_latency). The pty hands the host's command over at once, so
// the device first waits out the command's own time on the wire (3 bytes, 3.1 ms); each call is
// timed from the call to its return.
void AdapterLatency(const Plan& plan) {
  std::printf("\n7. Through a USB adapter, at 9600 baud 8N1: round trips by latency timer (ms)\n");
  std::printf("   %d calls each\n", plan.adapter_samples);
  std::printf("   %-8s %-28s %8s %8s %8s\n", "timer", "transaction", "median", "p99", "max");
  torvek::sim::FunctionResponder device([](const std::string& command) {
    const std::chrono::microseconds command_on_the_wire(command.size() * 10'000'000 / 9600);
    std::string reply = torvek::sim::StatusFrame(0);
    if (command == "0in") {
      reply = "0IN0E1234ABCD01020304016800023000\r\n";
    } else if (command == "0gp") {
      reply = torvek::sim::PositionFrame(35840);
    }
    return torvek::sim::Action::Fragments({{command_on_the_wire, reply}});
  });
  double none[2] = {0, 0};
  for (const int latency_ms : {0, 1, 16}) {
    torvek::sim::ServerOptions options;
    options.baud = 9600;
    options.keep_log = false;
    options.adapter_latency = std::chrono::milliseconds(latency_ms);
    torvek::sim::DeviceServer server(device, options);
    TORVEK::AttenuatorHandler handler;
    if (!Connected(handler, server.Path())) {
      Fail("the library did not connect through a " + std::to_string(latency_ms) + " ms adapter");
      return;
    }
    int steps = 0;
    const std::function<bool()> calls[2] = {
        [&] { return handler.GetCurrentStatus(kReplyTimeoutMs) == TORVEK::Ok; },
        [&] { return handler.GetMotorSteps(&steps, kReplyTimeoutMs) == TORVEK::Ok; }};
    const char* names[2] = {"GetCurrentStatus (10 bytes)", "GetMotorSteps (16 bytes)"};
    for (int k = 0; k < 2; ++k) {
      std::vector<double> ms;
      for (int i = 0; i < plan.adapter_samples; ++i) {
        const Clock::time_point start = Clock::now();
        if (!calls[k]()) {
          Fail(std::string(names[k]) + " failed through the adapter");
          return;
        }
        ms.push_back(MicrosecondsSince(start) / 1000.0);
      }
      const Summary s = Summarize(ms);
      const std::string timer = latency_ms == 0 ? "none" : std::to_string(latency_ms) + " ms";
      std::printf("   %-8s %-28s %8.2f %8.2f %8.2f\n", k == 0 ? timer.c_str() : "", names[k],
                  s.median, s.p99, s.max);
      if (latency_ms == 0) {
        none[k] = s.median;
      } else if (latency_ms == 16 && none[k] > 0) {
        std::printf("   %-8s %-28s %7.2fx the round trip without an adapter\n", "", "",
                    s.median / none[k]);
      }
    }
  }
}

}  // namespace torvek::bench
