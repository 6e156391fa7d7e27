// attenuator-sim: a simulated attenuator on a new pseudo-terminal. The first line on stdout is
// the port to open, and each replug prints the new one; trace and diagnostics go to stderr.
// Serves until SIGINT, SIGTERM or SIGHUP; SIGUSR1 pulls the line out or puts it back.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include <CLI/CLI.hpp>

#include "AttenuatorModel.h"
#include "DeviceServer.h"
#include "FaultInjector.h"
#include "WireTrace.h"

namespace {

struct Settings {
  unsigned baud = 9600;
  std::string link;
  std::optional<std::uint64_t> seed;
  bool trace = false;
  torvek::sim::DeviceConfig device;
  torvek::sim::FaultOptions faults;
  unsigned degrees = 360;
  std::uint32_t pulses = 143360;
  long long optimize_ms = 2000;
  long long clean_ms = 1500;
  long long late_ms = 1500;
  long long fragment_gap_ms = 30;
  unsigned adapter_latency_ms = 0;
  std::optional<long long> unplug_after_ms;
  std::optional<long long> replug_after_ms;
  bool power_cycle = false;
};

// Durations beyond this (about 31 years) mean nothing more than "never" and would only wrap
// the clocks they are added to.
constexpr long long kLongestMs = 1'000'000'000'000;

// std::stod reads "nan" too, and NaN passes every range check by failing its comparisons.
const CLI::Validator kProbability(
    [](std::string& text) {
      double p = 0;
      try {
        std::size_t used = 0;
        p = std::stod(text, &used);
        if (used != text.size())
          return std::string("not a number: ") + text;
      } catch (const std::exception&) {
        return std::string("not a number: ") + text;
      }
      return p >= 0 && p <= 1 ? std::string() : "must be from 0 to 1: " + text;
    },
    "0..1");

void AddOptions(CLI::App& app, Settings& s) {
  auto* device = "Device";
  auto* faults = "Faults (probabilities 0 to 1, drawn per reply)";
  app.add_option("--baud", s.baud, "Line rate the replies are paced at, 8N1; 0 = no pacing")
      ->capture_default_str();
  app.add_option("--link", s.link, "Also make PATH a symlink to the port (removed on exit)");
  app.add_flag("--trace", s.trace, "Print every command and reply with timestamps on stderr");
  auto* line = "USB adapter";
  app.add_option("--adapter-latency-ms", s.adapter_latency_ms,
                 "Replies pass a USB serial adapter with a latency timer of this many ms, as a "
                 "real one does: it hands on what came off the line once the timer, started by "
                 "the first byte it holds, runs out, or at once when a 64-byte USB packet (62 "
                 "bytes of data) is full; it cannot tell where a reply ends, so a short one waits "
                 "out the whole timer (Linux's default: 16). 0 = no adapter")
      ->check(CLI::Range(0, 255))
      ->capture_default_str()
      ->group(line);
  app.add_option("--unplug-after-ms", s.unplug_after_ms,
                 "Pull the adapter out this many ms after start: the port path (and --link) "
                 "disappears; a reply the device was waiting to send is lost and the mount halts "
                 "where it is")
      ->check(CLI::Range(0LL, kLongestMs))
      ->group(line);
  app.add_option("--replug-after-ms", s.replug_after_ms,
                 "Plug it back in this many ms after each unplug, on a new pty behind the same "
                 "--link, its path printed as a new line on stdout; the device keeps its state")
      ->check(CLI::Range(0LL, kLongestMs))
      ->group(line);
  app.add_flag("--power-cycle", s.power_cycle,
               "The device loses its power with the line: after a replug the mount is back at "
               "--position")
      ->group(line);
  app.add_option("--speed", s.device.speed, "Steps per second of moves and homing; 0 = instant")
      ->capture_default_str()
      ->group(device);
  app.add_option("--position", s.device.start_position, "Mount position at start, in steps")
      ->group(device);
  app.add_option("--home-offset", s.device.home_offset, "Home offset reported by 0go, in steps")
      ->group(device);
  app.add_option("--status", s.device.status_code, "Status code reported by 0gs")
      ->check(CLI::Range(0, 255))
      ->group(device);
  app.add_option("--degrees", s.degrees, "Degrees per revolution in the identification")
      ->check(CLI::Range(0, 0xFFFF))
      ->capture_default_str()
      ->group(device);
  app.add_option("--pulses", s.pulses, "Steps per revolution in the identification")
      ->capture_default_str()
      ->group(device);
  const auto width = [](std::size_t n) {
    return CLI::Validator(
        [n](std::string& v) {
          return v.size() == n ? std::string() : "needs exactly " + std::to_string(n) + " chars";
        },
        std::to_string(n) + " CHARS");
  };
  app.add_option("--ident-a", s.device.identity.ident_a)->check(width(8))->group(device);
  app.add_option("--ident-b", s.device.identity.ident_b)->check(width(4))->group(device);
  app.add_option("--ident-c", s.device.identity.ident_c)->check(width(2))->group(device);
  app.add_option("--ident-d", s.device.identity.ident_d)->check(width(2))->group(device);
  app.add_option("--optimize-ms", s.optimize_ms, "Duration of the optimisation run (0om)")
      ->check(CLI::Range(0LL, kLongestMs))
      ->capture_default_str()
      ->group(device);
  app.add_option("--clean-ms", s.clean_ms, "Duration of the cleaning run (0cm)")
      ->check(CLI::Range(0LL, kLongestMs))
      ->capture_default_str()
      ->group(device);

  // A 64-bit unsigned option would take -1 as 2^64 - 1; a negative count or seed is a mistake.
  app.add_option("--seed", s.seed, "Seed of the fault draws (default: random, printed)")
      ->check(CLI::NonNegativeNumber)
      ->group(faults);
  for (auto [name, target, help] :
       {std::tuple{"--drop", &s.faults.drop, "Reply lost"},
        std::tuple{"--late", &s.faults.late, "Reply delayed by --late-ms"},
        std::tuple{"--corrupt", &s.faults.corrupt, "One reply byte (not CR LF) replaced"},
        std::tuple{"--fragment", &s.faults.fragment, "Reply sent in 2 to 4 pieces"}}) {
    app.add_option(name, *target, help)->check(kProbability)->group(faults);
  }
  app.add_option("--faults-after", s.faults.faults_after,
                 "Answer the first N commands faithfully (0in included)")
      ->check(CLI::NonNegativeNumber)
      ->group(faults);
  app.add_option("--late-ms", s.late_ms, "Delay of a late reply")
      ->check(CLI::Range(0LL, kLongestMs))
      ->capture_default_str()
      ->group(faults);
  app.add_option("--fragment-gap-ms", s.fragment_gap_ms, "Longest pause between pieces")
      ->check(CLI::Range(0LL, kLongestMs))
      ->capture_default_str()
      ->group(faults);
  app.add_option("--silent-after", s.faults.silent_after,
                 "Answer N commands (0in included), then none; 0 = none at all")
      ->check(CLI::NonNegativeNumber)
      ->group(faults);
  app.add_option("--hangup-after", s.faults.hangup_after,
                 "Answer N commands, then hang up at the next one")
      ->check(CLI::NonNegativeNumber)
      ->group(faults);
}

bool AnyFault(const torvek::sim::FaultOptions& f) {
  return f.drop > 0 || f.late > 0 || f.corrupt > 0 || f.fragment > 0 || f.silent_after ||
         f.hangup_after;
}

// Like socat's link=: an existing symlink is replaced, anything else is left alone.
bool MakeLink(const std::string& target, const std::string& link) {
  struct stat st;
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      std::fprintf(stderr, "attenuator-sim: %s exists and is not a symlink; not replacing it\n",
                   link.c_str());
      return false;
    }
    unlink(link.c_str());
  }
  if (symlink(target.c_str(), link.c_str()) != 0) {
    std::fprintf(stderr, "attenuator-sim: cannot create %s: %s\n", link.c_str(),
                 std::strerror(errno));
    return false;
  }
  return true;
}

