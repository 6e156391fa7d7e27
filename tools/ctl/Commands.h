#pragma once

#include "Output.h"
#include "Session.h"

namespace torvek::ctl {

// The two parameters of the transmittance model, in degrees.
struct ModelParameters {
  double min_angle = 0;
  double span = 90;
};

struct Context {
  Session& session;
  int timeout_ms;
  OutputStyle style;
};

// One device operation each; lines and JSON members only for what the device delivered.
Report ReadStatus(Context& c);
Report ReadInfo(Context& c);
Report ReadPosition(Context& c, bool in_steps);
Report MoveDegrees(Context& c, float degrees);
Report MoveSteps(Context& c, int steps);
Report Home(Context& c);
Report StopMotion(Context& c);
Report Optimize(Context& c);
Report Clean(Context& c);
Report ReadTransmittance(Context& c, const ModelParameters& model);
Report SetTransmittance(Context& c, float transmittance, const ModelParameters& model);
Report ReadOpticalDensity(Context& c, const ModelParameters& model);
// Refused with the densities the model reaches at the device's scale, which it asks the
// handler for.
Report SetOpticalDensity(Context& c, double density, const ModelParameters& model);

// Scan.cpp: the transmittance from 0 to 1 in `points` steps, as a table.
Report Scan(Context& c, int points, const ModelParameters& model);
// Tour.cpp: every operation in turn, narrated on stdout as it runs.
Report Tour(Context& c, const ModelParameters& model);

// Text of a position and of a transmittance, as every command shows them.
std::string DegreesText(float degrees);
std::string TransmittanceText(float transmittance);

}  // namespace torvek::ctl
