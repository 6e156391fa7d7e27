#include <chrono>
#include <cstdio>
#include <functional>

#include <torvek_wiretext/Escape.h>
#include "Commands.h"
#include "Spinner.h"

namespace torvek::ctl {
namespace {

struct Step {
  std::string title;
  std::string call;
  std::function<int(std::string* result)> run;  // returns the status, describes the result
  bool refusal_expected = false;
};

std::vector<Step> Steps(TORVEK::AttenuatorHandler& h, int t, const ModelParameters& m) {
  const std::string ts = std::to_string(t);
  const std::string model = Format("%g, %g", m.min_angle, m.span);
  return {
      {"Read the device's status code", "GetCurrentStatus(" + ts + ")",
       [&h, t](std::string*) { return h.GetCurrentStatus(t); }},
      {"Read the identification record and the home offset", "GetMotorInfo(&info, " + ts + ")",
       [&h, t](std::string* out) {
         TORVEK::MotorInfo info;
         const int status = h.GetMotorInfo(&info, t);
         *out = info.ident_a + " " + info.ident_b + " " + info.ident_c + " " + info.ident_d + ", " +
                info.degrees_per_revolution_text + " degrees = " + info.pulses_per_revolution_text +
                " steps, home offset " + info.home_offset_text + " degrees";
         return status;
       }},
      {"Where is the mount?", "GetMotorDegree(&degrees, " + ts + ")",
       [&h, t](std::string* out) {
         float degrees = 0;
         const int status = h.GetMotorDegree(&degrees, t);
         *out = DegreesText(degrees);
         return status;
       }},
      {"Turn to 90 degrees; the device answers when the motion ends",
       "SetMotorDegree(90, " + ts + ")", [&h, t](std::string*) { return h.SetMotorDegree(90, t); }},
      {"Read the position in motor steps", "GetMotorSteps(&steps, " + ts + ")",
       [&h, t](std::string* out) {
         int steps = 0;
         const int status = h.GetMotorSteps(&steps, t);
         *out = std::to_string(steps) + " steps";
         return status;
       }},
      {"Move by steps: a quarter turn the other way", "SetMotorSteps(-35840, " + ts + ")",
       [&h, t](std::string*) { return h.SetMotorSteps(-35840, t); }},
      {"Ask for a transmittance of 0.25", "SetTransmittance(0.25, " + model + ", " + ts + ")",
       [&h, t, m](std::string*) { return h.SetTransmittance(0.25f, m.min_angle, m.span, t); }},
      {"Read the transmittance back (whole steps: close, not exact)",
       "GetTransmittance(&T, " + model + ", " + ts + ")",
       [&h, t, m](std::string* out) {
         float transmittance = 0;
         const int status = h.GetTransmittance(&transmittance, m.min_angle, m.span, t);
         *out = "T = " + TransmittanceText(transmittance);
         return status;
       }},
      {"Home the mount", "MechanicalCalibration(" + ts + ")",
       [&h, t](std::string*) { return h.MechanicalCalibration(t); }},
      {"Run the motor optimisation", "StartOptimization(" + ts + ")",
       [&h, t](std::string*) { return h.StartOptimization(t); }},
      {"Clean the mechanics", "StartCleaningMechanics(" + ts + ")",
       [&h, t](std::string*) { return h.StartCleaningMechanics(t); }},
      {"Stop (the mount stands already)", "Stop(" + ts + ")",
       [&h, t](std::string*) { return h.Stop(t); }},
      {"An angle out of range is refused before anything is sent",
       "SetMotorDegree(400, " + ts + ")",
       [&h, t](std::string*) { return h.SetMotorDegree(400, t); }, true},
  };
}

std::vector<JsonObject> ShowWire(const std::vector<WireEvent>& events,
                                 std::chrono::steady_clock::time_point start, bool print) {
  std::vector<JsonObject> wire;
  for (const WireEvent& e : events) {
    const double ms = std::chrono::duration<double, std::milli>(e.when - start).count();
    if (print) {
      std::printf("     %-6s %-38s %+7.0f ms\n", e.from_host ? "host" : "device",
                  TORVEK::EscapedBytes(e.bytes).c_str(), ms);
    }
    wire.push_back(
        JsonObject().String("from", e.from_host ? "host" : "device").String("bytes", e.bytes));
  }
  return wire;
}

}  // namespace

Report Tour(Context& c, const ModelParameters& model) {
  const bool print = !c.style.json;
  WireTap* tap = c.session.Tap();
  std::vector<JsonObject> steps;
  Report r;
  if (print) {
    std::printf("A tour of every operation, on %s%s.\n", c.session.Port().c_str(),
                tap ? " (a simulated attenuator in this process)" : "");
    std::printf(
        "Each step shows the library call, the bytes on the line with the time since the "
        "call began, and the result.\n");
    if (tap == nullptr)
      std::printf("The line is not visible on a real port; attenuator-sim --trace shows it.\n");
    std::printf("\n 0  Connect(\"%s\")\n", c.session.Port().c_str());
  }
  // The connection was made before the tour began; its exchange is the first thing on the line.
  if (tap != nullptr) {
    const std::vector<WireEvent> connect = tap->Take();
    if (!connect.empty()) {
      steps.push_back(JsonObject()
                          .String("call", "Connect(\"" + c.session.Port() + "\")")
                          .String("result", "true")
                          .Objects("wire", ShowWire(connect, connect.front().when, print)));
    }
  }
  if (print)
    std::printf("     => true\n");

  int number = 0;
  int refused = 0;
  for (const Step& step : Steps(c.session.Handler(), c.timeout_ms, model)) {
    ++number;
    if (print) {
      std::printf("\n%2d  %s\n    %s\n", number, step.title.c_str(), step.call.c_str());
      FlushStdout();
    }
    std::string detail;
    const auto start = std::chrono::steady_clock::now();
    const int status = WithSpinner("waiting", [&] { return step.run(&detail); });
    const std::vector<WireEvent> events = tap ? tap->Take() : std::vector<WireEvent>{};
    const std::vector<JsonObject> wire = ShowWire(events, start, print);
    const bool as_expected = step.refusal_expected && status == TORVEK::InvalidArgument;
    if (status != TORVEK::Ok && !as_expected && r.status == TORVEK::Ok)
      r.status = status;
    refused += as_expected;
    const std::string outcome = ResultWord(status) +
                                (status == TORVEK::Ok && !detail.empty() ? ": " + detail : "") +
                                (as_expected ? ", as expected; nothing was sent" : "");
    if (print)
      std::printf("     => %s\n", outcome.c_str());
    JsonObject json;
    json.String("call", step.call).String("result", ResultWord(status)).Integer("status", status);
    if (status == TORVEK::Ok && !detail.empty())
      json.String("detail", detail);
    steps.push_back(json.Objects("wire", wire));
  }
  if (print) {
    std::printf("\n");
    FlushStdout();
  }
  r.lines.push_back(r.status == TORVEK::Ok
                        ? Format("Tour done: %d operations, all as expected (%d refused on "
                                 "purpose).",
                                 number, refused)
                        : "Tour ended with a failure.");
  r.json.Objects("steps", steps);
  return r;
}

}  // namespace torvek::ctl
