// Measures the status transaction of the library side by side with the least a host can do on
// the same port (the floor) and with what a user would write instead (Python with pySerial),
// all against one kind of device that answers at once. See README, "Performance".
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>

#include "Sections.h"

namespace torvek::bench {
namespace {

using namespace std::chrono_literals;

const Plan kFull{
    "full",
    10,    // rounds
    1000,  // samples per round
    1000,  // pySerial samples per round
    100,   // unrecorded round trips before each client's samples
    {300, 100, 30},
    10,  // connects
    {1, 2, 4, 8, 16},
    800ms,
    5000,    // samples of the design's pieces
    100,     // handlers for the memory figure, connected one after another (100 ms each)
    100000,  // transactions for the growth figure
    2500ms,  // per line-rate figure
    200,     // round trips per transaction through each adapter setting
};
const Plan kQuick{
    "quick", 2, 150, 100, 30, {20, 5, 2}, 2, {1, 2}, 150ms, 300, 5, 2000, 300ms, 10,
};

}  // namespace
}  // namespace torvek::bench

int main(int argc, char** argv) {
  using namespace torvek::bench;
  const Plan* plan = &kFull;
  bool wanted[8] = {false, true, true, true, true, true, true, true};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      plan = &kQuick;
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      std::fill(std::begin(wanted), std::end(wanted), false);
      for (const char* c = argv[++i]; *c != '\0'; ++c) {
        if (*c >= '1' && *c <= '7') {
          wanted[*c - '0'] = true;
        }
      }
    } else {
      std::fprintf(
          stderr,
          "usage: %s [--quick] [--only SECTIONS]\n"
          "  --quick          a few seconds with small samples: proves the benchmark runs\n"
          "  --only SECTIONS  run only these sections, e.g. --only 16\n",
          argv[0]);
      return 2;
    }
  }
  // Lines appear as they are measured, also through a pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("torvek-attenuator %s benchmark, %s run\n", TORVEK::LibraryVersion(), plan->name);
  std::printf("machine: %s\n", MachineDescription().c_str());
  std::printf("load average at start: %s\n", LoadAverage().c_str());
  const Clock::time_point start = Clock::now();

  RoundTripMedians round_trip;
  if (wanted[1]) {
    round_trip = RoundTrip(*plan);
  }
  if (wanted[2]) {
    TimeoutPunctuality(*plan);
  }
  if (wanted[3]) {
    ConnectDuration(*plan);
  }
  if (wanted[4]) {
    Scaling(*plan);
  }
  if (wanted[5]) {
    DesignCost(*plan, round_trip);
  }
  if (wanted[6]) {
    LineRate(*plan);
  }
  if (wanted[7]) {
    AdapterLatency(*plan);
  }

  std::printf("\nload average at end: %s; %.1f s\n", LoadAverage().c_str(),
              std::chrono::duration<double>(Clock::now() - start).count());
  if (Failed()) {
    std::printf("the benchmark FAILED: see above\n");
    return 1;
  }
  return 0;
}
