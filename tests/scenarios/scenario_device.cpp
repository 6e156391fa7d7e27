// Plays the devices' side of a scenario on Linux pseudo-terminals, starts the host program,
// and checks the wire: every command in the expected order with its exact bytes, nothing else,
// and each port closed by the host exactly where the scenario says.
//
//   scenario_device SCENARIO --links DIR [--port-names NAME,...] [--host-scenario PATH]
//                   [--baud N] [--timeout S] [--attempts N] -- HOST_PROGRAM [ARGS...]
//
// Port k of the scenario (in declaration order) is reached through the link DIR/portK, which
// points at the pseudo-terminal of a simulated device and does not exist for an `absent` one.
// The host is started as HOST_PROGRAM ARGS... SCENARIO LABEL=NAME..., where NAME is the link
// itself or, with --port-names, the K-th name of that list (a COM port that Wine maps to
// DIR/portK, say). --host-scenario names the scenario file as the host sees it ("Z:/..." for a
// program under Wine). --baud paces the devices' replies at that line rate (default 0: each piece
// at once, as the tests of the library do: Connect allows the identification only 100 ms, and 35
// paced bytes need 36 of them, which a loaded machine can stretch past the limit). --timeout bounds
// each run of the host. --attempts N plays a failed scenario again, with fresh devices, up to N
// times in all; every failed attempt is reported. A machine whose cores are saturated can delay a
// reply past Connect's fixed 100 ms (seen on Linux and under Wine alike), and that is not the
// fault a scenario looks for; a real one fails every attempt. Exit status: 0 when the host and
// the wire both passed, 1 otherwise, 2 when the scenario or the command line is unusable.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DeviceServer.h"
#include "Responder.h"
#include "Scenario.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using torvek::scenario::DeviceStep;
using torvek::scenario::Printable;

// The devices' script, shared by all ports: one expectation after the other, or any order
// within a parallel block.
class Script {
 public:
  explicit Script(const torvek::scenario::Scenario& scenario)
      : scenario_(scenario),
        met_(scenario.device.size(), false),
        servers_(scenario.ports.size(), nullptr),
        total_closes_(scenario.ports.size(), 0) {
    for (const DeviceStep& step : scenario.device) {
      closes_before_.push_back(total_closes_);
      if (step.kind == DeviceStep::Kind::kClosed)
        ++total_closes_[static_cast<std::size_t>(step.port)];
    }
  }

  // Devices attached earlier are already serving, and their threads read the list.
  void Attach(int port, torvek::sim::DeviceServer* server) {
    std::lock_guard<std::mutex> lock(mu_);
    servers_[static_cast<std::size_t>(port)] = server;
  }

  torvek::sim::Action OnCommand(int port, const std::string& command) {
    std::lock_guard<std::mutex> lock(mu_);
    const std::vector<DeviceStep>& steps = scenario_.device;
    std::size_t first = 0;
    while (first < steps.size() &&
           (met_[first] || steps[first].kind == DeviceStep::Kind::kClosed)) {
      ++first;
    }
    if (first == steps.size()) {
      Error(Where() + "port " + Label(port) + " received " + Printable(command) +
            " after the last expected command");
      return torvek::sim::Action::Silence();
    }

    std::size_t match = steps.size();
    for (std::size_t i = first; i < steps.size(); ++i) {
      const DeviceStep& step = steps[i];
      if (i > first && (steps[first].block == 0 || step.block != steps[first].block))
        break;
      if (!met_[i] && step.port == port && step.command == command) {
        match = i;
        break;
      }
    }
    if (match == steps.size()) {
      const DeviceStep& wanted = steps[first];
      Error(Where(wanted) + "port " + Label(port) + " received " + Printable(command) +
            ", expected " + Printable(wanted.command) + " on port " + Label(wanted.port));
      return torvek::sim::Action::Silence();
    }

    met_[match] = true;
    const DeviceStep& step = steps[match];
    for (std::size_t p = 0; p < servers_.size(); ++p) {
      if (servers_[p] == nullptr)
        continue;
      const int closes = servers_[p]->PeerCloseCount();
      if (closes != closes_before_[match][p]) {
        Error(Where(step) + "when " + Printable(command) + " arrived, the host had closed port " +
              Label(static_cast<int>(p)) + " " + std::to_string(closes) + " times, expected " +
              std::to_string(closes_before_[match][p]));
      }
    }

    torvek::sim::Action action;
    for (const torvek::scenario::Piece& piece : step.pieces)
      action.chunks.push_back(
          torvek::sim::Chunk{std::chrono::milliseconds(piece.wait_ms), piece.bytes});
    action.hang_up = step.hang_up;
    return action;
  }

