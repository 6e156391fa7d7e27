#include "Simulation.h"

#include <condition_variable>
#include <mutex>

#include "AttenuatorModel.h"
#include "DeviceServer.h"

namespace torvek::ctl {
namespace {

using namespace std::chrono_literals;

// A host returns as soon as the reply's last byte is readable, which can be a moment before the
// device thread has logged that byte as sent.
constexpr auto kSettle = 200ms;

class Simulation : public WireTap, private torvek::sim::LineObserver {
 public:
  Simulation() : server_(model_, Options(this)) {}

  const std::string& Port() const override { return server_.Path(); }

  std::vector<WireEvent> Take() override {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, kSettle, [this] { return replies_ >= commands_; });
    std::vector<WireEvent> taken;
    taken.swap(events_);
    return taken;
  }

 private:
  static torvek::sim::ServerOptions Options(torvek::sim::LineObserver* observer) {
    torvek::sim::ServerOptions options;
    options.baud = 9600;
    options.observer = observer;
    options.keep_log = false;
    return options;
  }

  void OnCommand(torvek::sim::Clock::time_point when, const std::string& command) override {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(WireEvent{when, true, command});
    ++commands_;
  }

  void OnSent(const torvek::sim::Sent& sent) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back(WireEvent{sent.when, false, sent.bytes});
      ++replies_;
    }
    cv_.notify_all();
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<WireEvent> events_;
  std::size_t commands_ = 0;  // the model answers every command with one write
  std::size_t replies_ = 0;
  torvek::sim::AttenuatorModel model_;
  torvek::sim::DeviceServer server_;  // last: stops before the members it reports to go away
};

}  // namespace

std::unique_ptr<WireTap> StartSimulation() {
  return std::make_unique<Simulation>();
}

}  // namespace torvek::ctl