// Another simulator may have taken the link over since (the newest one started wins it): only a
// link that still points to our own port is ours to remove.
class OwnLink {
 public:
  explicit OwnLink(std::string link) : link_(std::move(link)) {}
  OwnLink(const OwnLink&) = delete;
  OwnLink& operator=(const OwnLink&) = delete;
  ~OwnLink() { Remove(); }

  bool PointTo(const std::string& target) {
    if (link_.empty())
      return true;
    if (!MakeLink(target, link_))
      return false;
    target_ = target;
    return true;
  }

  void Remove() {
    if (target_.empty())
      return;
    std::string points_to(target_.size() + 2, '\0');
    const ssize_t n = readlink(link_.c_str(), points_to.data(), points_to.size());
    if (n >= 0 && static_cast<std::size_t>(n) == target_.size() &&
        points_to.compare(0, target_.size(), target_) == 0) {
      unlink(link_.c_str());
    }
    target_.clear();
  }

 private:
  const std::string link_;
  std::string target_;
};

// Pulls the line out and puts it back, by the clock of the options and on SIGUSR1.
class Plug {
 public:
  using Clock = std::chrono::steady_clock;

  Plug(const Settings& s, torvek::sim::DeviceServer& server, torvek::sim::AttenuatorModel& model,
       OwnLink& link)
      : s_(s), server_(server), model_(model), link_(link) {
    if (s.unplug_after_ms)
      next_ = Clock::now() + std::chrono::milliseconds(*s.unplug_after_ms);
  }

  // When the next unplug or replug is due; time_point::max() when none is.
  Clock::time_point Next() const { return next_; }

  // The unplug or replug that was due; the other one is done already (SIGUSR1, a hang-up).
  void OnTimer() {
    next_ = Clock::time_point::max();
    if (server_.Plugged() == next_is_unplug_) {
      if (next_is_unplug_) {
        Unplug();
      } else {
        Replug();
      }
    }
  }

  void OnSignal() {
    next_ = Clock::time_point::max();
    if (server_.Plugged()) {
      Unplug();
    } else {
      Replug();
    }
  }

