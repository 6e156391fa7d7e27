#include "PortsCommand.h"

#include "Interrupt.h"
#include "Probe.h"

namespace torvek::ctl {
namespace {

struct Surveyed {
  TORVEK::SerialPortInfo port;
  std::optional<ProbeResult> probe;
};

std::vector<Surveyed> Survey(TORVEK::AttenuatorHandler& prober, bool probe, int timeout_ms) {
  std::vector<Surveyed> found;
  for (TORVEK::SerialPortInfo& port : TORVEK::ListSerialPorts()) {
    Surveyed s{std::move(port), std::nullopt};
    if (probe && !Interrupted())
      s.probe = Probe(s.port, prober, timeout_ms);
    found.push_back(std::move(s));
  }
  return found;
}

std::string ProbeText(const ProbeResult& probe) {
  const TORVEK::MotorInfo& i = probe.info;
  std::string text = OutcomeWord(probe.outcome);
  if (probe.outcome == ProbeResult::Outcome::kAttenuator)
    text += ": " + i.ident_a + " " + i.ident_b + " " + i.ident_c + " " + i.ident_d + ", " +
            i.degrees_per_revolution_text + " degrees, " + i.pulses_per_revolution_text +
            " steps per revolution";
  else if (!probe.detail.empty())
    text += ": " + probe.detail;
  return text;
}

#ifndef _WIN32
// What a user who may not open the port can do about it.
std::string AccessText(const TORVEK::SerialPortInfo& p) {
  if (p.may_open)
    return "may open";
  const std::string advice = TORVEK::PortAdvice(p.open_path, TORVEK::ConnectResult::AccessDenied);
  return "may not open: " + (advice.empty() ? "ask for access to the port" : advice);
}
#endif

// A USB adapter holds short replies for its latency timer: above a millisecond or two, every
// round trip at 9600 baud waits for it.
std::string LatencyText(int ms) {
  std::string text = std::to_string(ms) + " ms";
  if (ms > 2)
    text +=
        " (replies wait for it; the library asks the driver for low latency when it opens the "
        "port, and the wire trace's open line says whether it took)";
  return text;
}

std::string JsonStrings(const std::vector<std::string>& items) {
  std::string array = "[";
  for (const std::string& item : items)
    array += (array.size() > 1 ? "," : "") + JsonQuote(item);
  return array + "]";
}

// The lines and the JSON array of the surveyed ports.
Report Describe(const std::vector<Surveyed>& found) {
  Report r;
  std::vector<JsonObject> items;
  for (const Surveyed& s : found) {
    const TORVEK::SerialPortInfo& p = s.port;
    JsonObject json;
    if (!r.lines.empty())
      r.lines.push_back("");
    r.lines.push_back(p.path);
    json.String("path", p.path);
    const auto line = [&](const char* key, const std::string& value) {
      if (!value.empty())
        r.lines.push_back(Format("  %-14s", key) + value);
    };
    for (const std::string& link : p.by_id)
      line("by-id", link);
    json.Raw("by_id", JsonStrings(p.by_id));
    if (!p.vendor_id.empty())
      line("usb id", p.vendor_id + ":" + p.product_id);
    line("manufacturer", p.manufacturer);
    line("product", p.product);
    line("serial", p.serial);
    line("driver", p.driver);
    line("system name", p.system_name);
    if (p.latency_timer_ms >= 0)
      line("latency timer", LatencyText(p.latency_timer_ms));
    line("locked by", p.locked_by);
    for (const auto& [key, value] :
         {std::pair{"vendor_id", p.vendor_id}, std::pair{"product_id", p.product_id},
          std::pair{"serial", p.serial}, std::pair{"manufacturer", p.manufacturer},
          std::pair{"product", p.product}, std::pair{"driver", p.driver},
          std::pair{"system_name", p.system_name}, std::pair{"locked_by", p.locked_by}})
      if (!value.empty())
        json.String(key, value);
    if (p.latency_timer_ms >= 0)
      json.Integer("latency_timer_ms", p.latency_timer_ms);
#ifndef _WIN32
    // Windows cannot say without opening the port.
    line("access", AccessText(p));
    json.Boolean("may_open", p.may_open);
    if (!p.may_open && !p.group.empty())
      json.String("group", p.group);
#endif
    if (s.probe) {
      line("probe", ProbeText(*s.probe));
      json.String("probe", OutcomeWord(s.probe->outcome));
      if (!s.probe->detail.empty())
        json.String("probe_detail", s.probe->detail);
      if (s.probe->outcome == ProbeResult::Outcome::kAttenuator) {
        const TORVEK::MotorInfo& i = s.probe->info;
        json.String("ident_a", i.ident_a)
            .String("ident_b", i.ident_b)
            .String("ident_c", i.ident_c)
            .String("ident_d", i.ident_d)
            .Decimal("degrees_per_revolution", i.degrees_per_revolution_text)
            .Decimal("pulses_per_revolution", i.pulses_per_revolution_text);
      }
    }
    items.push_back(json);
  }
  if (found.empty())
    r.lines.push_back(
        "no serial ports: is the adapter plugged in? (dmesg shows what the system "
        "saw of it)");
  r.json.Objects("ports", items);
  return r;
}

}  // namespace

Report PortsReport(TORVEK::AttenuatorHandler& prober, bool probe, int timeout_ms) {
  return Describe(Survey(prober, probe, timeout_ms));
}

std::optional<TORVEK::SerialPortInfo> FindAttenuator(TORVEK::AttenuatorHandler& prober,
                                                     int timeout_ms, Failure* failure,
                                                     Report* listing) {
  const std::vector<Surveyed> found = Survey(prober, true, timeout_ms);
  std::vector<const TORVEK::SerialPortInfo*> answered;
  std::string names;
  for (const Surveyed& s : found) {
    if (s.probe && s.probe->outcome == ProbeResult::Outcome::kAttenuator) {
      answered.push_back(&s.port);
      names += (names.empty() ? "" : ", ") + s.port.path;
    }
  }
  if (answered.size() == 1)
    return *answered.front();
  *listing = Describe(found);
  failure->exit_code = kExitNoConnection;
  if (found.empty()) {
    failure->message = "--port auto: there are no serial ports";
    failure->hint = "is the adapter plugged in? To try without a device, use --simulate";
  } else if (answered.empty()) {
    failure->message = "--port auto: no attenuator answered on any serial port";
    failure->hint = "is the device powered and connected? Below, each port and what it said";
  } else {
    failure->message = "--port auto: attenuators answered on " + std::to_string(answered.size()) +
                       " ports: " + names;
    failure->hint = "choose one with --port";
  }
  return std::nullopt;
}

}  // namespace torvek::ctl
