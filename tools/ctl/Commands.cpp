#include "Commands.h"

#include <cmath>
#include <cstdint>

#include "Spinner.h"

namespace torvek::ctl {
namespace {

Report Plain(int status) {
  Report r;
  r.status = status;
  if (status == TORVEK::Ok)
    r.lines.push_back("Ok");
  return r;
}

}  // namespace

std::string DegreesText(float degrees) {
  return Format("%.4f degrees", static_cast<double>(degrees));
}

std::string TransmittanceText(float transmittance) {
  return Format("%.6f", static_cast<double>(transmittance));
}

Report ReadStatus(Context& c) {
  Report r;
  r.status = c.session.Handler().GetCurrentStatus(c.timeout_ms);
  r.status_is_answer = r.status > 0;
  if (r.status >= 0)
    r.lines.push_back(ResultWord(r.status));
  return r;
}

Report ReadInfo(Context& c) {
  TORVEK::MotorInfo info;
  Report r;
  r.status = c.session.Handler().GetMotorInfo(&info, c.timeout_ms);
  if (r.status != TORVEK::Ok)
    return r;
  r.lines = {"identification  " + info.ident_a + " " + info.ident_b + " " + info.ident_c + " " +
                 info.ident_d,
             "scale           " + info.degrees_per_revolution_text + " degrees, " +
                 info.pulses_per_revolution_text + " steps per revolution",
             "home offset     " + info.home_offset_text + " degrees"};
  r.json.String("ident_a", info.ident_a)
      .String("ident_b", info.ident_b)
      .String("ident_c", info.ident_c)
      .String("ident_d", info.ident_d)
      .Decimal("degrees_per_revolution", info.degrees_per_revolution_text)
      .Decimal("pulses_per_revolution", info.pulses_per_revolution_text)
      .Decimal("home_offset", info.home_offset_text);
  return r;
}

Report ReadPosition(Context& c, bool in_steps) {
  Report r;
  if (in_steps) {
    int steps = 0;
    r.status = c.session.Handler().GetMotorSteps(&steps, c.timeout_ms);
    if (r.status == TORVEK::Ok) {
      r.lines.push_back(std::to_string(steps) + " steps");
      r.json.Integer("steps", steps);
    }
  } else {
    float degrees = 0;
    r.status = c.session.Handler().GetMotorDegree(&degrees, c.timeout_ms);
    if (r.status == TORVEK::Ok) {
      r.lines.push_back(DegreesText(degrees));
      r.json.Number("degrees", degrees);
    }
  }
  return r;
}

Report MoveDegrees(Context& c, float degrees) {
  Report r = Plain(WithSpinner(
      "moving", [&] { return c.session.Handler().SetMotorDegree(degrees, c.timeout_ms); }));
  r.refusal = Refusal::kDegrees;
  return r;
}

Report MoveSteps(Context& c, int steps) {
  Report r = Plain(WithSpinner(
      "moving", [&] { return c.session.Handler().SetMotorSteps(steps, c.timeout_ms); }));
  r.refusal = Refusal::kSteps;
  return r;
}

Report Home(Context& c) {
  return Plain(WithSpinner(
      "homing", [&] { return c.session.Handler().MechanicalCalibration(c.timeout_ms); }));
}

Report StopMotion(Context& c) {
  return Plain(c.session.Handler().Stop(c.timeout_ms));
}

Report Optimize(Context& c) {
  return Plain(WithSpinner("optimising",
                           [&] { return c.session.Handler().StartOptimization(c.timeout_ms); }));
}

Report Clean(Context& c) {
  return Plain(WithSpinner(
      "cleaning", [&] { return c.session.Handler().StartCleaningMechanics(c.timeout_ms); }));
}

// The transmittance in every form a script may want; no finite density for T = 0 is null.
void TransmittanceForms(JsonObject& json, float transmittance) {
  double density = 0, decibels = 0;
  TORVEK::OpticalDensity(transmittance, &density);
  TORVEK::AttenuationDecibels(transmittance, &decibels);
  json.Number("transmittance", transmittance)
      .Number("percent", 100.0 * static_cast<double>(transmittance))
      .Number("optical_density", density)
      .Number("attenuation_db", decibels);
}

Report ReadTransmittance(Context& c, const ModelParameters& model) {
  float transmittance = 0;
  Report r;
  r.refusal = Refusal::kTransmittance;
  r.status = c.session.Handler().GetTransmittance(&transmittance, model.min_angle, model.span,
                                                  c.timeout_ms);
  if (r.status == TORVEK::Ok) {
    r.lines.push_back(TransmittanceText(transmittance));
    TransmittanceForms(r.json, transmittance);
  }
  return r;
}

Report ReadOpticalDensity(Context& c, const ModelParameters& model) {
  float transmittance = 0;
  Report r;
  r.refusal = Refusal::kModel;
  r.status = c.session.Handler().GetTransmittance(&transmittance, model.min_angle, model.span,
                                                  c.timeout_ms);
  double density = 0;
  if (r.status == TORVEK::Ok && TORVEK::OpticalDensity(transmittance, &density) == TORVEK::Ok) {
    r.lines.push_back(Format("%.6f", density));  // "inf" for T = 0
    TransmittanceForms(r.json, transmittance);
  }
  return r;
}

Report SetOpticalDensity(Context& c, double density, const ModelParameters& model) {
  Report r;
  r.refusal = Refusal::kModel;
  std::int32_t degrees = 0, steps = 0;
  double limit = 0, transmittance = 0;
  r.status = c.session.Handler().GetScale(&degrees, &steps);
  if (r.status == TORVEK::Ok)
    r.status = TORVEK::DensityLimit(model.min_angle, model.span, degrees, steps, &limit);
  if (r.status != TORVEK::Ok)
    return r;
  r.accepted = TORVEK::AcceptedDensities(limit);
  r.status = TORVEK::TransmittanceForDensity(density, model.min_angle, model.span, degrees, steps,
                                             &transmittance);
  if (r.status != TORVEK::Ok)
    return r;
  Report moved = SetTransmittance(c, static_cast<float>(transmittance), model);
  moved.accepted = r.accepted;
  return moved;
}

Report SetTransmittance(Context& c, float transmittance, const ModelParameters& model) {
  Report r = Plain(WithSpinner("moving", [&] {
    return c.session.Handler().SetTransmittance(transmittance, model.min_angle, model.span,
                                                c.timeout_ms);
  }));
  r.refusal = Refusal::kTransmittance;
  return r;
}

}  // namespace torvek::ctl
