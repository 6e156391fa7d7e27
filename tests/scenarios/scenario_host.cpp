// Plays the host's side of a scenario through the library's public interface and checks every
// result, output value and duration. Portable: the same program runs on Linux and on Windows.
//
//   scenario_host SCENARIO LABEL=PORT...
//
// Every port the scenario declares needs its name ("A=/dev/pts/3", "A=COM5", "X=\\.\COM12").
// With SCENARIO_SHOW_TIMES set in the environment it prints how long each timed call took.
// Exit status: 0 when every check held, 1 when one failed, 2 when the scenario or the command
// line is unusable.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Scenario.h"
#include "torvek/AttenuatorHandler.h"

namespace {

using scenario::HostStep;
using scenario::Printable;
using scenario::ResultName;
using Clock = std::chrono::steady_clock;

// Outputs start as values no device reply can produce, so a call that must leave them alone
// can be told from one that wrote them.
constexpr int kStepsSentinel = -7777777;
constexpr float kDegreeSentinel = -777.0f;
constexpr float kTransmittanceSentinel = -7.0f;
constexpr const char* kTextSentinel = "unchanged";
constexpr double kFloatTolerance = 1e-5;

struct Outputs {
  int steps = kStepsSentinel;
  float degree = kDegreeSentinel;
  float transmittance = kTransmittanceSentinel;
  TORVEK::MotorInfo info{kTextSentinel, kTextSentinel, kTextSentinel, kTextSentinel,
                         kTextSentinel, kTextSentinel, kTextSentinel};
};

class Host {
 public:
  Host(const scenario::Scenario& scenario, std::vector<std::string> port_names)
      : scenario_(scenario),
        port_names_(std::move(port_names)),
        handler_(std::make_unique<TORVEK::AttenuatorHandler>()) {}

  int Run() {
    const std::vector<HostStep>& steps = scenario_.host;
    for (std::size_t i = 0; i < steps.size();) {
      if (steps[i].block == 0) {
        Execute(steps[i++]);
        continue;
      }
      std::map<int, std::vector<const HostStep*>> threads;
      const int block = steps[i].block;
      for (; i < steps.size() && steps[i].block == block; ++i)
        threads[steps[i].thread].push_back(&steps[i]);
      std::vector<std::thread> running;
      for (const auto& entry : threads) {
        const std::vector<const HostStep*>* list = &entry.second;
        running.emplace_back([this, list] {
          for (const HostStep* step : *list)
            Execute(*step);
        });
      }
      for (std::thread& thread : running)
        thread.join();
    }
    handler_.reset();
    std::printf("scenario_host: %s: %zu host statements, %d failed (library %s)\n",
                scenario_.name.c_str(), steps.size(), failures_, TORVEK::LibraryVersion());
    return failures_;
  }

 private:
  void Fail(const HostStep& step, const std::string& message) {
    std::lock_guard<std::mutex> lock(mu_);
    ++failures_;
    std::printf("%s:%d: %s\n", scenario_.name.c_str(), step.line, message.c_str());
    std::fflush(stdout);
  }

  void CheckDuration(const HostStep& step, const std::string& what, Clock::time_point start) {
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (step.within_ms && show_times_) {
      std::lock_guard<std::mutex> lock(mu_);
      std::printf("%s:%d: %s took %.1f ms\n", scenario_.name.c_str(), step.line, what.c_str(), ms);
    }
    if (step.within_ms && (ms < step.within_ms->first || ms > step.within_ms->second)) {
      char text[128];
      std::snprintf(text, sizeof text, " took %.1f ms, expected %g to %g", ms,
                    step.within_ms->first, step.within_ms->second);
      Fail(step, what + text);
    }
  }

  void Execute(const HostStep& step) {
    switch (step.kind) {
      case HostStep::Kind::kConnect: {
        const std::string& port = port_names_[static_cast<std::size_t>(step.port)];
        const Clock::time_point start = Clock::now();
        const bool connected = handler_->Connect(port);
        CheckDuration(step, "Connect(" + port + ")", start);
        if (connected != step.connected) {
          Fail(step, "Connect(" + port + ") returned " + (connected ? "true" : "false"));
        }
        break;
      }
      case HostStep::Kind::kCall:
        Call(step);
        break;
      case HostStep::Kind::kDisconnect:
        handler_->Disconnect();
        break;
      case HostStep::Kind::kDestroy:
        handler_.reset();
        handler_ = std::make_unique<TORVEK::AttenuatorHandler>();
        break;
      case HostStep::Kind::kSleep:
        std::this_thread::sleep_for(std::chrono::milliseconds(step.sleep_ms));
        break;
    }
  }

