// attenuator-sim: a simulated attenuator on a new pseudo-terminal. The first line on stdout is
// the port to open; trace and diagnostics go to stderr. Serves until SIGINT, SIGTERM or SIGHUP.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
  OwnLink(std::string link, std::string target)
      : link_(std::move(link)), target_(std::move(target)) {}
  OwnLink(const OwnLink&) = delete;
  OwnLink& operator=(const OwnLink&) = delete;
  ~OwnLink() {
    std::string points_to(target_.size() + 2, '\0');
    const ssize_t n = readlink(link_.c_str(), points_to.data(), points_to.size());
    if (n >= 0 && static_cast<std::size_t>(n) == target_.size() &&
        points_to.compare(0, target_.size(), target_) == 0) {
      unlink(link_.c_str());
    }
  }

 private:
  std::string link_;
  std::string target_;
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "A simulated attenuator on a pseudo-terminal. Prints the port to open as the first "
      "line of stdout and serves until interrupted.",
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
    torvek::sim::DeviceServer server(faulty, options);

    // The link first: whoever reads the port line may use the link at once.
    std::optional<OwnLink> own_link;
    if (!s.link.empty()) {
      if (!MakeLink(server.Path(), s.link))
        return 2;
      own_link.emplace(s.link, server.Path());
    }
    std::printf("%s\n", server.Path().c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "attenuator-sim: serving on %s%s%s at %s\n", server.Path().c_str(),
                 s.link.empty() ? "" : " as ", s.link.c_str(),
                 s.baud == 0 ? "full speed" : (std::to_string(s.baud) + " baud").c_str());

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    own_link.reset();
    std::fprintf(stderr, "attenuator-sim: stopped by signal %d\n", signal_number);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "attenuator-sim: %s\n", e.what());
    return 1;
  }
  return 0;
}