 private:
  // The master goes before the link, so that whoever sees the link gone finds the port gone too.
  void Unplug() {
    server_.Unplug();
    link_.Remove();
    std::fprintf(stderr, "attenuator-sim: unplugged\n");
    if (s_.replug_after_ms) {
      next_ = Clock::now() + std::chrono::milliseconds(*s_.replug_after_ms);
      next_is_unplug_ = false;
    }
  }

  void Replug() {
    if (s_.power_cycle)
      model_.PowerCycle();
    const std::string path = server_.Replug();
    link_.PointTo(path);
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "attenuator-sim: plugged in again on %s%s%s\n", path.c_str(),
                 s_.link.empty() ? "" : " as ", s_.link.c_str());
  }

  const Settings& s_;
  torvek::sim::DeviceServer& server_;
  torvek::sim::AttenuatorModel& model_;
  OwnLink& link_;
  Clock::time_point next_ = Clock::time_point::max();
  bool next_is_unplug_ = true;
};

// Waits for one of `signals` until `deadline` (max: no deadline). 0 when the deadline came first.
int WaitForSignal(const sigset_t& signals, Plug::Clock::time_point deadline) {
  for (;;) {
    int number = -1;
    if (deadline == Plug::Clock::time_point::max()) {
      number = sigwaitinfo(&signals, nullptr);
    } else {
      const auto left = std::max(Plug::Clock::duration::zero(), deadline - Plug::Clock::now());
      const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      const timespec timeout{static_cast<time_t>(ns / 1'000'000'000),
                             static_cast<long>(ns % 1'000'000'000)};
      number = sigtimedwait(&signals, nullptr, &timeout);
      if (number < 0 && errno == EAGAIN)
        return 0;
    }
    if (number > 0)
      return number;
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "A simulated attenuator on a pseudo-terminal. Prints the port to open as the first "
      "line of stdout (and the new one as another line after each replug) and serves until "
      "interrupted. SIGUSR1 pulls the USB adapter out, or plugs it back in.",
      "attenuator-sim"};
  app.footer(
      "Examples:\n"
      "  $ attenuator-sim --link /tmp/ttyATT0 --trace &\n"
      "  $ attenuatorctl --port /tmp/ttyATT0 info\n"
      "  $ attenuator-sim --baud 0 --speed 0 --drop 0.1 --faults-after 1 --seed 7\n"
      "\n"
      "Environment:\n"
      "  attenuator-sim reads none; TORVEK_ATTENUATOR_TRACE shows the host's side of the line.");
  Settings s;
  AddOptions(app, s);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help is a "parse error" that exits with 0; every real one is a usage error.
    return app.exit(e) == 0 ? 0 : 2;
  }

  s.device.identity.degrees_per_revolution = static_cast<std::uint16_t>(s.degrees);
  s.device.identity.pulses_per_revolution = s.pulses;
  s.device.optimize_time = std::chrono::milliseconds(s.optimize_ms);
  s.device.clean_time = std::chrono::milliseconds(s.clean_ms);
  s.faults.late_by = std::chrono::milliseconds(s.late_ms);
  s.faults.fragment_gap = std::chrono::milliseconds(s.fragment_gap_ms);
  s.faults.seed = s.seed ? *s.seed : std::random_device{}();
  if (AnyFault(s.faults))
    std::fprintf(stderr, "attenuator-sim: fault seed %llu\n",
                 static_cast<unsigned long long>(s.faults.seed));

  // Blocked before any thread starts, so every thread inherits the mask and sigwait() below is
  // the only place the signals are taken.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  sigaddset(&stop_signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  try {
    std::unique_ptr<torvek::sim::WireTrace> trace;
    if (s.trace)
      trace = std::make_unique<torvek::sim::WireTrace>(stderr);
    torvek::sim::AttenuatorModel model(s.device);
    torvek::sim::FaultInjector faulty(model, s.faults, [&trace](const std::string& note) {
      if (trace)
        trace->Note(note);
    });
    torvek::sim::DeviceServer::Options options;
    options.baud = s.baud;
    options.observer = trace.get();
    options.keep_log = false;
    options.adapter_latency = std::chrono::milliseconds(s.adapter_latency_ms);
    torvek::sim::DeviceServer server(faulty, options);

    // The link first: whoever reads the port line may use the link at once.
    OwnLink own_link(s.link);
    if (!own_link.PointTo(server.Path()))
      return 2;
    std::printf("%s\n", server.Path().c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "attenuator-sim: serving on %s%s%s at %s\n", server.Path().c_str(),
                 s.link.empty() ? "" : " as ", s.link.c_str(),
                 s.baud == 0 ? "full speed" : (std::to_string(s.baud) + " baud").c_str());

    Plug plug(s, server, model, own_link);
    int signal_number = 0;
    while ((signal_number = WaitForSignal(stop_signals, plug.Next())) == 0 ||
           signal_number == SIGUSR1) {
      if (signal_number == 0) {
        plug.OnTimer();
      } else {
        plug.OnSignal();
      }
    }
    own_link.Remove();
    std::fprintf(stderr, "attenuator-sim: stopped by signal %d\n", signal_number);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "attenuator-sim: %s\n", e.what());
    return 1;
  }
  return 0;
}