  void Call(const HostStep& step) {
    TORVEK::AttenuatorHandler& handler = *handler_;
    const std::vector<double>& a = step.args;
    const std::string& op = step.operation;
    const auto Int = [&a](std::size_t i) { return static_cast<int>(a[i]); };
    const auto Float = [&a](std::size_t i) { return static_cast<float>(a[i]); };
    const int timeout = Int(a.size() - 1);
    Outputs out;
    int result = 0;

    const Clock::time_point start = Clock::now();
    if (op == "GetCurrentStatus") {
      result = handler.GetCurrentStatus(timeout);
    } else if (op == "GetMotorInfo") {
      result = handler.GetMotorInfo(&out.info, timeout);
    } else if (op == "SetMotorSteps") {
      result = handler.SetMotorSteps(Int(0), timeout);
    } else if (op == "GetMotorSteps") {
      result = handler.GetMotorSteps(&out.steps, timeout);
    } else if (op == "SetMotorDegree") {
      result = handler.SetMotorDegree(Float(0), timeout);
    } else if (op == "GetMotorDegree") {
      result = handler.GetMotorDegree(&out.degree, timeout);
    } else if (op == "MechanicalCalibration") {
      result = handler.MechanicalCalibration(timeout);
    } else if (op == "StartOptimization") {
      result = handler.StartOptimization(timeout);
    } else if (op == "StartCleaningMechanics") {
      result = handler.StartCleaningMechanics(timeout);
    } else if (op == "Stop") {
      result = handler.Stop(timeout);
    } else if (op == "SetTransmittance") {
      result = handler.SetTransmittance(Float(0), a[1], a[2], timeout);
    } else if (op == "GetTransmittance") {
      result = handler.GetTransmittance(&out.transmittance, a[0], a[1], timeout);
    } else {
      Fail(step, "the host does not know " + op);
      return;
    }
    CheckDuration(step, op, start);

    if (result != step.result) {
      Fail(step, op + " returned " + ResultName(result) + ", expected " + ResultName(step.result));
    }
    for (const auto& [name, expected] : step.values)
      CheckValue(step, out, name, expected);
  }

  void CheckValue(const HostStep& step, const Outputs& out, const std::string& name,
                  const std::string& expected) {
    const bool unchanged = expected == "unchanged";
    std::string actual;
    bool same = false;
    if (name == "steps") {
      actual = std::to_string(out.steps);
      same = unchanged ? out.steps == kStepsSentinel : actual == expected;
    } else if (name == "degree" || name == "transmittance") {
      const float value = name == "degree" ? out.degree : out.transmittance;
      const float sentinel = name == "degree" ? kDegreeSentinel : kTransmittanceSentinel;
      char text[64];
      std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
      actual = text;
      same = unchanged
                 ? value == sentinel
                 : std::fabs(static_cast<double>(value) - std::strtod(expected.c_str(), nullptr)) <=
                       kFloatTolerance;
    } else {
      const TORVEK::MotorInfo& info = out.info;
      const std::map<std::string, const std::string*> fields = {
          {"ident_a", &info.ident_a},
          {"ident_b", &info.ident_b},
          {"ident_c", &info.ident_c},
          {"ident_d", &info.ident_d},
          {"degrees_per_revolution_text", &info.degrees_per_revolution_text},
          {"pulses_per_revolution_text", &info.pulses_per_revolution_text},
          {"home_offset_text", &info.home_offset_text}};
      actual = *fields.at(name);
      same = actual == (unchanged ? kTextSentinel : expected);
      actual = Printable(actual);
    }
    if (!same)
      Fail(step, step.operation + ": " + name + " is " + actual + ", expected " + expected);
  }

  const scenario::Scenario& scenario_;
  const std::vector<std::string> port_names_;
  std::unique_ptr<TORVEK::AttenuatorHandler> handler_;
  const bool show_times_ = std::getenv("SCENARIO_SHOW_TIMES") != nullptr;
  std::mutex mu_;
  int failures_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: scenario_host SCENARIO LABEL=PORT...\n");
    return 2;
  }
  try {
    const scenario::Scenario scenario = scenario::LoadScenario(argv[1]);
    std::map<std::string, std::string> given;
    for (int i = 2; i < argc; ++i) {
      const std::string arg = argv[i];
      const std::size_t equals = arg.find('=');
      if (equals == std::string::npos)
        throw scenario::ScenarioError("'" + arg + "' is not LABEL=PORT");
      given[arg.substr(0, equals)] = arg.substr(equals + 1);
    }
    std::vector<std::string> port_names;
    for (const scenario::Port& port : scenario.ports) {
      const auto found = given.find(port.label);
      if (found == given.end())
        throw scenario::ScenarioError("no port name given for " + port.label);
      port_names.push_back(found->second);
    }
    Host host(scenario, std::move(port_names));
    return host.Run() == 0 ? 0 : 1;
  } catch (const scenario::ScenarioError& error) {
    std::fprintf(stderr, "scenario_host: %s\n", error.what());
    return 2;
  }
}
