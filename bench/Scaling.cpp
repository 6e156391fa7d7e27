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

}  // namespace torvek_bench
