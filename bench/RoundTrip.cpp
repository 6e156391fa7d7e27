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

namespace {

// Runs the pySerial peer for `samples` round trips. Empty if it could not run.
std::vector<double> RunPeer(const std::string& path, int samples, int warmup,
                            std::string* version) {
  const char* python = std::getenv("TORVEK_BENCH_PYTHON");
  const std::string command = std::string(python != nullptr ? python : "/usr/bin/python3") +
                              " " TORVEK_BENCH_PEER_SCRIPT " " + path + " " +
                              std::to_string(samples) + " " + std::to_string(warmup);
  FILE* out = ::popen(command.c_str(), "r");
  if (out == nullptr) {
    return {};
  }
  std::vector<double> times;
  char line[128];
  while (std::fgets(line, sizeof line, out) != nullptr) {
    if (line[0] == '#') {
      *version = std::string(line + 2, std::strcspn(line + 2, "\n"));
    } else {
      times.push_back(std::strtod(line, nullptr) / 1000.0);
    }
  }
  const int status = ::pclose(out);
  if (status != 0 || times.size() != static_cast<std::size_t>(samples)) {
    return {};
  }
  return times;
}

}  // namespace

// 1. One status transaction, three ways, on one device; each round lets the clients take turns
// in another order, so that a change of load hits them alike.
RoundTripMedians RoundTrip(const Plan& plan) {
  std::printf("\n1. Status round trip against the instant device (microseconds)\n");
  InstantDevice device;
  TORVEK::AttenuatorHandler handler;
  if (!Connected(handler, device.Path())) {
    Fail("the library did not connect to the instant device");
    return {};
  }
  FloorPort floor(device.Path());
  if (!floor.Open()) {
    Fail("the floor client could not open the port");
    return {};
  }

  std::vector<double> floor_times, library_times, peer_times;
  std::vector<double> round_ratios, peer_round_ratios;
  std::string peer_version = "Python + pySerial";
  bool peer_ok = true;

  auto run_floor = [&](std::vector<double>& into) {
    for (int i = 0; i < plan.warmup + plan.samples_per_round; ++i) {
      const Clock::time_point start = Clock::now();
      const bool ok = floor.Status();
      const double us = MicrosecondsSince(start);
      if (!ok) {
        Fail("floor round trip");
        return;
      }
      if (i >= plan.warmup) {
        into.push_back(us);
      }
    }
  };
  auto run_library = [&](std::vector<double>& into) {
    for (int i = 0; i < plan.warmup + plan.samples_per_round; ++i) {
      const Clock::time_point start = Clock::now();
      const TORVEK::AttenuatorStatus status = handler.GetCurrentStatus(kReplyTimeoutMs);
      const double us = MicrosecondsSince(start);
      if (status != TORVEK::Ok) {
        Fail("library round trip returned " + std::to_string(status));
        return;
      }
      if (i >= plan.warmup) {
        into.push_back(us);
      }
    }
  };
  auto run_peer = [&](std::vector<double>& into) {
    if (!peer_ok) {
      return;
    }
    std::vector<double> times =
        RunPeer(device.Path(), plan.peer_samples_per_round, plan.warmup, &peer_version);
    if (times.empty()) {
      peer_ok = false;
      Fail("the pySerial peer did not run (needs python3-serial; scripts/install-deps.sh)");
      return;
    }
    into.insert(into.end(), times.begin(), times.end());
  };

  for (int round = 0; round < plan.rounds; ++round) {
    std::vector<double> f, l, p;
    std::vector<std::function<void()>> turns = {[&] { run_floor(f); }, [&] { run_library(l); },
                                                [&] { run_peer(p); }};
    for (int k = 0; k < 3; ++k) {
      turns[(round + k) % 3]();
    }
    if (!f.empty() && !l.empty()) {
      round_ratios.push_back(Summarize(l).median / Summarize(f).median);
    }
    if (!p.empty() && !l.empty()) {
      peer_round_ratios.push_back(Summarize(p).median / Summarize(l).median);
    }
    floor_times.insert(floor_times.end(), f.begin(), f.end());
    library_times.insert(library_times.end(), l.begin(), l.end());
    peer_times.insert(peer_times.end(), p.begin(), p.end());
  }

  const Summary floor_s = Summarize(floor_times);
  const Summary library_s = Summarize(library_times);
  const Summary peer_s = Summarize(peer_times);
  std::printf("   %d rounds x %d samples per client (pySerial: %d), after %d unrecorded each\n",
              plan.rounds, plan.samples_per_round, plan.peer_samples_per_round, plan.warmup);
  std::printf("   %-38s %9s %9s %9s\n", "client", "median", "p99", "max");
  PrintRow("floor: C write, then poll/read", floor_s);
  PrintRow("library: GetCurrentStatus", library_s);
  if (peer_ok) {
    PrintRow(("peer: " + peer_version).c_str(), peer_s);
  }
  // The same round trip with the wire trace on, written to a file: what seeing the line costs.
  // Off (above), it is one test of a pointer per step.
  char trace_path[] = "/tmp/torvek-bench-trace-XXXXXX";
  const int trace_fd = ::mkstemp(trace_path);
  if (trace_fd >= 0) {
    ::close(trace_fd);
    ::setenv("TORVEK_ATTENUATOR_TRACE", trace_path, 1);
    TORVEK::AttenuatorHandler traced;
    const bool traced_ok = Connected(traced, device.Path());
    ::unsetenv("TORVEK_ATTENUATOR_TRACE");
    std::vector<double> traced_times;
    for (int i = 0; traced_ok && i < plan.warmup + plan.samples_per_round; ++i) {
      const Clock::time_point start = Clock::now();
      const TORVEK::AttenuatorStatus status = traced.GetCurrentStatus(kReplyTimeoutMs);
      const double us = MicrosecondsSince(start);
      if (status != TORVEK::Ok) {
        Fail("traced round trip returned " + std::to_string(status));
        break;
      }
      if (i >= plan.warmup) {
        traced_times.push_back(us);
      }
    }
    if (!traced_times.empty()) {
      PrintRow("library, wire trace on (to a file)", Summarize(traced_times));
    }
    ::unlink(trace_path);
  }
  const double library_floor = library_s.median / floor_s.median;
  std::printf("   library / floor    %5.2f   target <= 1.30   %s\n", library_floor,
              Verdict(library_floor <= 1.30));
  if (peer_ok) {
    const double peer_library = peer_s.median / library_s.median;
    std::printf("   pySerial / library %5.2f   target >= 1.20   %s\n", peer_library,
                Verdict(peer_library >= 1.20));
  }
  std::printf("   by round, library / floor:   ");
  for (double r : round_ratios) {
    std::printf(" %.2f", r);
  }
  std::printf("\n   by round, pySerial / library:");
  for (double r : peer_round_ratios) {
    std::printf(" %.2f", r);
  }
  std::printf("\n");
  return {floor_s.median, library_s.median};
}

}  // namespace torvek_bench
