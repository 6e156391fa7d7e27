#include <cstdio>

#include "Commands.h"
#include "Spinner.h"

namespace torvek::ctl {
namespace {

// The move command the library put on the line, if the line can be seen.
std::string SentMove(WireTap* tap) {
  if (tap == nullptr)
    return "-";
  for (const WireEvent& e : tap->Take()) {
    if (e.from_host && e.bytes.compare(1, 2, "ma") == 0)
      return e.bytes;
  }
  return "?";
}

}  // namespace

Report Scan(Context& c, int points, const ModelParameters& model) {
  TORVEK::AttenuatorHandler& h = c.session.Handler();
  WireTap* tap = c.session.Tap();
  Report r;
  r.refusal = Refusal::kTransmittance;
  r.lines.push_back(
      Format("transmittance model: min angle %g, span %g degrees", model.min_angle, model.span));
  r.lines.push_back("wanted    sent         steps     read back");
  std::vector<JsonObject> rows;
  if (tap != nullptr)
    tap->Take();
  for (int i = 0; i < points && r.status == TORVEK::Ok; ++i) {
    const float wanted = static_cast<float>(i) / static_cast<float>(points - 1);
    r.status = WithSpinner("scanning", [&] {
      return h.SetTransmittance(wanted, model.min_angle, model.span, c.timeout_ms);
    });
    const std::string sent = SentMove(tap);
    int steps = 0;
    float read_back = 0;
    if (r.status == TORVEK::Ok)
      r.status = h.GetMotorSteps(&steps, c.timeout_ms);
    if (r.status == TORVEK::Ok)
      r.status = h.GetTransmittance(&read_back, model.min_angle, model.span, c.timeout_ms);
    if (r.status != TORVEK::Ok)
      break;
    r.lines.push_back(Format("%-9s %-12s %-9d %s",
                             Format("%.3f", static_cast<double>(wanted)).c_str(), sent.c_str(),
                             steps, TransmittanceText(read_back).c_str()));
    rows.push_back(JsonObject()
                       .Number("wanted", wanted)
                       .String("sent", sent)
                       .Integer("steps", steps)
                       .Number("read_back", read_back));
  }
  if (tap == nullptr)
    r.lines.push_back("(the command sent is only visible with --simulate)");
  r.json.Number("min_angle", model.min_angle).Number("span", model.span).Objects("points", rows);
  return r;
}

}  // namespace torvek::ctl