  // Once the host has finished: every expectation met, every close seen, nothing stray.
  void Finish() {
    for (std::size_t p = 0; p < servers_.size(); ++p) {
      if (servers_[p] != nullptr)
        servers_[p]->WaitForPeerClose(3s, total_closes_[p]);
    }
    // A close beyond the scenario's would come now, if at all.
    std::this_thread::sleep_for(100ms);

    std::lock_guard<std::mutex> lock(mu_);
    for (std::size_t i = 0; i < scenario_.device.size(); ++i) {
      const DeviceStep& step = scenario_.device[i];
      if (step.kind == DeviceStep::Kind::kExpect && !met_[i]) {
        Error(Where(step) + Printable(step.command) + " never arrived on port " + Label(step.port));
      }
    }
    for (std::size_t p = 0; p < servers_.size(); ++p) {
      const torvek::sim::DeviceServer* server = servers_[p];
      if (server == nullptr)
        continue;
      const int port = static_cast<int>(p);
      if (server->PeerCloseCount() != total_closes_[p]) {
        Error(Where() + "the host closed port " + Label(port) + " " +
              std::to_string(server->PeerCloseCount()) + " times, the scenario says " +
              std::to_string(total_closes_[p]));
      }
      std::string commands;
      for (const std::string& command : server->Commands())
        commands += command;
      const std::string wire = server->AllReceived();
      if (wire != commands) {
        Error(Where() + "port " + Label(port) + " received bytes that are no whole command: " +
              Printable(wire.substr(commands.size())));
      }
    }
  }

  std::size_t ErrorCount() {
    std::lock_guard<std::mutex> lock(mu_);
    return errors_;
  }

  std::size_t MetCount() {
    std::lock_guard<std::mutex> lock(mu_);
    std::size_t met = 0;
    for (const bool m : met_)
      met += m ? 1 : 0;
    return met;
  }

 private:
  std::string Label(int port) const {
    return scenario_.ports[static_cast<std::size_t>(port)].label;
  }
  std::string Where(const DeviceStep& step) const {
    return scenario_.name + ":" + std::to_string(step.line) + ": ";
  }
  std::string Where() const { return scenario_.name + ": "; }
  // Messages start with the scenario's name and, where one is to blame, the line.
  void Error(const std::string& message) {
    ++errors_;
    std::printf("%s\n", message.c_str());
    std::fflush(stdout);
  }

  std::mutex mu_;
  const torvek::scenario::Scenario& scenario_;
  std::vector<bool> met_;
  std::vector<torvek::sim::DeviceServer*> servers_;
  std::vector<int> total_closes_;
  std::vector<std::vector<int>> closes_before_;
  std::size_t errors_ = 0;
};

class PortResponder : public torvek::sim::Responder {
 public:
  PortResponder(Script& script, int port) : script_(script), port_(port) {}
  torvek::sim::Action OnCommand(const std::string& command) override {
    return script_.OnCommand(port_, command);
  }

 private:
  Script& script_;
  int port_;
};

[[noreturn]] void Usage(const std::string& problem) {
  std::fprintf(stderr,
               "scenario_device: %s\nusage: scenario_device SCENARIO --links DIR "
               "[--port-names NAME,...] [--host-scenario PATH] [--baud N] [--timeout S] "
               "[--attempts N] -- HOST_PROGRAM [ARGS...]\n",
               problem.c_str());
  std::exit(2);
}

// Replaces `link` by a symbolic link to `target` in one step, so that nobody who opens the link
// meanwhile finds it missing.
bool PointLink(const std::string& link, const std::string& target) {
  const std::string temporary = link + ".new";
  ::unlink(temporary.c_str());
  return ::symlink(target.c_str(), temporary.c_str()) == 0 &&
         ::rename(temporary.c_str(), link.c_str()) == 0;
}

// Runs the host and returns its exit status, or -1 when it had to be killed or did not start.
int RunHost(const std::vector<std::string>& command, std::chrono::seconds limit) {
  std::vector<char*> argv;
  for (const std::string& arg : command)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (const int error = ::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
      error != 0) {
    std::printf("scenario_device: cannot start %s: %s\n", argv[0], std::strerror(error));
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0 && errno != EINTR)
      return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      std::printf("scenario_device: the host is still running after %lld s; killed\n",
                  static_cast<long long>(limit.count()));
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
}

struct Options {
  std::string scenario_path;
  std::string links;
  std::string host_scenario;
  std::vector<std::string> port_names;
  unsigned baud = 0;
  long timeout_s = 120;
  int attempts = 1;
  std::vector<std::string> host;
};

