#pragma once

// What the benchmark's sections share: the plan of a run, the floor client, and the way a
// section reports. Each section is a file of its own; main.cpp chooses and prints them.

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "FloorClient.h"
#include "InstantDevice.h"
#include "Measure.h"
#include "torvek/AttenuatorHandler.h"

namespace torvek::bench {

// How much of everything to do: the full run for the README, the quick run to prove in CI that
// the program still works.
struct Plan {
  const char* name;
  int rounds;  // clients take turns this many times, each round in another order
  int samples_per_round;
  int peer_samples_per_round;
  int warmup;
  int timeout_samples[3];  // for 1, 10 and 50 ms
  int connects;
  std::vector<int> scaling_handlers;
  std::chrono::milliseconds scaling_window;
  int design_samples;
  int memory_handlers;
  int growth_transactions;
  std::chrono::milliseconds line_rate_window;
  int adapter_samples;  // per transaction and adapter setting
};

inline constexpr int kReplyTimeoutMs = 1000;
inline constexpr char kStatusCommand[] = "0gs";

// The device must identify itself within 100 ms of the pause; on a machine busy with other
// work a thread can stall that long. Setting up a measurement is not what is measured, so
// it gets two more chances (section 3 times Connect itself, without them).
bool Connected(TORVEK::AttenuatorHandler& handler, const std::string& path);

// Reports a failed measurement; the run then ends with a non-zero exit code.
void Fail(const std::string& what);
bool Failed();

double MicrosecondsSince(Clock::time_point start);
const char* Verdict(bool met);
void PrintRow(const char* client, const Summary& s);

// ---------------------------------------------------------------------------------------------
// The three clients of one status round trip.

class FloorPort {
 public:
  explicit FloorPort(const std::string& path) : fd_(floor_open(path.c_str())) {}
  ~FloorPort() {
    if (fd_ >= 0) {
      floor_close(fd_);
    }
  }
  FloorPort(const FloorPort&) = delete;
  FloorPort& operator=(const FloorPort&) = delete;

  bool Open() const { return fd_ >= 0; }

  bool Status(int timeout_ms = kReplyTimeoutMs) {
    char reply[64];
    const long n = floor_transact(fd_, kStatusCommand, 3, reply, sizeof reply, timeout_ms);
    return n == 7 && std::memcmp(reply, "0GS00\r\n", 7) == 0;
  }

 private:
  int fd_;
};

// Medians of section 1, for section 5 to set the design's cost against.
struct RoundTripMedians {
  double floor = 0;
  double library = 0;
};

// The sections, in the order of a run.
RoundTripMedians RoundTrip(const Plan& plan);                           // 1
void TimeoutPunctuality(const Plan& plan);                              // 2
void ConnectDuration(const Plan& plan);                                 // 3
void Scaling(const Plan& plan);                                         // 4
void DesignCost(const Plan& plan, const RoundTripMedians& round_trip);  // 5
void LineRate(const Plan& plan);                                        // 6
void AdapterLatency(const Plan& plan);                                  // 7

}  // namespace torvek::bench
