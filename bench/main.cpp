// Measures the status transaction of the library side by side with the least a host can do on
// the same port (the floor) and with what a user would write instead (Python with pySerial),
// all against one kind of device that answers at once. See README, "Performance".
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

#include "FloorClient.h"
#include "InstantDevice.h"
#include "Measure.h"
#include "torvek/AttenuatorHandler.h"

namespace torvek_bench {
namespace {

// The device must identify itself within 100 ms of the pause; on a machine busy with other
// work a thread can stall that long. Setting up a measurement is not what is measured, so
// it gets two more chances (section 3 times Connect itself, without them).
bool Connected(TORVEK::AttenuatorHandler& handler, const std::string& path) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (handler.Connect(path)) {
      return true;
    }
  }
  return false;
}

using namespace std::chrono_literals;

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
};

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
};
const Plan kQuick{
    "quick", 2, 150, 100, 30, {20, 5, 2}, 2, {1, 2}, 150ms, 300, 5, 2000, 300ms,
};

constexpr int kReplyTimeoutMs = 1000;
constexpr char kStatusCommand[] = "0gs";

bool g_failed = false;

void Fail(const std::string& what) {
  std::printf("   FAILED: %s\n", what.c_str());
  g_failed = true;
}

double MicrosecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

const char* Verdict(bool met) {
  return met ? "met" : "MISSED";
}

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

void PrintRow(const char* client, const Summary& s) {
  std::printf("   %-38s %9.1f %9.1f %9.1f\n", client, s.median, s.p99, s.max);
}

// Medians of section 1, for section 5 to set the design's cost against.
struct RoundTripMedians {
  double floor = 0;
  double library = 0;
};

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
    cancel_ms.push_back(
        std::chrono::duration<double, std::milli>(returned.time_since_epoch() -
                                                  Clock::duration(cancelled_at.load()))
            .count());
  }
  const Summary c = Summarize(cancel_ms);
  std::printf("   Cancel from another thread to the return of the call it ends (ms)\n");
  std::printf("   %-19s %6zu %8.3f %8.3f %8.3f %8.3f\n", "", c.count, c.min, c.median, c.p99,
              c.max);
  std::printf("   target: max <= 10 ms   %s\n", Verdict(c.max <= 10.0));
}

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

// 4. Separate handlers on separate devices, each driven by its own thread.
template <typename Client>
double Throughput(int n, std::chrono::milliseconds window,
                  const std::function<std::unique_ptr<Client>(const std::string&)>& open,
                  const std::function<bool(Client&)>& call) {
  std::vector<std::unique_ptr<InstantDevice>> devices;
  std::vector<std::unique_ptr<Client>> clients(n);
  for (int i = 0; i < n; ++i) {
    devices.push_back(std::make_unique<InstantDevice>());
  }
  {
    std::vector<std::thread> openers;
    for (int i = 0; i < n; ++i) {
      openers.emplace_back([&, i] { clients[i] = open(devices[i]->Path()); });
    }
    for (std::thread& t : openers) {
      t.join();
    }
  }
  for (const auto& c : clients) {
    if (!c) {
      Fail("a client could not open its device");
      return 0;
    }
  }
  std::atomic<bool> go{false}, stop{false}, failed{false};
  std::vector<std::uint64_t> counts(n, 0);
  std::vector<std::thread> workers;
  for (int i = 0; i < n; ++i) {
    workers.emplace_back([&, i] {
      while (!go.load()) {
        std::this_thread::yield();
      }
      std::uint64_t done = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        if (!call(*clients[i])) {
          failed = true;
          break;
        }
        ++done;
      }
      counts[i] = done;
    });
  }
  const Clock::time_point start = Clock::now();
  go = true;
  std::this_thread::sleep_for(window);
  stop = true;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (std::thread& t : workers) {
    t.join();
  }
  if (failed) {
    Fail("a transaction failed while scaling");
  }
  std::uint64_t total = 0;
  for (std::uint64_t c : counts) {
    total += c;
  }
  return static_cast<double>(total) / seconds;
}

void Scaling(const Plan& plan) {
  std::printf("\n4. Scaling: N handlers on N devices, one thread each (transactions/s, total)\n");
  std::printf("   %8s %12s %12s %14s\n", "handlers", "library", "floor", "library/floor");
  using Handler = TORVEK::AttenuatorHandler;
  for (int n : plan.scaling_handlers) {
    const double library = Throughput<Handler>(
        n, plan.scaling_window,
        [](const std::string& path) {
          auto h = std::make_unique<Handler>();
          return h->Connect(path) ? std::move(h) : nullptr;
        },
        [](Handler& h) { return h.GetCurrentStatus(kReplyTimeoutMs) == TORVEK::Ok; });
    const double floor = Throughput<FloorPort>(
        n, plan.scaling_window,
        [](const std::string& path) {
          auto f = std::make_unique<FloorPort>(path);
          return f->Open() ? std::move(f) : nullptr;
        },
        [](FloorPort& f) { return f.Status(); });
    std::printf("   %8d %12.0f %12.0f %14.2f\n", n, library, floor, library / floor);
  }
}

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
        "(the port, and the epoll, eventfd and timerfd of its I/O context)\n",
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

}  // namespace
}  // namespace torvek_bench

int main(int argc, char** argv) {
  using namespace torvek_bench;
  const Plan* plan = &kFull;
  bool wanted[7] = {false, true, true, true, true, true, true};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      plan = &kQuick;
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      std::fill(std::begin(wanted), std::end(wanted), false);
      for (const char* c = argv[++i]; *c != '\0'; ++c) {
        if (*c >= '1' && *c <= '6') {
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

  std::printf("\nload average at end: %s; %.1f s\n", LoadAverage().c_str(),
              std::chrono::duration<double>(Clock::now() - start).count());
  if (g_failed) {
    std::printf("the benchmark FAILED: see above\n");
    return 1;
  }
  return 0;
}