// One play of the scenario with fresh devices. Returns 0 when it passed, 1 when it failed, 2
// when the devices could not be set up.
int PlayOnce(const torvek::scenario::Scenario& scenario, const Options& options) {
  Script script(scenario);
  std::vector<std::unique_ptr<PortResponder>> responders;
  std::vector<std::unique_ptr<torvek::sim::DeviceServer>> servers;
  std::vector<std::string> link_paths;
  std::vector<std::string> host_command = options.host;
  host_command.push_back(options.host_scenario.empty() ? options.scenario_path
                                                       : options.host_scenario);
  for (std::size_t p = 0; p < scenario.ports.size(); ++p) {
    const torvek::scenario::Port& port = scenario.ports[p];
    const std::string link = options.links + "/port" + std::to_string(p);
    link_paths.push_back(link);
    if (port.simulated) {
      responders.push_back(std::make_unique<PortResponder>(script, static_cast<int>(p)));
      servers.push_back(std::make_unique<torvek::sim::DeviceServer>(
          *responders.back(), torvek::sim::ServerOptions{options.baud}));
      script.Attach(static_cast<int>(p), servers.back().get());
      if (!PointLink(link, servers.back()->Path())) {
        std::fprintf(stderr, "scenario_device: cannot link %s: %s\n", link.c_str(),
                     std::strerror(errno));
        return 2;
      }
    } else if (::unlink(link.c_str()) != 0 && errno != ENOENT) {
      std::fprintf(stderr, "scenario_device: cannot remove %s\n", link.c_str());
      return 2;
    }
    const std::string name = options.port_names.empty() ? link : options.port_names[p];
    host_command.push_back(port.label + "=" + name);
  }
  std::fflush(stdout);

  const int host_status = RunHost(host_command, std::chrono::seconds(options.timeout_s));
  script.Finish();
  for (const std::string& link : link_paths)
    ::unlink(link.c_str());

  const std::size_t errors = script.ErrorCount();
  std::printf("scenario_device: %s: %zu ports, %zu expectations met, %zu wire problems, host %s\n",
              scenario.name.c_str(), scenario.ports.size(), script.MetCount(), errors,
              host_status == 0 ? "passed" : "FAILED");
  return host_status == 0 && errors == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto Value = [&]() -> std::string {
      if (i + 1 >= argc)
        Usage(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--") {
      options.host.assign(argv + i + 1, argv + argc);
      break;
    } else if (arg == "--links") {
      options.links = Value();
    } else if (arg == "--port-names") {
      std::istringstream list(Value());
      for (std::string name; std::getline(list, name, ',');)
        options.port_names.push_back(name);
    } else if (arg == "--host-scenario") {
      options.host_scenario = Value();
    } else if (arg == "--baud") {
      options.baud = static_cast<unsigned>(std::stoul(Value()));
    } else if (arg == "--timeout") {
      options.timeout_s = std::stol(Value());
    } else if (arg == "--attempts") {
      options.attempts = std::stoi(Value());
    } else if (options.scenario_path.empty() && arg.rfind("--", 0) != 0) {
      options.scenario_path = arg;
    } else {
      Usage("unknown argument " + arg);
    }
  }
  if (options.scenario_path.empty() || options.links.empty() || options.host.empty() ||
      options.attempts < 1) {
    Usage("SCENARIO, --links and the host program are needed");
  }

  torvek::scenario::Scenario scenario;
  try {
    scenario = torvek::scenario::LoadScenario(options.scenario_path);
  } catch (const torvek::scenario::ScenarioError& error) {
    std::fprintf(stderr, "scenario_device: %s\n", error.what());
    return 2;
  }
  if (!options.port_names.empty() && options.port_names.size() < scenario.ports.size())
    Usage(scenario.name + " has " + std::to_string(scenario.ports.size()) + " ports, " +
          std::to_string(options.port_names.size()) + " names given");
  std::error_code made;
  std::filesystem::create_directories(options.links, made);

  for (int attempt = 1;; ++attempt) {
    const int result = PlayOnce(scenario, options);
    if (result == 0 && attempt > 1) {
      std::printf("scenario_device: %s passed at attempt %d of %d\n", scenario.name.c_str(),
                  attempt, options.attempts);
    }
    if (result != 1 || attempt == options.attempts)
      return result;
    std::printf("scenario_device: %s: attempt %d of %d FAILED (above); playing it again\n",
                scenario.name.c_str(), attempt, options.attempts);
  }
}
