#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>

#include "Responder.h"

namespace torvek::sim {

// Line and device faults, each drawn per reply with its own probability (0 to 1).
struct FaultOptions {
  double drop = 0;      // the reply is lost
  double late = 0;      // the reply comes `late_by` later than it would
  double corrupt = 0;   // one byte of the reply, CR LF excepted, is replaced by another
  double fragment = 0;  // the reply arrives in 2 to 4 pieces, up to `fragment_gap` apart
  // The first this many commands get faithful replies, so a host can connect before the line
  // turns bad.
  std::uint64_t faults_after = 0;
  std::chrono::milliseconds late_by{1500};
  std::chrono::milliseconds fragment_gap{30};
  // Counting every command, the identification request included: after this many the device
  // stops answering (silent) or closes the line at the next one (hang-up); 0 = from the first
  // command on. Unset = never.
  std::optional<std::uint64_t> silent_after;
  std::optional<std::uint64_t> hangup_after;
  std::uint64_t seed = 1;
};

// Puts faults between a device and the line. The random draws depend only on the seed and the
// order of the commands, so a run with the same seed and the same host program repeats exactly.
class FaultInjector : public Responder {
 public:
  // Told what was done to each reply that did not go out as the device meant it.
  using Notes = std::function<void(const std::string& note)>;

  FaultInjector(Responder& device, FaultOptions options, Notes notes = nullptr);

  Action OnCommand(const std::string& command) override;
  // A reply cut short meets the faults its command's reply was drawn to meet.
  std::optional<Action> OnCommandDuring(const std::string& command) override;
  void OnUnplug() override { device_.OnUnplug(); }

 private:
  // What the draws for the last command decided.
  struct Drawn {
    bool silent = false;
    bool faithful = false;
    bool drop = false;
    bool late = false;
    bool corrupt = false;
    bool fragment = false;
  };

  Action Apply(Action action);  // caller holds mu_
  double Uniform();
  std::uint64_t Below(std::uint64_t n);  // from the detail stream
  void Note(const std::string& text);
  std::string Corrupt(std::string reply);
  std::vector<Chunk> Fragment(std::chrono::microseconds delay, const std::string& reply);

  Responder& device_;
  const FaultOptions options_;
  Notes notes_;
  std::mutex mu_;
  // Whether a fault strikes comes from one stream, four draws per reply; which byte and where
  // to cut from another. So switching one fault on or off never changes when the others strike.
  std::mt19937_64 random_;
  std::mt19937_64 detail_random_;
  std::uint64_t commands_ = 0;
  Drawn drawn_;
};

}  // namespace torvek::sim
